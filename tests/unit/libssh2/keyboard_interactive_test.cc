// Keyboard-interactive answers that come on a later call (libssh2 patch 0003).
#include <gtest/gtest.h>
#include <libssh2.h>
#include <libssh2_quelbar.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/unit/support/ssh_test_session.h"

namespace {

struct Prompt {
  std::string text;
  bool echo;
  bool operator==(const Prompt& other) const { return text == other.text && echo == other.echo; }
};

// What the deferring handler saw, and the answers it gives once they are "there".
struct Conversation {
  std::vector<std::vector<Prompt>> calls;
  bool answers_ready = false;
  std::vector<std::string> answers;
};

LIBSSH2_USERAUTH_KBDINT_DEFERRABLE_RESPONSE_FUNC(DeferringHandler) {
  (void)name;
  (void)name_len;
  (void)instruction;
  (void)instruction_len;
  auto* conversation = static_cast<Conversation*>(SshTestSession::UserData(abstract));
  std::vector<Prompt> seen;
  for (int i = 0; i < num_prompts; i++) {
    seen.push_back({std::string(reinterpret_cast<const char*>(prompts[i].text), prompts[i].length),
                    prompts[i].echo != 0});
  }
  conversation->calls.push_back(seen);
  if (!conversation->answers_ready) {
    // A careless handler: what it fills in before saying "not yet" must not reach the server.
    for (int i = 0; i < num_prompts; i++) {
      responses[i].text = strdup("premature");
      responses[i].length = 9;
    }
    return LIBSSH2_ERROR_EAGAIN;
  }
  for (int i = 0; i < num_prompts && i < static_cast<int>(conversation->answers.size()); i++) {
    responses[i].text = strdup(conversation->answers[i].c_str());
    responses[i].length = static_cast<unsigned>(conversation->answers[i].size());
  }
  return 0;
}

class KeyboardInteractiveTest : public testing::Test {
 protected:
  int Attempt(SshTestSession& ssh, const std::string& user) {
    return libssh2_userauth_keyboard_interactive_ex(
        ssh.get(), user.data(), static_cast<unsigned>(user.size()), DeferringHandler);
  }

  // Runs the attempt until the server's first question has reached the handler, which defers it.
  int AttemptUntilAsked(SshTestSession& ssh, const std::string& user) {
    return ssh.Drive([&] {
      int rc = Attempt(ssh, user);
      return rc == LIBSSH2_ERROR_EAGAIN && !conversation_.calls.empty() ? 1 : rc;
    });
  }

  Conversation conversation_;
};

// sshd asks for the password through PAM; one wrong or empty answer would fail the attempt, so
// success after the deferrals shows that the server got exactly one response, with the answer.
TEST_F(KeyboardInteractiveTest, PasswordPromptAnsweredOnALaterCall) {
  REQUIRE_PEER_PORT("QUELBAR_SSHD_PORT", port);
  const std::string user = PeerSetting("QUELBAR_SSH_USER");
  SshTestSession ssh(port);
  ssh.set_user_data(&conversation_);
  ASSERT_EQ(ssh.Handshake(), 0);

  ASSERT_EQ(AttemptUntilAsked(ssh, user), 1);
  const std::vector<Prompt> asked = conversation_.calls.front();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].echo, false);
  EXPECT_NE(asked[0].text.find("assword"), std::string::npos) << asked[0].text;

  // Still not answered: each call asks the handler again at once, about the same prompts.
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(Attempt(ssh, user), LIBSSH2_ERROR_EAGAIN);
    EXPECT_EQ(libssh2_session_last_errno(ssh.get()), LIBSSH2_ERROR_EAGAIN);
  }
  EXPECT_EQ(conversation_.calls.size(), 4u);
  for (const auto& call : conversation_.calls) {
    EXPECT_EQ(call, asked);
  }

  conversation_.answers_ready = true;
  conversation_.answers = {PeerSetting("QUELBAR_SSH_PASSWORD")};
  EXPECT_EQ(ssh.Drive([&] { return Attempt(ssh, user); }), 0) << ssh.LastErrorText();
  EXPECT_EQ(libssh2_userauth_authenticated(ssh.get()), 1);
}

