// Taking in server traffic while no channel call runs (libssh2 patch 0004).
#include <gtest/gtest.h>
#include <libssh2.h>
#include <libssh2_quelbar.h>

#include <chrono>
#include <string>

#include "tests/unit/support/ssh_test_session.h"

namespace {

void Authenticate(SshTestSession& ssh) {
  ASSERT_EQ(ssh.Handshake(), 0);
  ASSERT_EQ(ssh.AuthenticateWithPassword(PeerSetting("QUELBAR_SSH_USER"),
                                         PeerSetting("QUELBAR_SSH_PASSWORD")),
            0)
      << ssh.LastErrorText();
}

LIBSSH2_CHANNEL* OpenSessionChannel(SshTestSession& ssh) {
  LIBSSH2_CHANNEL* channel = nullptr;
  ssh.Drive([&] {
    channel = libssh2_channel_open_session(ssh.get());
    return channel ? 0 : libssh2_session_last_errno(ssh.get());
  });
  return channel;
}

TEST(SessionPumpTest, RefusedBeforeTheHandshake) {
  REQUIRE_PEER_PORT("QUELBAR_SSHD_PORT", port);
  SshTestSession ssh(port);
  EXPECT_EQ(libssh2_session_pump_input(ssh.get()), LIBSSH2_ERROR_BAD_USE);
  EXPECT_EQ(ssh.Handshake(), 0);
}

// This sshd asks "are you there?" every second of silence and drops a client that leaves two
// questions unanswered; its clock counts whole seconds, so a silent client is gone after four to
// five seconds. The session only pumps for six, then must still be able to open a channel.
TEST(SessionPumpTest, AnIdleSessionAnswersTheServersKeepalive) {
  REQUIRE_PEER_PORT("QUELBAR_SSHD_KEEPALIVE_PORT", port);
  SshTestSession ssh(port);
  Authenticate(ssh);

  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(6);
  while (std::chrono::steady_clock::now() < until) {
    ssh.WaitReadable(100);
    ASSERT_EQ(libssh2_session_pump_input(ssh.get()), 0) << ssh.LastErrorText();
  }

  LIBSSH2_CHANNEL* channel = OpenSessionChannel(ssh);
  ASSERT_NE(channel, nullptr) << ssh.LastErrorText();
  ssh.Drive([&] { return libssh2_channel_free(channel); });
}

// Data the pump takes in for a channel waits for that channel's next read.
TEST(SessionPumpTest, ChannelDataTakenInIsKeptForTheChannel) {
  REQUIRE_PEER_PORT("QUELBAR_SSHD_PORT", port);
  SshTestSession ssh(port);
  Authenticate(ssh);
  LIBSSH2_CHANNEL* channel = OpenSessionChannel(ssh);
  ASSERT_NE(channel, nullptr) << ssh.LastErrorText();
  ASSERT_EQ(ssh.Drive([&] { return libssh2_channel_exec(channel, "echo pumped"); }), 0);

  ASSERT_EQ(ssh.Drive([&] {
    int rc = libssh2_session_pump_input(ssh.get());
    return rc == 0 && !libssh2_poll_channel_read(channel, 0) ? LIBSSH2_ERROR_EAGAIN : rc;
  }),
            0);
  char buffer[64];
  ssize_t n = libssh2_channel_read(channel, buffer, sizeof buffer);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)), "pumped\n");
  ssh.Drive([&] { return libssh2_channel_free(channel); });
}

}  // namespace
