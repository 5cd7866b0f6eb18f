#include <arpa/inet.h>

#include <cstring>

#include "libssh2_ext/dynamic_forwarding/libssh2_dynamic_forwarding.h"

namespace {

constexpr unsigned char kSocks4 = 4;
constexpr unsigned char kSocks5 = 5;
constexpr unsigned char kConnect = 1;
constexpr unsigned char kNoAuthentication = 0;
constexpr unsigned char kNoAcceptableMethod = 0xff;
constexpr unsigned char kAddressIPv4 = 1;
constexpr unsigned char kAddressName = 3;
constexpr unsigned char kAddressIPv6 = 4;
constexpr size_t kMaxNameLength = 255;
// SOCKS4: VN CD DSTPORT(2) DSTIP(4), then a NUL-terminated user id.
constexpr size_t kSocks4FixedSize = 8;
// SOCKS5: VER CMD RSV ATYP, then the address and DST.PORT(2).
constexpr size_t kSocks5FixedSize = 4;
constexpr size_t kPortSize = 2;

constexpr unsigned char kSocks4Granted = 90;
constexpr unsigned char kSocks4Rejected = 91;
constexpr unsigned char kSocks5Succeeded = 0;
constexpr unsigned char kSocks5GeneralFailure = 1;
constexpr unsigned char kSocks5CommandNotSupported = 7;
constexpr unsigned char kSocks5AddressTypeNotSupported = 8;

unsigned char At(const char* in, size_t index) {
  return static_cast<unsigned char>(in[index]);
}

uint32_t PortAt(const char* in, size_t index) {
  return (static_cast<uint32_t>(At(in, index)) << 8) | At(in, index + 1);
}

void Report(size_t* consumed, size_t size) {
  if (consumed != nullptr) {
    *consumed = size;
  }
}

// A NUL-terminated field of 1 to kMaxNameLength bytes (empty allowed when allow_empty) starting at
// start: its length through *length, EAGAIN while the NUL may still come.
int FindTerminatedField(const char* in, size_t len, size_t start, bool allow_empty,
                        size_t* length) {
  const size_t available = len > start ? len - start : 0;
  const size_t limit = available < kMaxNameLength + 1 ? available : kMaxNameLength + 1;
  const void* nul = limit == 0 ? nullptr : std::memchr(in + start, '\0', limit);
  if (nul == nullptr) {
    return available > kMaxNameLength ? LIBSSH2_ERROR_PROTO : LIBSSH2_ERROR_EAGAIN;
  }
  *length = static_cast<size_t>(static_cast<const char*>(nul) - (in + start));
  return *length == 0 && !allow_empty ? LIBSSH2_ERROR_PROTO : 0;
}

int ParseSocks4(const char* in, size_t len, char* host, uint32_t* port, size_t* consumed) {
  if (len < 1) {
    return LIBSSH2_ERROR_EAGAIN;
  }
  if (At(in, 0) != kSocks4) {
    return LIBSSH2_ERROR_PROTO;
  }
  if (len < kSocks4FixedSize) {
    return LIBSSH2_ERROR_EAGAIN;
  }
  size_t user_length = 0;
  int rc = FindTerminatedField(in, len, kSocks4FixedSize, true, &user_length);
  if (rc != 0) {
    return rc;
  }
  size_t size = kSocks4FixedSize + user_length + 1;
  // SOCKS4a: the address 0.0.0.x (x not 0) says a host name follows the user id.
  const bool by_name = At(in, 4) == 0 && At(in, 5) == 0 && At(in, 6) == 0 && At(in, 7) != 0;
  size_t name_length = 0;
  if (by_name) {
    rc = FindTerminatedField(in, len, size, false, &name_length);
    if (rc != 0) {
      return rc;
    }
  }
  if (At(in, 1) != kConnect) {
    return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
  }
  if (by_name) {
    std::memcpy(host, in + size, name_length + 1);
    size += name_length + 1;
  } else if (inet_ntop(AF_INET, in + 4, host, LIBSSH2_DYNAMIC_FORWARDING_HOST_SIZE) == nullptr) {
    return LIBSSH2_ERROR_PROTO;
  }
  *port = PortAt(in, 2);
  Report(consumed, size);
  return 0;
}

int ParseSocks5(const char* in, size_t len, char* host, uint32_t* port, size_t* consumed) {
  if (len < 1) {
    return LIBSSH2_ERROR_EAGAIN;
  }
  if (At(in, 0) != kSocks5) {
    return LIBSSH2_ERROR_PROTO;
  }
  if (len < kSocks5FixedSize + 1) {
    return LIBSSH2_ERROR_EAGAIN;
  }
  size_t address_size = 0;
  const unsigned char type = At(in, 3);
  switch (type) {
    case kAddressIPv4:
      address_size = 4;
      break;
    case kAddressIPv6:
      address_size = 16;
      break;
    case kAddressName:
      address_size = 1 + At(in, 4);
      if (address_size == 1) {
        return LIBSSH2_ERROR_PROTO;
      }
      break;
    default:
      return LIBSSH2_ERROR_INVAL;
  }
  const size_t size = kSocks5FixedSize + address_size + kPortSize;
  if (len < size) {
    return LIBSSH2_ERROR_EAGAIN;
  }
  const char* address = in + kSocks5FixedSize;
  if (type == kAddressName) {
    const size_t name_length = address_size - 1;
    // A NUL would cut the name short: the open would go to another host than the client named.
    if (std::memchr(address + 1, '\0', name_length) != nullptr) {
      return LIBSSH2_ERROR_PROTO;
    }
    std::memcpy(host, address + 1, name_length);
    host[name_length] = '\0';
  } else if (inet_ntop(type == kAddressIPv4 ? AF_INET : AF_INET6, address, host,
                       LIBSSH2_DYNAMIC_FORWARDING_HOST_SIZE) == nullptr) {
    return LIBSSH2_ERROR_PROTO;
  }
  if (At(in, 1) != kConnect) {
    return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
  }
  *port = PortAt(in, size - kPortSize);
  Report(consumed, size);
  return 0;
}

int WriteReply(int version, unsigned char code, char* buf, size_t* len) {
  *len = 0;
  if (version == kSocks4) {
    // VN 0, CD, then DSTPORT and DSTIP, which a CONNECT reply leaves unused.
    const char reply[] = {0, static_cast<char>(code), 0, 0, 0, 0, 0, 0};
    std::memcpy(buf, reply, sizeof reply);
    *len = sizeof reply;
    return 0;
  }
  if (version == kSocks5) {
    // BND.ADDR 0.0.0.0 and BND.PORT 0: the server side of the channel has no address of ours.
    const char reply[] = {
        static_cast<char>(kSocks5), static_cast<char>(code), 0, kAddressIPv4, 0, 0, 0, 0, 0, 0};
    std::memcpy(buf, reply, sizeof reply);
    *len = sizeof reply;
    return 0;
  }
  return LIBSSH2_ERROR_INVAL;
}

}  // namespace

