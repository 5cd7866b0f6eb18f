#include "core/ssh/command_queue.h"

#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// A command that answers a scripted sequence of results (the last one repeats) and records its
// runs.
class ScriptedCommand : public SshCommand {
 public:
  ScriptedCommand(std::string name, std::vector<std::string>* log, std::deque<int> results,
                  bool exclusive = false, bool* destroyed = nullptr)
      : name_(std::move(name)),
        log_(log),
        results_(std::move(results)),
        exclusive_(exclusive),
        destroyed_(destroyed) {}
  ~ScriptedCommand() override {
    if (destroyed_ != nullptr) {
      *destroyed_ = true;
    }
  }

  int Execute() override {
    log_->push_back(name_);
    int result = results_.front();
    if (results_.size() > 1) {
      results_.pop_front();
    }
    return result;
  }
  bool IsExclusive() const override { return exclusive_; }
  std::string Name() const override { return name_; }

 private:
  std::string name_;
  std::vector<std::string>* log_;
  std::deque<int> results_;
  bool exclusive_;
  bool* destroyed_;
};

class CommandQueueTest : public ::testing::Test {
 protected:
  CommandQueueTest() : queue_(&session_) {
    queue_.SetWakeUp([this] { ++wake_ups_; });
  }

  void Push(const std::string& name, std::deque<int> results, bool exclusive = false,
            bool* destroyed = nullptr) {
    queue_.Push(
        std::make_unique<ScriptedCommand>(name, &log_, std::move(results), exclusive, destroyed));
  }

  // No libssh2 session: the queue never sees the library waiting to send.
  LIBSSH2_SESSION* session_ = nullptr;
  CommandQueue queue_;
  std::vector<std::string> log_;
  int wake_ups_ = 0;
};

using Log = std::vector<std::string>;

TEST_F(CommandQueueTest, PendingCommandsThatAreNotExclusiveLetTheOthersRun) {
  Push("a", {SshCommand::kPending, SshCommand::kDone});
  Push("b", {SshCommand::kDone});
  Push("c", {SshCommand::kDone});
  EXPECT_EQ(wake_ups_, 3);
  EXPECT_EQ(queue_.Run(), CommandQueue::kCommandsRemain);
  EXPECT_EQ(log_, (Log{"a", "b", "c"}));
  EXPECT_EQ(queue_.Run(), CommandQueue::kEmpty);
  EXPECT_EQ(log_, (Log{"a", "b", "c", "a"}));
}

TEST_F(CommandQueueTest, AnExclusivePendingCommandHoldsBackTheOthersAndRunsFirstNextTime) {
  Push("x", {SshCommand::kPending, SshCommand::kPending, SshCommand::kDone}, /*exclusive=*/true);
  Push("b", {SshCommand::kDone});
  Push("c", {SshCommand::kDone});
  EXPECT_EQ(queue_.Run(), CommandQueue::kCommandsRemain);
  EXPECT_EQ(log_, (Log{"x"}));
  EXPECT_TRUE(queue_.HasBlockedCommand());

  // While it is remembered a push does not wake the session.
  int before = wake_ups_;
  Push("d", {SshCommand::kDone});
  EXPECT_EQ(wake_ups_, before);

  // Remembered first; still pending but the library does not wait to send, so the walk reaches it
  // again where it stands and then the others.
  EXPECT_EQ(queue_.Run(), CommandQueue::kEmpty);
  EXPECT_EQ(log_, (Log{"x", "x", "x", "b", "c", "d"}));
}

TEST_F(CommandQueueTest, AFailureDestroysTheRestUnexecutedAndTheQueueGoesOn) {
  bool behind_destroyed = false;
  Push("a", {SshCommand::kDone});
  Push("bad", {SshCommand::kFailed});
  Push("behind", {SshCommand::kDone}, false, &behind_destroyed);
  EXPECT_EQ(queue_.Run(), CommandQueue::kFailed);
  EXPECT_EQ(log_, (Log{"a", "bad"}));
  EXPECT_TRUE(behind_destroyed);
  EXPECT_TRUE(queue_.IsEmpty());
  EXPECT_FALSE(queue_.IsRunning());

  Push("next", {SshCommand::kDone});
  EXPECT_EQ(queue_.Run(), CommandQueue::kEmpty);
  EXPECT_EQ(log_.back(), "next");
}

TEST_F(CommandQueueTest, AnEmptyQueueAnswersEmpty) {
  EXPECT_EQ(queue_.Run(), CommandQueue::kEmpty);
}

TEST_F(CommandQueueTest, PushesFromInsideARunAreReachedInTheSameWalkAndARunInsideARunDoesNothing) {
  int inner_result = -1;
  queue_.Push(MakeCommand([&] {
    log_.push_back("outer");
    Push("pushed", {SshCommand::kDone});
    inner_result = queue_.Run();
    return static_cast<int>(SshCommand::kDone);
  }));
  int wake_ups_before = wake_ups_;
  EXPECT_EQ(queue_.Run(), CommandQueue::kEmpty);
  EXPECT_EQ(inner_result, CommandQueue::kCommandsRemain);
  EXPECT_EQ(log_, (Log{"outer", "pushed"}));
  // The push and the inner run each asked for another pass.
  EXPECT_EQ(wake_ups_, wake_ups_before + 2);
}

TEST_F(CommandQueueTest, AClearFromInsideACommandTakesEffectWhenItReturns) {
  bool behind_destroyed = false;
  queue_.Push(MakeCommand([&] {
    log_.push_back("clearing");
    queue_.Clear();
    return static_cast<int>(SshCommand::kDone);
  }));
  Push("behind", {SshCommand::kDone}, false, &behind_destroyed);
  EXPECT_EQ(queue_.Run(), CommandQueue::kEmpty);
  EXPECT_EQ(log_, (Log{"clearing"}));
  EXPECT_TRUE(behind_destroyed);
  EXPECT_TRUE(queue_.IsEmpty());
}

TEST_F(CommandQueueTest, AClosedQueueTakesNothing) {
  queue_.Push(MakeCommand([&] {
    queue_.Close();  // what freeing the session does
    Push("pushed after the free", {SshCommand::kDone});
    return static_cast<int>(SshCommand::kDone);
  }));
  EXPECT_EQ(queue_.Run(), CommandQueue::kEmpty);
  bool destroyed = false;
  Push("later", {SshCommand::kDone}, false, &destroyed);
  EXPECT_TRUE(destroyed);
  EXPECT_TRUE(queue_.IsEmpty());
  EXPECT_EQ(queue_.Run(), CommandQueue::kEmpty);
  EXPECT_EQ(log_, Log{});
}

TEST_F(CommandQueueTest, AThrowingCommandLeavesTheQueueRunnable) {
  queue_.Push(MakeCommand([]() -> int { throw std::runtime_error("step failed"); }));
  EXPECT_THROW(queue_.Run(), std::runtime_error);
  EXPECT_FALSE(queue_.IsRunning());
  queue_.Clear();
  Push("next", {SshCommand::kDone});
  EXPECT_EQ(queue_.Run(), CommandQueue::kEmpty);
}

}  // namespace