TEST_F(KeyboardInteractiveTest, DeferredWrongAnswerIsRefusedAndRecorded) {
  REQUIRE_PEER_PORT("QUELBAR_SSHD_PORT", port);
  const std::string user = PeerSetting("QUELBAR_SSH_USER");
  SshTestSession ssh(port);
  ssh.set_user_data(&conversation_);
  ASSERT_EQ(ssh.Handshake(), 0);

  ASSERT_EQ(AttemptUntilAsked(ssh, user), 1);
  conversation_.answers_ready = true;
  conversation_.answers = {"not the password"};
  EXPECT_EQ(ssh.Drive([&] { return Attempt(ssh, user); }), LIBSSH2_ERROR_AUTHENTICATION_FAILED);
  LIBSSH2_USERAUTH_ATTEMPT_INFO info{};
  libssh2_session_get_last_userauth_attempt_info(ssh.get(), &info);
  EXPECT_EQ(info.result, 0);
  EXPECT_STREQ(info.methods, "publickey,password,keyboard-interactive");
}

// The scripted server asks two questions at once and accepts only both right answers.
TEST_F(KeyboardInteractiveTest, SeveralPromptsKeepTheirOrderAndEchoFlags) {
  REQUIRE_PEER_PORT("QUELBAR_SSH2_SERVER_PORT", port);
  SshTestSession ssh(port);
  ssh.set_user_data(&conversation_);
  ASSERT_EQ(ssh.Handshake(), 0);

  ASSERT_EQ(AttemptUntilAsked(ssh, "kbd2"), 1);
  EXPECT_EQ(Attempt(ssh, "kbd2"), LIBSSH2_ERROR_EAGAIN);
  conversation_.answers_ready = true;
  conversation_.answers = {"one", "two"};
  EXPECT_EQ(ssh.Drive([&] { return Attempt(ssh, "kbd2"); }), 0) << ssh.LastErrorText();

  const std::vector<Prompt> expected = {{"First: ", true}, {"Second: ", false}};
  ASSERT_EQ(conversation_.calls.size(), 3u);
  for (const auto& call : conversation_.calls) {
    EXPECT_EQ(call, expected);
  }
}

// Freeing the session while the handler has not answered releases what the exchange held (the
// sanitizer build reports a leak otherwise).
TEST_F(KeyboardInteractiveTest, SessionFreedWhileWaitingForAnswers) {
  REQUIRE_PEER_PORT("QUELBAR_SSH2_SERVER_PORT", port);
  auto ssh = std::make_unique<SshTestSession>(port);
  ssh->set_user_data(&conversation_);
  ASSERT_EQ(ssh->Handshake(), 0);
  ASSERT_EQ(AttemptUntilAsked(*ssh, "kbd2"), 1);
  ssh.reset();
}

LIBSSH2_USERAUTH_KBDINT_RESPONSE_FUNC(AnswerSecretAtOnce) {
  (void)name;
  (void)name_len;
  (void)instruction;
  (void)instruction_len;
  (void)prompts;
  (void)abstract;
  if (num_prompts == 1) {
    responses[0].text = strdup("secret");
    responses[0].length = 6;
  }
}

TEST(KeyboardInteractivePublicHandlerTest, TheVoidHandlerStillAnswersAtOnce) {
  REQUIRE_PEER_PORT("QUELBAR_SSH2_SERVER_PORT", port);
  SshTestSession ssh(port);
  ASSERT_EQ(ssh.Handshake(), 0);
  EXPECT_EQ(ssh.Drive([&] {
    return libssh2_userauth_keyboard_interactive_ex(ssh.get(), "kbd", 3, AnswerSecretAtOnce);
  }),
            0);
  EXPECT_EQ(libssh2_userauth_authenticated(ssh.get()), 1);
}

}  // namespace
