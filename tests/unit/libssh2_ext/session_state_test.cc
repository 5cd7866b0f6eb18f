// The per-session state of the extension families, and the listen slot kept in it.
#include <gtest/gtest.h>
#include <libssh2.h>

#include <memory>

#include "libssh2_ext/channel/libssh2_listen_slot.h"
#include "libssh2_ext/proxy/libssh2_proxy.h"
#include "libssh2_ext/session/session_extension.h"

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

// One listen at a time: a second holder waits, a holder that is not the slot's cannot let it go,
// and an abandoned slot is never taken again.
TEST(ListenSlotTest, OneHolderAtATime) {
  LIBSSH2_SESSION* session = libssh2_session_init();
  ASSERT_NE(session, nullptr);
  const char first = 0;
  const char second = 0;
  EXPECT_EQ(libssh2_session_listen_slot_take(session, &first), 0);
  EXPECT_EQ(libssh2_session_listen_slot_take(session, &second), LIBSSH2_ERROR_EAGAIN);
  libssh2_session_listen_slot_release(session, &second);  // not the holder: nothing changes
  EXPECT_EQ(libssh2_session_listen_slot_take(session, &second), LIBSSH2_ERROR_EAGAIN);
  libssh2_session_listen_slot_release(session, &first);
  EXPECT_EQ(libssh2_session_listen_slot_take(session, &second), 0);
  libssh2_session_listen_slot_abandon(session, &second);
  EXPECT_EQ(libssh2_session_listen_slot_take(session, &first), LIBSSH2_ERROR_EAGAIN);
  EXPECT_EQ(libssh2_session_listen_slot_take(session, nullptr), LIBSSH2_ERROR_BAD_USE);
  libssh2_session_free(session);
}

}  // namespace
