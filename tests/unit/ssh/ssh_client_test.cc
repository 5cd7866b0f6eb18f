// The session engine against the local sshd (tests/peers): every phase closed by the user and every
// phase abandoned by destroying the client, each with the callbacks it must give and the loop left
// with nothing to run.
#include "core/ssh/ssh_client.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/ssh/command_queue.h"
#include "core/uv_handle.h"
#include "tests/unit/support/peer_session.h"

namespace {

class SshClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QUELBAR_REQUIRE_PEER("QUELBAR_SSHD_PORT");
    client_ = std::make_unique<SshClient>();
    options_.host = "127.0.0.1";
    options_.port = Env("QUELBAR_SSHD_PORT");
    options_.username = Env("QUELBAR_SSH_USER");
    options_.knownhostsCallback = [this](int, std::string, std::string, std::string,
                                         std::function<void(bool)> done) {
      Note("hostkey");
      if (on_host_key_) {
        on_host_key_(std::move(done));
      } else {
        done(true);
      }
    };
    options_.keyboardInteractiveCallback =
        [this](std::string, std::string, std::vector<SshPrompt>,
               std::function<void(std::vector<SshPromptResponse>)> respond) {
          Note("question");
          if (on_question_) {
            on_question_(std::move(respond));
          } else {
            respond({SshPromptResponse{Env("QUELBAR_SSH_PASSWORD")}});
          }
        };
    options_.connectCallback = [this] {
      Note("connected");
      if (on_connected_) {
        on_connected_();
      }
    };
    options_.disconnectCallback = [this] { Note("disconnected"); };
    options_.errorCallback = [this](const Error& error) {
      Note("error");
      error_ = error;
    };
  }

  void Note(const std::string& event) { events_.push_back(event); }

  // Runs the loop until nothing is left on it: the client has ended or is gone.
  void RunToEnd() { EXPECT_EQ(uv_run(uv_default_loop(), UV_RUN_DEFAULT), 0); }

  void DestroyLater() {
    Later(0, [this] { client_.reset(); });
  }

  std::unique_ptr<SshClient> client_;
  SshClientOptions options_;
  std::vector<std::string> events_;
  Error error_;
  std::function<void(std::function<void(bool)>)> on_host_key_;
  std::function<void(std::function<void(std::vector<SshPromptResponse>)>)> on_question_;
  std::function<void()> on_connected_;
};

using Events = std::vector<std::string>;

TEST_F(SshClientTest, ConnectsAuthenticatesAndClosesWithOneDisconnect) {
  on_connected_ = [this] {
    client_->Close();
    client_->Close();
  };
  client_->Connect(options_);
  client_->Connect(options_);  // a second connect does nothing
  RunToEnd();
  EXPECT_EQ(events_, (Events{"hostkey", "question", "connected", "disconnected"}));
}

TEST_F(SshClientTest, CloseWhileResolvingEndsWithCancelledOnceTheResolutionIsDone) {
  client_->Connect(options_);
  client_->Close();
  RunToEnd();
  EXPECT_EQ(events_, Events{"error"});
  EXPECT_EQ(error_.type, Error::kNetwork);
  EXPECT_EQ(error_.code, UV_ECANCELED);
}

TEST_F(SshClientTest, CloseWhileTheHostKeyQuestionIsOpenEndsCleanlyAndALateAnswerIsIgnored) {
  on_host_key_ = [this](std::function<void(bool)> done) {
    client_->Close();
    Later(50, [done] { done(true); });
  };
  client_->Connect(options_);
  RunToEnd();
  EXPECT_EQ(events_, (Events{"hostkey", "disconnected"}));
}

TEST_F(SshClientTest, CloseWhileAQuestionIsOpenEndsCleanlyAndALateAnswerIsIgnored) {
  on_question_ = [this](std::function<void(std::vector<SshPromptResponse>)> respond) {
    client_->Close();
    Later(50, [respond] { respond({SshPromptResponse{Env("QUELBAR_SSH_PASSWORD")}}); });
  };
  client_->Connect(options_);
  RunToEnd();
  EXPECT_EQ(events_, (Events{"hostkey", "question", "disconnected"}));
}

