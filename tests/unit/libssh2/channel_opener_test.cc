// Channel openers (our libssh2 patch) given up in every phase of their open against the local sshd,
// then the session freed: what is leaked or freed twice is for the sanitizer run to find. The
// integration tests show opens in flight together and answered in any order.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libssh2.h>
#include <libssh2_quelbar.h>
#include <libssh2_sftp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/unit/support/ssh_test_session.h"

namespace {

TEST(ChannelOpenerTest, OpenersFreedMidOpenLeaveNothingBehind) {
  REQUIRE_PEER_PORT("QUELBAR_SSHD_PORT", port);
  SshTestSession ssh(port);
  ASSERT_EQ(ssh.Handshake(), 0);
  ASSERT_EQ(ssh.AuthenticateWithPassword(PeerSetting("QUELBAR_SSH_USER"),
                                         PeerSetting("QUELBAR_SSH_PASSWORD")),
            0);
  // A direct-tcpip target whose listener never accepts and whose queue is full: the kernel drops
  // the server's SYN, so that open waits for its answer.
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(target);
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  const int filler = socket(AF_INET, SOCK_STREAM, 0);
  bind(listener, reinterpret_cast<sockaddr*>(&target), length);
  listen(listener, 0);
  getsockname(listener, reinterpret_cast<sockaddr*>(&target), &length);
  connect(filler, reinterpret_cast<sockaddr*>(&target), length);

  // An SFTP start given up after each of its first calls (waiting for its channel, the subsystem,
  // VERSION; the fourth finds it done), and a direct-tcpip open given up while it waits.
  const struct {
    bool direct;
    int calls;
  } cases[] = {{false, 1}, {false, 2}, {false, 3}, {false, 4}, {true, 1}};
  for (const auto& [direct, calls] : cases) {
    LIBSSH2_CHANNEL_OPENER* opener = libssh2_create_channel_opener(ssh.get());
    LIBSSH2_SFTP* sftp = nullptr;
    int rc = LIBSSH2_ERROR_EAGAIN;
    for (int i = 0; i < calls && rc == LIBSSH2_ERROR_EAGAIN; ++i) {
      libssh2_session_set_channel_opener(ssh.get(), opener);
      void* opened = direct ? static_cast<void*>(libssh2_channel_direct_tcpip(
                                  ssh.get(), "127.0.0.1", ntohs(target.sin_port)))
                            : (sftp = libssh2_sftp_init(ssh.get()));
      libssh2_session_set_channel_opener(ssh.get(), nullptr);
      rc = opened ? 0 : libssh2_session_last_errno(ssh.get());
      ssh.WaitReadable(50);
    }
    if (direct) {
      EXPECT_EQ(rc, LIBSSH2_ERROR_EAGAIN);
    }
    libssh2_free_channel_opener(opener);
    if (sftp) {
      ssh.Drive([&] { return libssh2_sftp_shutdown(sftp); });
    }
  }
  EXPECT_EQ(libssh2_create_channel_opener(nullptr), nullptr);
  libssh2_free_channel_opener(nullptr);
  close(filler);
  close(listener);
}

}  // namespace
