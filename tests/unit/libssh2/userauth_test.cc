// The "none" attempt and the record of the server's last refusal (libssh2 patch 0002).
#include <gtest/gtest.h>
#include <libssh2.h>
#include <libssh2_quelbar.h>

#include <string>

#include "tests/unit/support/ssh_test_session.h"

namespace {

int TryNone(SshTestSession& ssh, const std::string& user) {
  return ssh.Drive([&] {
    return libssh2_userauth_none(ssh.get(), user.data(), static_cast<unsigned>(user.size()));
  });
}

LIBSSH2_USERAUTH_ATTEMPT_INFO LastAttempt(SshTestSession& ssh) {
  LIBSSH2_USERAUTH_ATTEMPT_INFO info{};
  libssh2_session_get_last_userauth_attempt_info(ssh.get(), &info);
  return info;
}

TEST(UserauthNoneTest, AcceptedByAServerThatAllowsIt) {
  REQUIRE_PEER_PORT("QUELBAR_SSH2_SERVER_PORT", port);
  SshTestSession ssh(port);
  ASSERT_EQ(ssh.Handshake(), 0);

  EXPECT_EQ(TryNone(ssh, "none"), 0);
  EXPECT_EQ(libssh2_userauth_authenticated(ssh.get()), 1);
  EXPECT_EQ(libssh2_session_last_errno(ssh.get()), 0);
}

TEST(UserauthNoneTest, RefusalIsAFailureWithTheServersMethodList) {
  REQUIRE_PEER_PORT("QUELBAR_SSHD_PORT", port);
  SshTestSession ssh(port);
  ASSERT_EQ(ssh.Handshake(), 0);
  LIBSSH2_USERAUTH_ATTEMPT_INFO info{};
  EXPECT_EQ(libssh2_session_get_last_userauth_attempt_info(ssh.get(), &info), -1);
  EXPECT_EQ(info.result, -1);

  EXPECT_EQ(TryNone(ssh, PeerSetting("QUELBAR_SSH_USER")), LIBSSH2_ERROR_AUTHENTICATION_FAILED);
  // The caller of the "none" attempt tells waiting from refusal by the last error alone.
  EXPECT_EQ(libssh2_session_last_errno(ssh.get()), LIBSSH2_ERROR_AUTHENTICATION_FAILED);
  EXPECT_EQ(libssh2_userauth_authenticated(ssh.get()), 0);
  info = LastAttempt(ssh);
  EXPECT_EQ(info.result, 0);
  EXPECT_EQ(info.partial_success, 0);
  EXPECT_STREQ(info.methods, "publickey,password,keyboard-interactive");
  EXPECT_EQ(libssh2_userauth_is_partial_success(ssh.get()), 0);
}

TEST(UserauthRecordTest, AWrongPasswordIsRecordedWithoutPartialSuccess) {
  REQUIRE_PEER_PORT("QUELBAR_SSHD_PORT", port);
  SshTestSession ssh(port);
  ASSERT_EQ(ssh.Handshake(), 0);

  EXPECT_EQ(ssh.AuthenticateWithPassword(PeerSetting("QUELBAR_SSH_USER"), "not the password"),
            LIBSSH2_ERROR_AUTHENTICATION_FAILED);
  LIBSSH2_USERAUTH_ATTEMPT_INFO info = LastAttempt(ssh);
  EXPECT_EQ(info.result, 0);
  EXPECT_EQ(info.partial_success, 0);
  EXPECT_STREQ(info.methods, "publickey,password,keyboard-interactive");
  EXPECT_EQ(libssh2_userauth_is_partial_success(ssh.get()), 0);
}

// sshd with AuthenticationMethods publickey,password: the key alone is a partial success.
TEST(UserauthRecordTest, PartialSuccessAfterThePublicKeyThenThePassword) {
  REQUIRE_PEER_PORT("QUELBAR_SSHD_PARTIAL_PORT", port);
  const std::string user = PeerSetting("QUELBAR_SSH_USER");
  const std::string key = ReadFileText(PeerSetting("QUELBAR_CLIENT_KEY_ED25519"));
  ASSERT_FALSE(key.empty());
  SshTestSession ssh(port);
  ASSERT_EQ(ssh.Handshake(), 0);

  EXPECT_EQ(TryNone(ssh, user), LIBSSH2_ERROR_AUTHENTICATION_FAILED);
  EXPECT_STREQ(LastAttempt(ssh).methods, "publickey");

  int rc = ssh.Drive([&] {
    return libssh2_userauth_publickey_frommemory(ssh.get(), user.data(), user.size(), nullptr, 0,
                                                 key.data(), key.size(), nullptr);
  });
  EXPECT_EQ(rc, LIBSSH2_ERROR_AUTHENTICATION_FAILED) << ssh.LastErrorText();
  LIBSSH2_USERAUTH_ATTEMPT_INFO info = LastAttempt(ssh);
  EXPECT_EQ(info.result, 0);
  EXPECT_EQ(info.partial_success, 1);
  EXPECT_STREQ(info.methods, "password");
  EXPECT_EQ(libssh2_userauth_is_partial_success(ssh.get()), 1);

  EXPECT_EQ(ssh.AuthenticateWithPassword(user, PeerSetting("QUELBAR_SSH_PASSWORD")), 0);
  EXPECT_EQ(libssh2_userauth_authenticated(ssh.get()), 1);
  EXPECT_EQ(libssh2_userauth_is_partial_success(ssh.get()), 0);
}

}  // namespace
