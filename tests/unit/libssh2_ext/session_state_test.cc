// The per-session state of the extension families, and the channel-open and listen slots kept in
// it.
#include <gtest/gtest.h>
#include <libssh2.h>

#include <memory>
#include <string>

#include "libssh2_ext/channel/libssh2_channel_slot.h"
#include "libssh2_ext/proxy/libssh2_proxy.h"
#include "libssh2_ext/session/session_extension.h"
#include "tests/unit/support/ssh_test_session.h"

namespace {

struct CountedState : ext::SessionState {
  ~CountedState() override { ++*released; }
  int* released = nullptr;
};

struct OtherState : ext::SessionState {
  int value = 7;
};

// A family's state lives exactly as long as its session or until removed, and each family finds
// only its own; a session freed with settings never cleared takes them along.
TEST(SessionStateTest, StateIsPerFamilyAndGoesWithItsSession) {
  int released = 0;
  LIBSSH2_SESSION* session = libssh2_session_init();
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(ext::FindSessionState<CountedState>(session), nullptr);
  auto state = std::make_unique<CountedState>();
  state->released = &released;
  CountedState* set = ext::SetSessionState(session, std::move(state));
  EXPECT_EQ(ext::FindSessionState<CountedState>(session), set);
  EXPECT_EQ(ext::ObtainSessionState<OtherState>(session)->value, 7);
  EXPECT_EQ(ext::FindSessionState<CountedState>(session), set);

  auto replacement = std::make_unique<CountedState>();
  replacement->released = &released;
  ext::SetSessionState(session, std::move(replacement));
  EXPECT_EQ(released, 1);
  EXPECT_EQ(libssh2_session_set_http_proxy_settings(session, "", "", "127.0.0.1", 22), 0);
  libssh2_session_free(session);
  EXPECT_EQ(released, 2);

  LIBSSH2_SESSION* later = libssh2_session_init();
  EXPECT_EQ(ext::FindSessionState<CountedState>(later), nullptr);
  EXPECT_EQ(ext::FindSessionState<OtherState>(later), nullptr);
  ext::RemoveSessionState<OtherState>(later);
  libssh2_session_free(later);
}

class ChannelSlotTest : public ::testing::Test {
 protected:
  void Connect(SshTestSession& ssh) {
    ASSERT_EQ(ssh.Handshake(), 0);
    ASSERT_EQ(ssh.AuthenticateWithPassword(PeerSetting("QUELBAR_SSH_USER"),
                                           PeerSetting("QUELBAR_SSH_PASSWORD")),
              0)
        << ssh.LastErrorText();
  }

  static int OpenSession(SshTestSession& ssh, const void* holder, LIBSSH2_CHANNEL** channel) {
    return libssh2_channel_open_in_slot(ssh.get(), holder, "session", 7,
                                        LIBSSH2_CHANNEL_WINDOW_DEFAULT,
                                        LIBSSH2_CHANNEL_PACKET_DEFAULT, nullptr, 0, channel);
  }

  const char first_ = 0;
  const char second_ = 0;
};

// Two opens asked for at once: the second waits without a word to libssh2 (nothing is sent for it)
// until the first has its answer, then gets a channel of its own; a refusal lets the slot go too,
// and an abandoned slot is never taken again.
TEST_F(ChannelSlotTest, OpensRunOneAfterAnotherEachWithItsOwnChannel) {
  REQUIRE_PEER_PORT("QUELBAR_SSHD_PORT", port);
  SshTestSession ssh(port);
  Connect(ssh);

  LIBSSH2_CHANNEL* first = nullptr;
  LIBSSH2_CHANNEL* second = nullptr;
  int rc = OpenSession(ssh, &first_, &first);
  ASSERT_EQ(rc, LIBSSH2_ERROR_EAGAIN);  // sent; the server has not answered yet
  const size_t sent = ssh.sent().size();
  EXPECT_EQ(OpenSession(ssh, &second_, &second), LIBSSH2_ERROR_EAGAIN);
  EXPECT_EQ(libssh2_channel_direct_tcpip_in_slot(ssh.get(), &second_, "127.0.0.1", 22, "127.0.0.1",
                                                 0, &second),
            LIBSSH2_ERROR_EAGAIN);
  EXPECT_EQ(ssh.sent().size(), sent);
  EXPECT_EQ(ssh.Drive([&] { return OpenSession(ssh, &first_, &first); }), 0);
  ASSERT_NE(first, nullptr);

  EXPECT_EQ(ssh.Drive([&] { return OpenSession(ssh, &second_, &second); }), 0);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);

  LIBSSH2_CHANNEL* refused = nullptr;
  EXPECT_EQ(ssh.Drive([&] {
    return libssh2_channel_open_in_slot(ssh.get(), &first_, "no-such-type", 12,
                                        LIBSSH2_CHANNEL_WINDOW_DEFAULT,
                                        LIBSSH2_CHANNEL_PACKET_DEFAULT, nullptr, 0, &refused);
  }),
            LIBSSH2_ERROR_CHANNEL_FAILURE);
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(libssh2_session_open_slot_take(ssh.get(), &second_), 0);
  libssh2_session_open_slot_abandon(ssh.get(), &second_);
  EXPECT_EQ(libssh2_session_open_slot_take(ssh.get(), &first_), LIBSSH2_ERROR_EAGAIN);

  // The listen slot is a slot of its own.
  EXPECT_EQ(libssh2_session_listen_slot_take(ssh.get(), &first_), 0);
  EXPECT_EQ(libssh2_session_listen_slot_take(ssh.get(), &second_), LIBSSH2_ERROR_EAGAIN);
  libssh2_session_listen_slot_release(ssh.get(), &second_);  // not the holder: nothing changes
  EXPECT_EQ(libssh2_session_listen_slot_take(ssh.get(), &second_), LIBSSH2_ERROR_EAGAIN);
  libssh2_session_listen_slot_release(ssh.get(), &first_);
  EXPECT_EQ(libssh2_session_listen_slot_take(ssh.get(), &second_), 0);
  EXPECT_EQ(OpenSession(ssh, nullptr, &refused), LIBSSH2_ERROR_BAD_USE);

  libssh2_channel_free(first);
  libssh2_channel_free(second);
}

}  // namespace
