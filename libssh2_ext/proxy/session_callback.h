// Reading a libssh2 session's callbacks, for which libssh2 has no getter.
#ifndef LIBSSH2_EXT_PROXY_SESSION_CALLBACK_H_
#define LIBSSH2_EXT_PROXY_SESSION_CALLBACK_H_

#include <libssh2.h>

namespace proxy {

// The callback of the given LIBSSH2_CALLBACK_* type registered on the session (libssh2's own send
// and receive functions when none is). Setting a callback hands back the one it replaces, which is
// put back at once.
libssh2_cb_generic* PeekSessionCallback(LIBSSH2_SESSION* session, int type);

}  // namespace proxy

#endif  // LIBSSH2_EXT_PROXY_SESSION_CALLBACK_H_
