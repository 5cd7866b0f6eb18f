#include "libssh2_ext/proxy/proxy_settings.h"

namespace proxy {
namespace {

// RFC 1929 carries each of them in a length byte.
constexpr std::size_t kMaxSocks5CredentialLength = 255;
// No protocol limit elsewhere; a bound keeps requests small.
constexpr std::size_t kMaxCredentialLength = 1024;

std::string TextOrEmpty(const char* text) {
  return text ? std::string(text) : std::string();
}

// The host as far as it can be shown: printable ASCII only, and not too much of it.
std::string Printable(const std::string& text) {
  std::string shown;
  for (char c : text.substr(0, 64)) {
    shown += (c >= 0x20 && c < 0x7f) ? c : '?';
  }
  return text.size() > 64 ? shown + "..." : shown;
}

}  // namespace

const char* ProxyTypeName(ProxyType type) {
  switch (type) {
    case ProxyType::kHttp:
      return "HTTP";
    case ProxyType::kSocks4:
      return "SOCKS4";
    case ProxyType::kSocks5:
      return "SOCKS5";
  }
  return "";
}

std::string ProxySettings::Make(ProxyType type, const char* user, const char* password,
                                const char* host, int port, ProxySettings* out) {
  const std::string kind = ProxyTypeName(type);
  out->type = type;
  out->user = TextOrEmpty(user);
  out->password = TextOrEmpty(password);
  out->port = port;
  const std::string host_text = TextOrEmpty(host);
  if (host_text.empty()) {
    return kind + " proxy settings: the target host is empty";
  }
  if (!TargetHost::Parse(host_text, &out->target)) {
    return kind + " proxy settings: \"" + Printable(host_text) +
           "\" is not a host name or an IP address";
  }
  if (port < 1 || port > 65535) {
    return kind + " proxy settings: the target port " + std::to_string(port) +
           " is not between 1 and 65535";
  }
  if (out->user.size() > kMaxCredentialLength || out->password.size() > kMaxCredentialLength) {
    return kind + " proxy settings: the user name or password is longer than " +
           std::to_string(kMaxCredentialLength) + " bytes";
  }
  switch (type) {
    case ProxyType::kHttp:
      // Basic authentication (RFC 7617) splits user and password at the first ':'.
      if (out->user.find(':') != std::string::npos) {
        return "HTTP proxy settings: the user name must not contain ':'";
      }
      break;
    case ProxyType::kSocks4:
      if (out->target.kind() == TargetHost::kIPv6) {
        return "SOCKS4 proxy settings: SOCKS4 cannot reach the IPv6 address " + out->target.text();
      }
      break;
    case ProxyType::kSocks5:
      if (out->user.size() > kMaxSocks5CredentialLength ||
          out->password.size() > kMaxSocks5CredentialLength) {
        return "SOCKS5 proxy settings: the user name or password is longer than 255 bytes";
      }
      break;
  }
  return std::string();
}

}  // namespace proxy
