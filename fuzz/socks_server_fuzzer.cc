// The SOCKS server codec of dynamic forwarding, on whatever a client may send: each parser must
// stay inside its input and its output buffers, and a message it accepts must lie within the input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "libssh2_ext/dynamic_forwarding/libssh2_dynamic_forwarding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* in = reinterpret_cast<const char*>(data);
  const int version = libssh2_dynamic_forwarding_get_protocol_version(in, size);

  char reply[2] = {};
  size_t consumed = 0;
  if (libssh2_dynamic_forwarding_parse_socks5_auth_request_ex(in, size, reply, &consumed) == 0 &&
      consumed > size) {
    std::abort();
  }

  for (int asked : {4, 5}) {
    char host[LIBSSH2_DYNAMIC_FORWARDING_HOST_SIZE];
    std::memset(host, 'x', sizeof host);
    uint32_t port = 0;
    consumed = 0;
    const int result = libssh2_dynamic_forwarding_parse_connect_request_ex(asked, in, size, host,
                                                                           &port, &consumed);
    if (result == 0 &&
        (consumed > size || port > 0xffff || std::memchr(host, '\0', sizeof host) == nullptr)) {
      std::abort();
    }
    if (result == LIBSSH2_ERROR_EAGAIN && size >= LIBSSH2_DYNAMIC_FORWARDING_MAX_MESSAGE) {
      std::abort();
    }
    char buf[LIBSSH2_DYNAMIC_FORWARDING_REPLY_SIZE];
    size_t length = 0;
    libssh2_dynamic_forwarding_create_failure_reply(asked, result, buf, &length);
    libssh2_dynamic_forwarding_create_access_granted_reply(version, result == 0, buf, &length);
  }
  return 0;
}