TEST_F(SshClientTest, DestroyedInEveryPhaseItCallsNothingAndLeavesNothingBehind) {
  // Resolving.
  client_->Connect(options_);
  client_.reset();
  RunToEnd();
  EXPECT_EQ(events_, Events{});

  // Host-key question open; the answer comes after the client is gone.
  client_ = std::make_unique<SshClient>();
  on_host_key_ = [this](std::function<void(bool)> done) {
    DestroyLater();
    Later(20, [done] { done(true); });
  };
  client_->Connect(options_);
  RunToEnd();
  EXPECT_EQ(events_, Events{"hostkey"});

  // Keyboard-interactive question open.
  events_.clear();
  on_host_key_ = nullptr;
  client_ = std::make_unique<SshClient>();
  on_question_ = [this](std::function<void(std::vector<SshPromptResponse>)> respond) {
    DestroyLater();
    Later(20, [respond] { respond({SshPromptResponse{"late"}}); });
  };
  client_->Connect(options_);
  RunToEnd();
  EXPECT_EQ(events_, (Events{"hostkey", "question"}));

  // Connected.
  events_.clear();
  on_question_ = nullptr;
  client_ = std::make_unique<SshClient>();
  on_connected_ = [this] { DestroyLater(); };
  client_->Connect(options_);
  RunToEnd();
  EXPECT_EQ(events_, (Events{"hostkey", "question", "connected"}));
}

TEST_F(SshClientTest, AnAbandonedHostKeyQuestionRefusesTheKey) {
  on_host_key_ = [](std::function<void(bool)> done) { Later(0, [dropped = std::move(done)] {}); };
  client_->Connect(options_);
  RunToEnd();
  EXPECT_EQ(events_, (Events{"hostkey", "disconnected"}));
}

TEST_F(SshClientTest, AnEmptyAnswerEndsAuthenticationAsFailed) {
  on_question_ = [](std::function<void(std::vector<SshPromptResponse>)> respond) { respond({}); };
  client_->Connect(options_);
  RunToEnd();
  EXPECT_EQ(events_, (Events{"hostkey", "question", "error"}));
  EXPECT_EQ(error_.type, Error::kProtocol);
  EXPECT_EQ(error_.code, LIBSSH2_ERROR_AUTHENTICATION_FAILED);
  EXPECT_NE(error_.message.find("cancelled"), std::string::npos) << error_.message;
}

TEST_F(SshClientTest, TheQueueTakesNothingOnceTheSessionIsFreed) {
  bool executed = false;
  bool destroyed = false;
  struct Flagging : SshCommand {
    Flagging(bool* executed, bool* destroyed) : executed(executed), destroyed(destroyed) {}
    ~Flagging() override { *destroyed = true; }
    int Execute() override {
      *executed = true;
      return kDone;
    }
    std::string Name() const override { return "Flagging"; }
    bool* executed;
    bool* destroyed;
  };
  on_connected_ = [this] { client_->Close(); };
  options_.disconnectCallback = [&] {
    Note("disconnected");
    client_->session()->queue()->Push(std::make_unique<Flagging>(&executed, &destroyed));
  };
  client_->Connect(options_);
  RunToEnd();
  EXPECT_EQ(events_.back(), "disconnected");
  EXPECT_FALSE(executed);
  EXPECT_TRUE(destroyed);
}

TEST_F(SshClientTest, ARefusedPortIsOneNetworkError) {
  options_.port = "1";
  client_->Connect(options_);
  RunToEnd();
  EXPECT_EQ(events_, Events{"error"});
  EXPECT_EQ(error_.type, Error::kNetwork);
  EXPECT_EQ(error_.code, UV_ECONNREFUSED);
  EXPECT_NE(error_.message.find("connection refused"), std::string::npos) << error_.message;
}

}  // namespace
