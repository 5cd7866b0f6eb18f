// Channel opens that keep their state in openers of their own (libssh2 patch 0019), against the
// local sshd: opens of every kind in flight together, a refusal among them, one that waits on a
// target that never answers and is given up, and the session's own opener beside them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libssh2.h>
#include <libssh2_quelbar.h>
#include <libssh2_sftp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

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

TEST(ChannelOpenerTest, OpensOfEveryKindInFlightTogetherEachGetItsOwnAnswer) {
  REQUIRE_PEER_PORT("QUELBAR_SSHD_PORT", port);
  SshTestSession ssh(port);
  Connect(ssh);
  UnansweringPort unanswering;
  std::vector<Open> opens = {{Open::kSession},
                             {Open::kDirect, port},
                             {Open::kSftp},
                             {Open::kDirect, 1},
                             {Open::kSession},
                             {Open::kSftp},
                             {Open::kDirect, unanswering.port()},
                             {Open::kDirect, port}};
  for (Open& open : opens) {
    open.opener = libssh2_create_channel_opener(ssh.get());
    ASSERT_NE(open.opener, nullptr);
  }

  // Every open goes out before any answer is read.
  size_t sent = ssh.sent().size();
  for (Open& open : opens) {
    EXPECT_EQ(Attempt(ssh.get(), open), LIBSSH2_ERROR_EAGAIN);
    EXPECT_GT(ssh.sent().size(), sent);
    sent = ssh.sent().size();
  }
  // Called again before any answer, an open sends nothing more.
  for (Open& open : opens) {
    if (open.kind != Open::kSftp) {
      EXPECT_EQ(Attempt(ssh.get(), open), LIBSSH2_ERROR_EAGAIN);
    }
  }
  EXPECT_EQ(ssh.sent().size(), sent);
  // The answers are taken in whatever order they come, the last opener asking first.
  Open& waiting = opens[6];
  for (int round = 0; round < 400; ++round) {
    bool pending = false;
    for (auto it = opens.rbegin(); it != opens.rend(); ++it) {
      if (it->rc == LIBSSH2_ERROR_EAGAIN && &*it != &waiting) {
        pending |= Attempt(ssh.get(), *it) == LIBSSH2_ERROR_EAGAIN;
      }
    }
    if (!pending) {
      break;
    }
    ssh.WaitReadable(50);
  }
  std::set<void*> results;
  for (size_t i = 0; i < opens.size(); ++i) {
    if (i == 6) {
      continue;
    }
    if (opens[i].port == 1) {
      EXPECT_EQ(opens[i].rc, LIBSSH2_ERROR_CHANNEL_FAILURE) << ssh.LastErrorText();
      continue;
    }
    EXPECT_EQ(opens[i].rc, 0) << i << ": " << ssh.LastErrorText();
    results.insert(opens[i].channel ? static_cast<void*>(opens[i].channel) : opens[i].sftp);
  }
  EXPECT_EQ(results.size(), 6u);
  EXPECT_EQ(Attempt(ssh.get(), waiting), LIBSSH2_ERROR_EAGAIN);

  // Given up while the server still waits on its target; later opens, in an opener or in the
  // session's own, are unaffected.
  libssh2_free_channel_opener(waiting.opener);
  waiting.opener = nullptr;
  LIBSSH2_CHANNEL* own = nullptr;
  EXPECT_EQ(ssh.Drive([&] {
    own = libssh2_channel_open_session(ssh.get());
    return own ? 0 : libssh2_session_last_errno(ssh.get());
  }),
            0);
  Open late{Open::kSession};
  late.opener = libssh2_create_channel_opener(ssh.get());
  EXPECT_EQ(ssh.Drive([&] { return Attempt(ssh.get(), late); }), 0);

  // The SFTP sessions work.
  LIBSSH2_SFTP_ATTRIBUTES attributes;
  EXPECT_EQ(ssh.Drive([&] { return libssh2_sftp_stat(opens[2].sftp, ".", &attributes); }), 0);

  for (Open& open : opens) {
    libssh2_free_channel_opener(open.opener);
    if (open.sftp) {
      ssh.Drive([&] { return libssh2_sftp_shutdown(open.sftp); });
    }
    if (open.channel) {
      ssh.Drive([&] { return libssh2_channel_free(open.channel); });
    }
  }
  libssh2_free_channel_opener(late.opener);
  ssh.Drive([&] { return libssh2_channel_free(late.channel); });
  ssh.Drive([&] { return libssh2_channel_free(own); });
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
