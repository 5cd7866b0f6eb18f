#include "libssh2_ext/proxy/proxy_tunnel_registry.h"

#include "libssh2_ext/proxy/session_callback.h"

namespace proxy {
namespace {

// Does what libssh2 does without an IGNORE callback: nothing.
void IgnoreMessage(LIBSSH2_SESSION*, const char*, int, void**) {}

libssh2_cb_generic* Marker() {
  return reinterpret_cast<libssh2_cb_generic*>(&IgnoreMessage);
}

}  // namespace

ProxyTunnelRegistry& ProxyTunnelRegistry::Get() {
  static ProxyTunnelRegistry registry;
  return registry;
}

void ProxyTunnelRegistry::Set(LIBSSH2_SESSION* session, std::unique_ptr<ProxyTunnel> tunnel) {
  std::lock_guard<std::mutex> lock(mutex_);
  libssh2_cb_generic* previous =
      libssh2_session_callback_set2(session, LIBSSH2_CALLBACK_IGNORE, Marker());
  Entry& entry = entries_[session];
  if (previous != Marker()) {
    entry.saved_ignore_callback = previous;
  }
  entry.tunnel = std::move(tunnel);
}

ProxyTunnel* ProxyTunnelRegistry::Find(LIBSSH2_SESSION* session) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(session);
  if (it == entries_.end()) {
    return nullptr;
  }
  if (PeekSessionCallback(session, LIBSSH2_CALLBACK_IGNORE) != Marker()) {
    // Left behind by a freed session that had this address.
    entries_.erase(it);
    return nullptr;
  }
  return it->second.tunnel.get();
}

void ProxyTunnelRegistry::Remove(LIBSSH2_SESSION* session) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(session);
  if (it == entries_.end()) {
    return;
  }
  if (PeekSessionCallback(session, LIBSSH2_CALLBACK_IGNORE) == Marker()) {
    libssh2_session_callback_set2(session, LIBSSH2_CALLBACK_IGNORE,
                                  it->second.saved_ignore_callback);
  }
  entries_.erase(it);
}

}  // namespace proxy
