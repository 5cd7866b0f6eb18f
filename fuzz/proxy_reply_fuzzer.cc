// The replies of HTTP CONNECT, SOCKS4/4a and SOCKS5 proxies, through the negotiators, as a proxy
// would send them: the first byte picks the proxy type, whether a user logs in and the kind of
// target; the second how many bytes each receive hands over. Every other receive would block, so
// that each reading state is also resumed.
#include <libssh2.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "libssh2_ext/proxy/proxy_negotiator.h"
#include "libssh2_ext/proxy/proxy_settings.h"
#include "libssh2_ext/proxy/session_transport.h"

namespace {

struct Reply {
  const uint8_t* data;
  size_t size;
  size_t chunk;
  bool block_next;
};

Reply reply;

LIBSSH2_RECV_FUNC(ReceiveReply) {
  (void)socket;
  (void)flags;
  (void)abstract;
  reply.block_next = !reply.block_next;
  if (reply.block_next) {
    return -EAGAIN;
  }
  if (reply.size == 0) {
    return 0;
  }
  const size_t taken = std::min({length, reply.chunk, reply.size});
  std::memcpy(buffer, reply.data, taken);
  reply.data += taken;
  reply.size -= taken;
  return static_cast<ssize_t>(taken);
}

LIBSSH2_SEND_FUNC(SendRequest) {
  (void)socket;
  (void)buffer;
  (void)flags;
  (void)abstract;
  return static_cast<ssize_t>(length);
}

LIBSSH2_SESSION* Session() {
  static LIBSSH2_SESSION* session = [] {
    LIBSSH2_SESSION* made = libssh2_session_init();
    libssh2_session_callback_set2(made, LIBSSH2_CALLBACK_RECV,
                                  reinterpret_cast<libssh2_cb_generic*>(&ReceiveReply));
    libssh2_session_callback_set2(made, LIBSSH2_CALLBACK_SEND,
                                  reinterpret_cast<libssh2_cb_generic*>(&SendRequest));
    return made;
  }();
  return session;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) {
    return 0;
  }
  const proxy::ProxyType types[] = {proxy::ProxyType::kHttp, proxy::ProxyType::kSocks4,
                                    proxy::ProxyType::kSocks5};
  const char* targets[] = {"192.0.2.7", "ssh.example.org", "2001:db8::7"};
  const proxy::ProxyType type = types[data[0] % 3];
  const bool with_user = (data[0] / 3) % 2 != 0;
  proxy::ProxySettings settings;
  if (!proxy::ProxySettings::Make(type, with_user ? "user" : nullptr,
                                  with_user ? "secret" : nullptr, targets[(data[0] / 6) % 3], 22,
                                  &settings)
           .empty()) {
    return 0;  // SOCKS4 to an IPv6 address
  }
  reply = Reply{data + 2, size - 2, static_cast<size_t>(data[1] % 16) + 1, false};
  proxy::SessionTransport transport(Session(), 0);
  std::unique_ptr<proxy::ProxyNegotiator> negotiator = proxy::ProxyNegotiator::Make(settings);
  int result;
  do {
    result = negotiator->Negotiate(&transport);
  } while (result == LIBSSH2_ERROR_EAGAIN);
  return 0;
}