int libssh2_dynamic_forwarding_get_protocol_version(const char* in, size_t len) {
  if (len == 0 || in == nullptr) {
    return LIBSSH2_ERROR_EAGAIN;
  }
  const unsigned char version = At(in, 0);
  return version == kSocks4 || version == kSocks5 ? version : LIBSSH2_ERROR_PROTO;
}

int libssh2_dynamic_forwarding_parse_socks5_auth_request(const char* in, size_t len,
                                                         char reply[2]) {
  return libssh2_dynamic_forwarding_parse_socks5_auth_request_ex(in, len, reply, nullptr);
}

int libssh2_dynamic_forwarding_parse_socks5_auth_request_ex(const char* in, size_t len,
                                                            char reply[2], size_t* consumed) {
  reply[0] = static_cast<char>(kSocks5);
  reply[1] = static_cast<char>(kNoAcceptableMethod);
  if (len == 0 || in == nullptr) {
    return LIBSSH2_ERROR_EAGAIN;
  }
  if (At(in, 0) != kSocks5) {
    return LIBSSH2_ERROR_PROTO;
  }
  if (len < 2) {
    return LIBSSH2_ERROR_EAGAIN;
  }
  const size_t methods = At(in, 1);
  if (methods == 0) {
    return LIBSSH2_ERROR_PROTO;
  }
  if (len < 2 + methods) {
    return LIBSSH2_ERROR_EAGAIN;
  }
  if (std::memchr(in + 2, kNoAuthentication, methods) == nullptr) {
    return LIBSSH2_ERROR_METHOD_NOT_SUPPORTED;
  }
  reply[1] = static_cast<char>(kNoAuthentication);
  Report(consumed, 2 + methods);
  return 0;
}

int libssh2_dynamic_forwarding_parse_connect_request(int version, const char* in, size_t len,
                                                     char* host, uint32_t* port) {
  return libssh2_dynamic_forwarding_parse_connect_request_ex(version, in, len, host, port, nullptr);
}

int libssh2_dynamic_forwarding_parse_connect_request_ex(int version, const char* in, size_t len,
                                                        char* host, uint32_t* port,
                                                        size_t* consumed) {
  if (in == nullptr) {
    len = 0;
  }
  if (version == kSocks4) {
    return ParseSocks4(in, len, host, port, consumed);
  }
  if (version == kSocks5) {
    return ParseSocks5(in, len, host, port, consumed);
  }
  return LIBSSH2_ERROR_PROTO;
}

int libssh2_dynamic_forwarding_create_access_granted_reply(int version, int granted, char* buf,
                                                           size_t* len) {
  if (version == kSocks4) {
    return WriteReply(version, granted ? kSocks4Granted : kSocks4Rejected, buf, len);
  }
  return WriteReply(version, granted ? kSocks5Succeeded : kSocks5GeneralFailure, buf, len);
}

int libssh2_dynamic_forwarding_create_failure_reply(int version, int result, char* buf,
                                                    size_t* len) {
  *len = 0;
  if (result == LIBSSH2_ERROR_METHOD_NOT_SUPPORTED) {
    return WriteReply(version, version == kSocks4 ? kSocks4Rejected : kSocks5CommandNotSupported,
                      buf, len);
  }
  if (result == LIBSSH2_ERROR_INVAL && version == kSocks5) {
    return WriteReply(version, kSocks5AddressTypeNotSupported, buf, len);
  }
  return 0;
}
