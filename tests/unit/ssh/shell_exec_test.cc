// Shells and exec requests driven on the core against the local sshd (tests/peers), for what a
// sanitizer or a held loop shows best: requests whose replies cross, last packets that arrive
// together, reports that must come once, late calls into a shell that is closing or gone, and
// clients closed or destroyed while their requests are live.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/observable.h"
#include "core/ssh/remote_terminal.h"
#include "core/ssh/ssh_client.h"
#include "core/ssh/ssh_exec.h"
#include "core/ssh/ssh_shell.h"
#include "tests/unit/support/peer_session.h"

namespace {

using Events = std::vector<std::string>;

class ShellExecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QUELBAR_REQUIRE_PEER("QUELBAR_SSHD_PORT");
    client_ = std::make_unique<SshClient>();
    options_.host = "127.0.0.1";
    options_.port = Env("QUELBAR_SSHD_PORT");
    options_.username = Env("QUELBAR_SSH_USER");
    options_.password = Env("QUELBAR_SSH_PASSWORD");
    options_.knownhostsCallback = [](int, std::string, std::string, std::string,
                                     std::function<void(bool)> done) { done(true); };
    options_.connectCallback = [this] { on_connected_(); };
    options_.disconnectCallback = [this] { Note("disconnected"); };
    options_.errorCallback = [this](const Error& error) { Note("error " + error.message); };
  }

  void Note(const std::string& event) { events_.push_back(event); }

  // Runs the loop until nothing is left on it: the client has ended or is gone.
  void RunToEnd() { EXPECT_EQ(uv_run(uv_default_loop(), UV_RUN_DEFAULT), 0); }

  SessionHost& session() { return *client_->session(); }

  // An exec whose report is noted as "<name>: <status> <output>" or "<name>: error <message>".
  void Exec(const std::string& name, const std::string& command) {
    ExecOptions options;
    options.command = command;
    options.callback = [this, name](int status, OutputBuffer output) {
      Note(name + ": " + std::to_string(status) + " " + std::string(output.data(), output.size()));
    };
    options.errorCallback = [this, name](const Error& error) {
      Note(name + ": error " + error.message);
    };
    StartExec(session(), std::move(options));
  }

  // A shell whose events are noted as "<name>: ready" and "<name>: disconnected"; its output is
  // collected in output_.
  void Shell(const std::string& name, std::function<void(RemoteTerminal*)> on_ready,
             std::function<void(const std::string&)> on_data = nullptr) {
    ShellOptions options;
    options.readyCallback = [this, name, on_ready](RemoteTerminal* terminal) {
      Note(name + ": ready");
      on_ready(terminal);
    };
    options.dataCallback = [this, on_data](const std::string& data) {
      output_ += data;
      if (on_data) {
        on_data(data);
      }
    };
    options.disconnectCallback = [this, name] { Note(name + ": disconnected"); };
    StartShell(session(), std::move(options));
  }

  size_t Count(const std::string& event) const {
    return static_cast<size_t>(std::count(events_.begin(), events_.end(), event));
  }

  std::unique_ptr<SshClient> client_;
  SshClientOptions options_;
  std::function<void()> on_connected_ = [] {};
  Events events_;
  std::string output_;
};

const char kForced[] = "error Forced to close by user";

TEST_F(ShellExecTest, RequestsWithEnvironmentStartedTogetherEachGetTheirOwnReplies) {
  // Their channel requests (environment, command, terminal, shell) wait for replies at the same
  // time, in orders that depend on how many there are.
  options_.environmentVariables = {{"TEST_A", "a"}};
  for (int execs = 1; execs <= 5; ++execs) {
    events_.clear();
    output_.clear();
    client_ = std::make_unique<SshClient>();
    on_connected_ = [this, execs] {
      for (int i = 0; i < execs; ++i) {
        Exec("exec " + std::to_string(i), "echo ${TEST_A}" + std::to_string(i));
      }
      Shell("shell", [](RemoteTerminal* terminal) {
        terminal->Write(std::string("echo $TEST_A-shell; exit\n"));
      });
    };
    client_->Connect(options_);
    RunToEnd();
    for (int i = 0; i < execs; ++i) {
      EXPECT_EQ(Count("exec " + std::to_string(i) + ": 0 a" + std::to_string(i) + "\n"), 1u)
          << execs << " " << i;
    }
    EXPECT_NE(output_.find("a-shell"), std::string::npos) << execs;
    EXPECT_EQ(Count("shell: disconnected"), 1u) << execs;
    EXPECT_EQ(events_.back(), "disconnected") << execs;
  }
}

TEST_F(ShellExecTest, TheLastPacketsArrivingTogetherStillEndTheCommand) {
  // The loop is held while the command writes, so that its output, end of file and close all come
  // in one read, with nothing after them to wake the session up again.
  on_connected_ = [this] {
    Exec("exec", "sleep 0.3; head -c 1000000 /dev/zero >&2; echo done");
    Later(100, [] { std::this_thread::sleep_for(std::chrono::milliseconds(600)); });
  };
  client_->Connect(options_);
  RunToEnd();
  EXPECT_EQ(events_, (Events{"exec: 0 done\n", "disconnected"}));
}

