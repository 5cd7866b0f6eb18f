// The host of the SSH server behind a proxy, as the proxy protocols need it: a name, or the bytes
// of an IPv4 or IPv6 address.
#ifndef LIBSSH2_EXT_PROXY_TARGET_HOST_H_
#define LIBSSH2_EXT_PROXY_TARGET_HOST_H_

#include <array>
#include <string>
#include <string_view>

namespace proxy {

class TargetHost {
 public:
  enum Kind { kName, kIPv4, kIPv6 };

  // Accepts an IPv4 literal, an IPv6 literal (with or without brackets) or a host name of at most
  // 255 bytes made of letters, digits, '-', '_' and '.'. Anything else could break out of the
  // request it is written into, so it is refused.
  static bool Parse(std::string_view host, TargetHost* out);

  Kind kind() const { return kind_; }
  // The name, or the address in its text form (an IPv6 address without brackets).
  const std::string& text() const { return text_; }
  // The address in network byte order: 4 bytes for kIPv4, 16 for kIPv6.
  const unsigned char* address() const { return address_.data(); }

  // "host:port", with an IPv6 address in brackets.
  std::string WithPort(int port) const;

 private:
  Kind kind_ = kName;
  std::string text_;
  std::array<unsigned char, 16> address_{};
};

}  // namespace proxy

#endif  // LIBSSH2_EXT_PROXY_TARGET_HOST_H_
