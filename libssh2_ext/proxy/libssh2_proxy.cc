// The C entry points of the proxy family; see libssh2_proxy.h.
#include "libssh2_ext/proxy/libssh2_proxy.h"

#include <memory>
#include <new>
#include <string>

#include "libssh2_ext/proxy/proxy_settings.h"
#include "libssh2_ext/proxy/proxy_tunnel.h"
#include "libssh2_ext/session/session_extension.h"

namespace {

using proxy::ProxySettings;
using proxy::ProxyTunnel;
using proxy::ProxyType;

int SetProxySettings(LIBSSH2_SESSION* session, ProxyType type, const char* user,
                     const char* password, const char* host, int port) {
  if (!session) {
    return LIBSSH2_ERROR_BAD_USE;
  }
  try {
    ProxySettings settings;
    std::string failure = ProxySettings::Make(type, user, password, host, port, &settings);
    const int result = failure.empty() ? 0 : LIBSSH2_ERROR_INVAL;
    if (ext::SetSessionState(session, std::make_unique<ProxyTunnel>(
                                          std::move(settings), std::move(failure))) == nullptr) {
      throw std::bad_alloc();
    }
    return result;
  } catch (const std::bad_alloc&) {
    // Settings made earlier must not survive in place of these.
    ext::RemoveSessionState<ProxyTunnel>(session);
    return LIBSSH2_ERROR_ALLOC;
  }
}

}  // namespace

int libssh2_session_set_http_proxy_settings(LIBSSH2_SESSION* session, const char* user,
                                            const char* password, const char* host, int port) {
  return SetProxySettings(session, ProxyType::kHttp, user, password, host, port);
}

int libssh2_session_set_socks4_proxy_settings(LIBSSH2_SESSION* session, const char* user,
                                              const char* host, int port) {
  return SetProxySettings(session, ProxyType::kSocks4, user, nullptr, host, port);
}

int libssh2_session_set_socks5_proxy_settings(LIBSSH2_SESSION* session, const char* user,
                                              const char* password, const char* host, int port) {
  return SetProxySettings(session, ProxyType::kSocks5, user, password, host, port);
}

int libssh2_session_proxy_handshake(LIBSSH2_SESSION* session, libssh2_socket_t socket) {
  if (!session) {
    return LIBSSH2_ERROR_BAD_USE;
  }
  ProxyTunnel* tunnel = ext::FindSessionState<ProxyTunnel>(session);
  if (!tunnel) {
    return libssh2_session_set_last_error(session, LIBSSH2_ERROR_BAD_USE,
                                          "No proxy settings were made for this session");
  }
  int rc;
  try {
    rc = tunnel->Handshake(session, socket);
  } catch (const std::bad_alloc&) {
    rc = libssh2_session_set_last_error(session, LIBSSH2_ERROR_ALLOC,
                                        "Out of memory while negotiating with the proxy");
  }
  if (rc != LIBSSH2_ERROR_EAGAIN) {
    ext::RemoveSessionState<ProxyTunnel>(session);
  }
  return rc;
}

void libssh2_session_clear_proxy_settings(LIBSSH2_SESSION* session) {
  if (session) {
    ext::RemoveSessionState<ProxyTunnel>(session);
  }
}
