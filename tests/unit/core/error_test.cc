#include "core/error.h"

#include <gtest/gtest.h>
#include <uv.h>

#include "core/ssh/ssh_error.h"

namespace {

TEST(ErrorTest, MakersFillTypeCodeAndText) {
  Error none;
  EXPECT_FALSE(none.IsSet());

  Error refused = MakeUvError(UV_ECONNREFUSED);
  EXPECT_EQ(refused.type, Error::kNetwork);
  EXPECT_EQ(refused.code, UV_ECONNREFUSED);
  EXPECT_EQ(refused.message, "connection refused");

  Error closed = MakeUserCloseError();
  EXPECT_EQ(closed.type, Error::kClosedByUser);
  EXPECT_EQ(closed.code, 0);
  EXPECT_EQ(closed.message, "Forced to close by user");
}

TEST(ErrorTest, SshErrorsWithAndWithoutASession) {
  Error no_session = MakeSshError(nullptr);
  EXPECT_EQ(no_session.type, Error::kProtocol);
  EXPECT_EQ(no_session.code, LIBSSH2_ERROR_SOCKET_NONE);
  EXPECT_EQ(GetSessionErrorText(nullptr), "");

  ASSERT_EQ(libssh2_init(0), 0);
  LIBSSH2_SESSION* session = libssh2_session_init();
  ASSERT_NE(session, nullptr);
  Error fresh = MakeSshError(session);
  EXPECT_EQ(fresh.type, Error::kProtocol);
  EXPECT_EQ(fresh.code, 0);
  EXPECT_EQ(fresh.message, "");

  libssh2_session_set_last_error(session, LIBSSH2_ERROR_PROTO, "bad\0packet");
  Error failed = MakeSshError(session);
  EXPECT_EQ(failed.code, LIBSSH2_ERROR_PROTO);
  EXPECT_EQ(failed.message, "bad");
  libssh2_session_free(session);
  libssh2_exit();
}

}  // namespace
