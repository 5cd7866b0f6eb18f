// Which session has which proxy tunnel. libssh2 has no place for our data in a session and tells
// nobody when one is freed, so the tunnels are kept here, by session, and each entry is tied to the
// one session that made it by a marker in that session's LIBSSH2_CALLBACK_IGNORE slot: a later
// session at the same address has no marker, so the entry left behind by a freed session is never
// applied to it.
#ifndef LIBSSH2_EXT_PROXY_PROXY_TUNNEL_REGISTRY_H_
#define LIBSSH2_EXT_PROXY_PROXY_TUNNEL_REGISTRY_H_

#include <libssh2.h>

#include <memory>
#include <mutex>
#include <unordered_map>

#include "libssh2_ext/proxy/proxy_tunnel.h"

namespace proxy {

class ProxyTunnelRegistry {
 public:
  static ProxyTunnelRegistry& Get();

  // Gives the session its tunnel, replacing one it had.
  void Set(LIBSSH2_SESSION* session, std::unique_ptr<ProxyTunnel> tunnel);
  // The session's tunnel, or null when it has none. The session must be live; the tunnel is used on
  // the session's thread, as the session is.
  ProxyTunnel* Find(LIBSSH2_SESSION* session);
  // Forgets the session's tunnel, if any, and gives back its IGNORE slot.
  void Remove(LIBSSH2_SESSION* session);

 private:
  struct Entry {
    std::unique_ptr<ProxyTunnel> tunnel;
    // What the session's IGNORE slot held before the marker.
    libssh2_cb_generic* saved_ignore_callback = nullptr;
  };

  std::mutex mutex_;
  std::unordered_map<LIBSSH2_SESSION*, Entry> entries_;
};

}  // namespace proxy

#endif  // LIBSSH2_EXT_PROXY_PROXY_TUNNEL_REGISTRY_H_
