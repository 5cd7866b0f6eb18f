// One session's way through its proxy: the settings, the negotiation over the session's transport,
// and then libssh2's own SSH handshake. The proxy family's state of its session, from the settings
// call to the end of the proxy handshake.
#ifndef LIBSSH2_EXT_PROXY_PROXY_TUNNEL_H_
#define LIBSSH2_EXT_PROXY_PROXY_TUNNEL_H_

#include <libssh2.h>

#include <memory>
#include <string>

#include "libssh2_ext/proxy/proxy_negotiator.h"
#include "libssh2_ext/proxy/proxy_settings.h"
#include "libssh2_ext/proxy/session_transport.h"
#include "libssh2_ext/session/session_extension.h"

namespace proxy {

class ProxyTunnel : public ext::SessionState {
 public:
  // settings_failure, when not empty, says why the settings cannot be used; the handshake reports
  // it.
  ProxyTunnel(ProxySettings settings, std::string settings_failure)
      : settings_(std::move(settings)), settings_failure_(std::move(settings_failure)) {}

  // One call of libssh2_session_proxy_handshake: LIBSSH2_ERROR_EAGAIN until both the tunnel and the
  // SSH handshake are done, then 0; on failure a negative code, with the session's last error set.
  int Handshake(LIBSSH2_SESSION* session, libssh2_socket_t socket);

 private:
  // The negotiator's answer, or LIBSSH2_ERROR_TIMEOUT when a blocking session's timeout ran out.
  int Negotiate(LIBSSH2_SESSION* session, libssh2_socket_t socket);

  ProxySettings settings_;
  std::string settings_failure_;
  std::unique_ptr<SessionTransport> transport_;
  std::unique_ptr<ProxyNegotiator> negotiator_;
  bool tunnel_open_ = false;
};

}  // namespace proxy

#endif  // LIBSSH2_EXT_PROXY_PROXY_TUNNEL_H_