TEST_F(ShellExecTest, CloseWithLiveRequestsEndsEachOnceThenTheSession) {
  on_connected_ = [this] {
    Exec("sleeper", "sleep 30");
    Exec("starting", "sleep 30");
    Shell("shell", [this](RemoteTerminal*) {
      client_->Close();
      client_->Close();
    });
  };
  client_->Connect(options_);
  RunToEnd();
  EXPECT_EQ(Count(std::string("sleeper: ") + kForced), 1u);
  EXPECT_EQ(Count(std::string("starting: ") + kForced), 1u);
  EXPECT_EQ(Count("shell: disconnected"), 1u);
  EXPECT_EQ(events_.size(), 5u);
  EXPECT_EQ(events_.back(), "disconnected");

  // The same from a timer, outside any pass of the session: each close step pushed then starts one.
  events_.clear();
  client_ = std::make_unique<SshClient>();
  on_connected_ = [this] {
    for (const char* name : {"one", "two", "three"}) {
      Exec(name, "sleep 30");
    }
    Shell("shell", [this](RemoteTerminal*) { Later(20, [this] { client_->Close(); }); });
  };
  client_->Connect(options_);
  RunToEnd();
  for (const char* name : {"one", "two", "three"}) {
    EXPECT_EQ(Count(std::string(name) + ": " + kForced), 1u) << name;
  }
  EXPECT_EQ(Count("shell: disconnected"), 1u);
  EXPECT_EQ(events_.size(), 6u);
  EXPECT_EQ(events_.back(), "disconnected");
}

TEST_F(ShellExecTest, CloseWhileChannelsAreStillOpeningEndsEveryRequest) {
  on_connected_ = [this] {
    Exec("exec", "echo never");
    Shell("shell", [](RemoteTerminal*) { ADD_FAILURE() << "a closing shell became ready"; });
    client_->Close();
  };
  client_->Connect(options_);
  RunToEnd();
  EXPECT_EQ(events_,
            (Events{std::string("exec: ") + kForced, "shell: disconnected", "disconnected"}));
}

TEST_F(ShellExecTest, LateInputResizeAndCloseOfAShellAreDropped) {
  SafeCallWrapper<RemoteTerminal>* watch = nullptr;
  on_connected_ = [this, &watch] {
    Shell("shell", [&watch](RemoteTerminal* terminal) {
      watch = new SafeCallWrapper<RemoteTerminal>(terminal);
      terminal->Write(std::string("echo typed; exit\n"));
      terminal->Resize(100, 40);
      // Input queued behind a window that the server's end of file overtakes.
      terminal->Write(std::string(64 * 1024, 'x'));
    });
  };
  options_.disconnectCallback = [this, &watch] {
    Note("disconnected");
    EXPECT_EQ(watch->Get(), nullptr) << "the shell outlived its session";
  };
  client_->Connect(options_);
  RunToEnd();
  EXPECT_NE(output_.find("typed"), std::string::npos);
  EXPECT_EQ(events_, (Events{"shell: ready", "shell: disconnected", "disconnected"}));
  delete watch;

  // Close, then everything else, twice over.
  events_.clear();
  options_.disconnectCallback = [this] { Note("disconnected"); };
  client_ = std::make_unique<SshClient>();
  on_connected_ = [this] {
    Shell("shell", [](RemoteTerminal* terminal) {
      terminal->Close();
      terminal->Write(std::string("echo after-close\n"));
      terminal->Resize(10, 10);
      terminal->Close();
    });
  };
  client_->Connect(options_);
  RunToEnd();
  EXPECT_EQ(events_, (Events{"shell: ready", "shell: disconnected", "disconnected"}));
}

TEST_F(ShellExecTest, OutputFasterThanItsDeliveryArrivesWhole) {
  constexpr size_t kBytes = 8 * 1000 * 1000;
  on_connected_ = [this] {
    // A slow reader: the shell stops reading while a window's worth waits for it, and resumes.
    Shell(
        "shell",
        [](RemoteTerminal* terminal) {
          terminal->Write(
              std::string("stty -echo; head -c 8000000 /dev/zero | tr '\\0' a; exit\n"));
        },
        [](const std::string&) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
  };
  client_->Connect(options_);
  RunToEnd();
  size_t longest_run = 0;
  for (size_t i = 0, run = 0; i < output_.size(); ++i) {
    run = output_[i] == 'a' ? run + 1 : 0;
    longest_run = std::max(longest_run, run);
  }
  EXPECT_EQ(longest_run, kBytes);
  EXPECT_EQ(events_, (Events{"shell: ready", "shell: disconnected", "disconnected"}));
}

TEST_F(ShellExecTest, DestroyingTheClientWithLiveRequestsCallsNothing) {
  on_connected_ = [this] {
    Exec("exec", "sleep 30");
    Shell("shell", [this](RemoteTerminal* terminal) {
      terminal->Write(std::string("echo hello\n"));
      Later(50, [this] { client_.reset(); });
    });
  };
  client_->Connect(options_);
  RunToEnd();
  EXPECT_EQ(events_, Events{"shell: ready"});
}

}  // namespace
