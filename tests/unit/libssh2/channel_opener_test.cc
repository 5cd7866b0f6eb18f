// Channel openers (libssh2 patch 0019) given up in every phase of their open, against the local
// sshd; what they leave behind is for the sanitizer run to find. The integration tests show opens
// in flight together and answered in any order.
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

// A port on 127.0.0.1 whose listener never accepts and whose queue is full: the kernel drops every
// further SYN, so the server's connect to it waits until it gives up.
class UnansweringPort {
 public:
  UnansweringPort() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
    listen(listener_, 0);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    filler_ = socket(AF_INET, SOCK_STREAM, 0);
    connect(filler_, reinterpret_cast<sockaddr*>(&address), length);
  }
  ~UnansweringPort() {
    close(filler_);
    close(listener_);
  }
  int port() const { return port_; }

 private:
  int listener_ = -1;
  int filler_ = -1;
  int port_ = 0;
};

struct Open {
  enum Kind { kSession, kDirect, kSftp } kind;
  int port = 0;
  LIBSSH2_CHANNEL_OPENER* opener = nullptr;
  LIBSSH2_CHANNEL* channel = nullptr;
  LIBSSH2_SFTP* sftp = nullptr;
  int rc = LIBSSH2_ERROR_EAGAIN;
};

// One call of open's kind in its own opener.
int Attempt(LIBSSH2_SESSION* session, Open& open) {
  libssh2_session_set_channel_opener(session, open.opener);
  void* result = nullptr;
  switch (open.kind) {
    case Open::kSession:
      result = open.channel = libssh2_channel_open_session(session);
      break;
    case Open::kDirect:
      result = open.channel = libssh2_channel_direct_tcpip(session, "127.0.0.1", open.port);
      break;
    case Open::kSftp:
      result = open.sftp = libssh2_sftp_init(session);
      break;
  }
  libssh2_session_set_channel_opener(session, nullptr);
  return open.rc = result ? 0 : libssh2_session_last_errno(session);
}

void Connect(SshTestSession& ssh) {
  ASSERT_EQ(ssh.Handshake(), 0);
  ASSERT_EQ(ssh.AuthenticateWithPassword(PeerSetting("QUELBAR_SSH_USER"),
                                         PeerSetting("QUELBAR_SSH_PASSWORD")),
            0);
}

// Freed with an open half done in every phase, and then the session: nothing leaks and nothing is
// freed twice (the sanitizer run checks).
TEST(ChannelOpenerTest, OpenersFreedMidOpenLeaveNothingBehind) {
  REQUIRE_PEER_PORT("QUELBAR_SSHD_PORT", port);
  SshTestSession ssh(port);
  Connect(ssh);
  // An SFTP start freed at each of its first few calls: the channel sent, confirmed, the
  // subsystem asked for, INIT sent.
  for (int calls = 1; calls <= 4; ++calls) {
    Open open{Open::kSftp};
    open.opener = libssh2_create_channel_opener(ssh.get());
    for (int i = 0; i < calls && Attempt(ssh.get(), open) == LIBSSH2_ERROR_EAGAIN; ++i) {
      ssh.WaitReadable(50);
    }
    libssh2_free_channel_opener(open.opener);
    if (open.sftp) {
      ssh.Drive([&] { return libssh2_sftp_shutdown(open.sftp); });
    }
  }
  UnansweringPort unanswering;
  Open direct{Open::kDirect, unanswering.port()};
  direct.opener = libssh2_create_channel_opener(ssh.get());
  EXPECT_EQ(Attempt(ssh.get(), direct), LIBSSH2_ERROR_EAGAIN);
  libssh2_free_channel_opener(direct.opener);
  EXPECT_EQ(libssh2_create_channel_opener(nullptr), nullptr);
  libssh2_free_channel_opener(nullptr);
}

}  // namespace
