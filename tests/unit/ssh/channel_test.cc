// The channel opener and the data pump on their own, driven by a request of the test's making
// against the local sshd: opens of different kinds asked for together, a refusal, input larger than
// the channel's window, output paused and resumed by its consumer (a loop turn later, or from
// inside its output callback), reading stopped from inside the output callback, and the EOF in both
// directions.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/ssh/channel_opener.h"
#include "core/ssh/channel_pump.h"
#include "core/ssh/command_queue.h"
#include "core/ssh/session_request.h"
#include "core/ssh/ssh_client.h"
#include "core/ssh/ssh_command.h"
#include "core/weak_ptr.h"
#include "tests/unit/support/peer_session.h"

namespace {

using Events = std::vector<std::string>;

// Opens its channel, runs command on a session channel, sends input and then the EOF, and collects
// the output until the server's EOF, taking each chunk at once and releasing it a loop turn later
// (at once with release_at_once). Stops at the first line when until_line is set.
class ChannelUser : public SessionRequest,
                    private ChannelOpener::Delegate,
                    private ChannelPump::Delegate {
 public:
  ChannelUser(SessionHost* host, std::string name, ChannelOpen open, std::string command,
              std::string input, bool until_line, Events* events,
              ChannelPump::Limits limits = Limits(), bool release_at_once = false)
      : host_(host),
        name_(std::move(name)),
        command_(std::move(command)),
        input_(std::move(input)),
        expected_(until_line ? "" : input_),
        until_line_(until_line),
        release_at_once_(release_at_once),
        events_(events),
        limits_(limits),
        opener_(host, std::move(open), this),
        pump_(host, &opener_.channel(), {0}, limits_, this) {}

  static ChannelPump::Limits Limits() {
    ChannelPump::Limits limits;
    limits.read_size = 4096;
    limits.high_watermark = 64 * 1024;
    limits.low_watermark = 16 * 1024;
    return limits;
  }

  void Start() { opener_.Open(); }
  bool IsFinished() const override { return finished_; }
  void Close() override {}

 private:
  void OnChannelOpened() override {
    if (command_.empty()) {
      pump_.StartReading();
      return;
    }
    Push([](ChannelUser& self) {
      int rc = libssh2_channel_process_startup(self.opener_.get(), "exec", 4, self.command_.data(),
                                               static_cast<unsigned int>(self.command_.size()));
      if (rc == LIBSSH2_ERROR_EAGAIN) {
        return static_cast<int>(SshCommand::kPending);
      }
      self.pump_.StartReading();
      self.pump_.Write(std::move(self.input_));
      self.pump_.EndInput();
      return static_cast<int>(SshCommand::kDone);
    });
  }

  void OnChannelRefused(const Error& error) override {
    events_->push_back(name_ + ": refused: " + error.message);
    finished_ = true;
  }

  void OnPumpOutput() override {
    most_held_ = std::max(most_held_, pump_.held_bytes());
    size_t taken = 0;
    while (pump_.HasOutput(0)) {
      std::string chunk = pump_.TakeChunk(0);
      EXPECT_LE(chunk.size(), limits_.read_size);
      taken += chunk.size();
      output_ += chunk;
    }
    if (release_at_once_) {
      pump_.Release(taken);
    } else {
      Later(0, [self = weak_factory_.GetWeakPtr(), taken] {
        if (self) {
          self->pump_.Release(taken);
        }
      });
    }
    if (until_line_ && output_.find('\n') != std::string::npos) {
      pump_.StopReading();
      End();
    }
  }

  void OnPumpOutputEnded() override { End(); }

  void End() {
    // Reading pauses at the high watermark: one read's worth at most beyond it.
    EXPECT_LE(most_held_, limits_.high_watermark + limits_.read_size) << name_;
    events_->push_back(name_ + ": " + std::to_string(output_.size()) + " bytes" +
                       (until_line_ || output_ == expected_ ? "" : ", not as sent"));
    Push([](ChannelUser& self) {
      // Stopped or ended, however the read that saw the end stood.
      EXPECT_FALSE(self.pump_.IsReading()) << self.name_;
      if (self.opener_.channel().Free() == LIBSSH2_ERROR_EAGAIN) {
        return static_cast<int>(SshCommand::kPending);
      }
      self.finished_ = true;
      self.host_->RequestPass();
      return static_cast<int>(SshCommand::kDone);
    });
  }

  template <typename Step>
  void Push(Step step) {
    host_->queue()->Push(MakeCommand([self = weak_factory_.GetWeakPtr(), step] {
      return self ? step(*self.get()) : static_cast<int>(SshCommand::kDone);
    }));
  }

  SessionHost* host_;
  std::string name_;
  std::string command_;
  std::string input_;
  std::string expected_;
  bool until_line_;
  bool release_at_once_;
  Events* events_;
  ChannelPump::Limits limits_;
  ChannelOpener opener_;
  ChannelPump pump_;
  std::string output_;
  size_t most_held_ = 0;
  bool finished_ = false;
  WeakPtrFactory<ChannelUser> weak_factory_{this};
};

using StartUser = std::function<void(std::unique_ptr<ChannelUser>)>;

// Larger than the channel's window: written in parts as the server's window adjusts come.
std::string LargeInput() {
  std::string input(3 * 1024 * 1024 + 17, 'x');
  for (size_t i = 0; i < input.size(); i += 4099) {
    input[i] = static_cast<char>('a' + i % 26);
  }
  return input;
}

// Every read pauses the output: the consumer resumes it from inside its output callback, or stops
// it there.
ChannelPump::Limits PauseAtEveryRead() {
  ChannelPump::Limits limits = ChannelUser::Limits();
  limits.high_watermark = 1;
  limits.low_watermark = 1;
  return limits;
}

// One session against the local sshd with the users that start_users starts once it is connected,
// run until it closes itself after the last of them; the events, the session's own last.
Events RunSession(const std::function<void(SessionHost*, const StartUser&, Events*)>& start_users) {
  Events events;
  SshClient client;
  SshClientOptions options;
  options.host = "127.0.0.1";
  options.port = Env("QUELBAR_SSHD_PORT");
  options.username = Env("QUELBAR_SSH_USER");
  options.password = Env("QUELBAR_SSH_PASSWORD");
  options.knownhostsCallback = [](int, std::string, std::string, std::string,
                                  std::function<void(bool)> done) { done(true); };
  options.disconnectCallback = [&] { events.push_back("disconnected"); };
  options.errorCallback = [&](const Error& error) { events.push_back("error " + error.message); };
  options.connectCallback = [&] {
    SessionHost* host = client.session();
    StartUser start = [&](std::unique_ptr<ChannelUser> user) {
      ChannelUser* started = user.get();
      host->AddRequest(std::move(user));
      started->Start();
    };
    start_users(host, start, &events);
  };
  client.Connect(std::move(options));
  EXPECT_EQ(uv_run(uv_default_loop(), UV_RUN_DEFAULT), 0);
  return events;
}

TEST(ChannelTest, OpensOfEveryKindTogetherAndDataBothWaysWithItsEnds) {
  QUELBAR_REQUIRE_PEER("QUELBAR_SSHD_PORT");
  const int port = std::stoi(Env("QUELBAR_SSHD_PORT"));
  const std::string input = LargeInput();
  Events events = RunSession([&](SessionHost* host, const StartUser& start, Events* events) {
    start(std::make_unique<ChannelUser>(host, "cat",
                                        ChannelOpen::Session(2 * 1024 * 1024, 32768, "a test", {}),
                                        "cat", input, false, events));
    // Stops reading from inside the output callback of a read that paused.
    start(std::make_unique<ChannelUser>(
        host, "banner", ChannelOpen::DirectTcpip("127.0.0.1", port, "127.0.0.1", 0, "a test"), "",
        "", true, events, PauseAtEveryRead()));
    start(std::make_unique<ChannelUser>(
        host, "closed", ChannelOpen::DirectTcpip("127.0.0.1", 1, "127.0.0.1", 0, "a test"), "", "",
        true, events));
    start(std::make_unique<ChannelUser>(host, "cat again",
                                        ChannelOpen::Session(2 * 1024 * 1024, 32768, "a test", {}),
                                        "cat", "tail", false, events));
  });

  ASSERT_EQ(events.size(), 5u) << ::testing::PrintToString(events);
  EXPECT_EQ(events.back(), "disconnected");
  std::sort(events.begin(), events.end() - 1);
  EXPECT_EQ(events[0].rfind("banner: ", 0), 0u) << events[0];
  EXPECT_NE(events[0], "banner: 0 bytes");
  EXPECT_EQ(events[1], "cat again: 4 bytes");
  EXPECT_EQ(events[2], "cat: " + std::to_string(input.size()) + " bytes");
  EXPECT_EQ(events[3].rfind("closed: refused: The server refused a direct-tcpip channel to "
                            "127.0.0.1:1 for a test: ",
                            0),
            0u)
      << events[3];
}

TEST(ChannelTest, OutputReleasedInsideItsCallbackResumesWithNothingMoreToCome) {
  QUELBAR_REQUIRE_PEER("QUELBAR_SSHD_PORT");
  const int port = std::stoi(Env("QUELBAR_SSHD_PORT"));
  // The server's banner comes at once and then nothing until we answer: read in pieces, every one
  // pausing the read and released at once, no socket event is left to resume it.
  ChannelPump::Limits limits = PauseAtEveryRead();
  limits.read_size = 8;
  Events events = RunSession([&](SessionHost* host, const StartUser& start, Events* events) {
    start(std::make_unique<ChannelUser>(
        host, "banner", ChannelOpen::DirectTcpip("127.0.0.1", port, "127.0.0.1", 0, "a test"), "",
        "", true, events, limits, true));
  });
  ASSERT_EQ(events.size(), 2u) << ::testing::PrintToString(events);
  EXPECT_EQ(events[0].rfind("banner: ", 0), 0u) << events[0];
  EXPECT_EQ(events[1], "disconnected");
}

}  // namespace
