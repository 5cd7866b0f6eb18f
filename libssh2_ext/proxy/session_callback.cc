#include "libssh2_ext/proxy/session_callback.h"

namespace proxy {

libssh2_cb_generic* PeekSessionCallback(LIBSSH2_SESSION* session, int type) {
  libssh2_cb_generic* current = libssh2_session_callback_set2(session, type, nullptr);
  libssh2_session_callback_set2(session, type, current);
  return current;
}

}  // namespace proxy
