#include "libssh2_ext/proxy/proxy_tunnel.h"

#include <poll.h>

#include <chrono>

namespace proxy {
namespace {

using Clock = std::chrono::steady_clock;

// A blocking session waits for the socket as libssh2 does: within the session's timeout (0: none).
bool WaitForSocket(libssh2_socket_t socket, bool to_send, Clock::time_point deadline,
                   bool has_deadline) {
  for (;;) {
    int timeout_ms = -1;
    if (has_deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) {
        return false;
      }
      timeout_ms = static_cast<int>(left.count());
    }
    pollfd descriptor{socket, static_cast<short>(to_send ? POLLOUT : POLLIN), 0};
    int ready = poll(&descriptor, 1, timeout_ms);
    if (ready != 0) {
      // Errors and hang-ups show in the next send or receive.
      return true;
    }
  }
}

}  // namespace

int ProxyTunnel::Handshake(LIBSSH2_SESSION* session, libssh2_socket_t socket) {
  if (!settings_failure_.empty()) {
    return libssh2_session_set_last_error(session, LIBSSH2_ERROR_INVAL, settings_failure_.c_str());
  }
  if (!tunnel_open_) {
    int rc = Negotiate(session, socket);
    if (rc == LIBSSH2_ERROR_EAGAIN) {
      return libssh2_session_set_last_error(session, rc, "Would block negotiating with the proxy");
    }
    if (rc == LIBSSH2_ERROR_TIMEOUT) {
      return libssh2_session_set_last_error(session, rc, "Timed out waiting for the proxy");
    }
    if (rc != 0) {
      return libssh2_session_set_last_error(session, rc, negotiator_->failure_text().c_str());
    }
    tunnel_open_ = true;
    negotiator_.reset();
    transport_.reset();
  }
  return libssh2_session_handshake(session, socket);
}

int ProxyTunnel::Negotiate(LIBSSH2_SESSION* session, libssh2_socket_t socket) {
  if (!negotiator_) {
    transport_ = std::make_unique<SessionTransport>(session, socket);
    negotiator_ = ProxyNegotiator::Make(settings_);
  }
  const bool blocking = libssh2_session_get_blocking(session) != 0;
  const long timeout_ms = libssh2_session_get_timeout(session);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int rc = negotiator_->Negotiate(transport_.get());
    if (rc != LIBSSH2_ERROR_EAGAIN || !blocking) {
      return rc;
    }
    if (!WaitForSocket(socket, transport_->waiting_to_send(), deadline, timeout_ms > 0)) {
      return LIBSSH2_ERROR_TIMEOUT;
    }
  }
}

}  // namespace proxy
