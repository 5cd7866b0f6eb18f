#include "core/file_system/sftp/command_scheduler.h"

#include <libssh2_quelbar.h>

#include <utility>

#include "core/ssh/command_queue.h"
#include "core/ssh/ssh_command.h"

namespace file_system {
namespace sftp {

namespace {

// The queue's entry of a scheduler: one pass of its commands per queue pass.
class SchedulerStep : public SshCommand {
 public:
  SchedulerStep(WeakPtr<CommandScheduler> scheduler, std::function<int()> pass,
                std::function<void()> gone)
      : scheduler_(std::move(scheduler)), pass_(std::move(pass)), gone_(std::move(gone)) {}
  // Also when the queue is cleared: the scheduler queues itself again for its next command.
  ~SchedulerStep() override {
    if (scheduler_) {
      gone_();
    }
  }

  int Execute() override { return scheduler_ ? pass_() : static_cast<int>(kDone); }
  std::string Name() const override { return "SFTP Commands"; }

 private:
  WeakPtr<CommandScheduler> scheduler_;
  std::function<int()> pass_;
  std::function<void()> gone_;
};

}  // namespace

CommandScheduler::CommandScheduler(LIBSSH2_SFTP* sftp, CommandQueue* queue,
                                   std::function<void()> failed)
    : sftp_(sftp), queue_(queue), failed_(std::move(failed)) {}

CommandScheduler::~CommandScheduler() = default;

void CommandScheduler::Add(std::shared_ptr<cmd::BaseCommand> command) {
  cmd::BaseCommand* key = command.get();
  entries_[key] = Entry{std::move(command), Place::kReady};
  ready_.push_back(key);
  Kick();
}

void CommandScheduler::Wake(cmd::BaseCommand* command) {
  if (entries_.count(command) != 0) {
    MakeReady(command);
    Kick();
  }
}

void CommandScheduler::Clear() {
  // Taken out first: a command's destructor may reach back here.
  std::unordered_map<cmd::BaseCommand*, Entry> entries;
  entries.swap(entries_);
  ready_.clear();
  answered_.clear();
  by_reply_.clear();
  send_waiters_.clear();
  every_pass_.clear();
}

void CommandScheduler::Kick() {
  if (entries_.empty()) {
    return;
  }
  if (queued_) {
    queue_->WakeUp();
    return;
  }
  // The push asks for the pass; it may run at once, and this object may not outlive it.
  queued_ = true;
  WeakPtr<CommandScheduler> self = weak_factory_.GetWeakPtr();
  queue_->Push(std::make_unique<SchedulerStep>(
      self, [self] { return self ? self->Pass() : static_cast<int>(SshCommand::kDone); },
      [self] {
        if (self) {
          self->queued_ = false;
        }
      }));
}

void CommandScheduler::MakeReady(cmd::BaseCommand* command, bool answered) {
  auto it = entries_.find(command);
  if (it == entries_.end() || it->second.place == Place::kReady) {
    return;
  }
  Entry& entry = it->second;
  Unindex(command, entry);
  entry.place = Place::kReady;
  (answered ? answered_ : ready_).push_back(command);
}

cmd::BaseCommand* CommandScheduler::TakeReady() {
  std::deque<cmd::BaseCommand*>& from = answered_.empty() ? ready_ : answered_;
  if (from.empty()) {
    return nullptr;
  }
  cmd::BaseCommand* command = from.front();
  from.pop_front();
  return command;
}

void CommandScheduler::Unindex(cmd::BaseCommand* command, const Entry& entry) {
  if (entry.place != Place::kReply && entry.place != Place::kReplyOrSend) {
    return;
  }
  auto waiter = by_reply_.find(entry.reply_id);
  if (waiter != by_reply_.end() && waiter->second == command) {
    by_reply_.erase(waiter);
  }
}

void CommandScheduler::Erase(cmd::BaseCommand* command) {
  auto it = entries_.find(command);
  if (it != entries_.end()) {
    Unindex(command, it->second);
    entries_.erase(it);
  }
}

int CommandScheduler::Pass() {
  WeakPtr<CommandScheduler> self = weak_factory_.GetWeakPtr();
  std::vector<cmd::BaseCommand*> every_pass;
  every_pass.swap(every_pass_);
  for (cmd::BaseCommand* command : every_pass) {
    auto it = entries_.find(command);
    if (it != entries_.end() && it->second.place == Place::kEveryPass) {
      MakeReady(command);
    }
  }
  // One reply at a time is taken in, and its command runs before the next: a download's data is
  // consumed while it is still in the cache, and the brigade stays short. A failure of the stream
  // is met by the calls that read it, and told below.
  for (;;) {
    const int taken = libssh2_sftp_pump(sftp_, 1);
    TakeArrivals();
    WakeSendWaiters();
    if (ready_.empty() && answered_.empty() && taken <= 0) {
      break;
    }
    while (cmd::BaseCommand* command = TakeReady()) {
      auto it = entries_.find(command);
      if (it == entries_.end() || it->second.place != Place::kReady) {
        continue;
      }
      // Kept alive through its own run: an answer may end the file system around it.
      std::shared_ptr<cmd::BaseCommand> running = it->second.command;
      const int result = running->Execute();
      if (!self) {
        return SshCommand::kDone;
      }
      if (result == SshCommand::kFailed) {
        return SshCommand::kFailed;  // the session fails; the command has said why
      }
      it = entries_.find(command);
      if (it != entries_.end()) {
        if (result == SshCommand::kDone) {
          Erase(command);
        } else if (it->second.place == Place::kReady && it->second.command == running) {
          File(it->second);
        }
      }
      TakeArrivals();
      WakeSendWaiters();
    }
  }
  if (libssh2_sftp_failed(sftp_) != 0 && failed_) {
    failed_();
    if (!self) {
      return SshCommand::kDone;
    }
  }
  if (entries_.empty()) {
    return SshCommand::kDone;  // queued again by the next command
  }
  return SshCommand::kPending;
}

void CommandScheduler::File(Entry& entry) {
  cmd::BaseCommand* command = entry.command.get();
  if (entry.command->IsParked()) {
    entry.place = Place::kPaused;  // Wake brings it back
    return;
  }
  uint32_t request_id = 0;
  const int wait = libssh2_sftp_context_wait(entry.command->context(), &request_id);
  const bool reply = (wait & LIBSSH2_SFTP_WAIT_REPLY) != 0;
  const bool send = (wait & LIBSSH2_SFTP_WAIT_SEND) != 0;
  if (reply) {
    by_reply_[request_id] = command;
    entry.reply_id = request_id;
  }
  if (send) {
    send_waiters_.push_back(command);
  }
  if (reply && send) {
    entry.place = Place::kReplyOrSend;
  } else if (reply) {
    entry.place = Place::kReply;
  } else if (send) {
    entry.place = Place::kSend;
  } else {
    // Waiting on something else (a key exchange, a window adjustment): looked at every pass.
    entry.place = Place::kEveryPass;
    every_pass_.push_back(command);
  }
}

void CommandScheduler::TakeArrivals() {
  const uint32_t* request_ids = nullptr;
  size_t count = 0;
  if (libssh2_sftp_take_arrivals(sftp_, &request_ids, &count) != 0) {
    for (auto& [command, entry] : entries_) {
      if (entry.place != Place::kPaused) {
        MakeReady(command);
      }
    }
  }
  for (size_t i = 0; i < count; ++i) {
    auto it = by_reply_.find(request_ids[i]);
    if (it == by_reply_.end()) {
      continue;
    }
    cmd::BaseCommand* command = it->second;
    by_reply_.erase(it);
    auto entry = entries_.find(command);
    if (entry != entries_.end() &&
        (entry->second.place == Place::kReply || entry->second.place == Place::kReplyOrSend)) {
      MakeReady(command, /*answered=*/true);
    }
  }
}

void CommandScheduler::WakeSendWaiters() {
  if (send_waiters_.empty() || libssh2_sftp_send_pending(sftp_)) {
    return;
  }
  std::vector<cmd::BaseCommand*> waiters;
  waiters.swap(send_waiters_);
  for (cmd::BaseCommand* command : waiters) {
    auto it = entries_.find(command);
    if (it != entries_.end() &&
        (it->second.place == Place::kSend || it->second.place == Place::kReplyOrSend)) {
      MakeReady(command);
    }
  }
}

}  // namespace sftp
}  // namespace file_system
