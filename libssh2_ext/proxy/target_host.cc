#include "libssh2_ext/proxy/target_host.h"

#include <arpa/inet.h>

namespace proxy {
namespace {

constexpr std::size_t kMaxHostLength = 255;

bool IsHostNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.';
}

}  // namespace

bool TargetHost::Parse(std::string_view host, TargetHost* out) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    if (host.empty() || host.size() > kMaxHostLength) {
      return false;
    }
    std::string text(host);
    if (inet_pton(AF_INET6, text.c_str(), out->address_.data()) != 1) {
      return false;
    }
    out->kind_ = kIPv6;
    out->text_ = std::move(text);
    return true;
  }
  if (host.empty() || host.size() > kMaxHostLength) {
    return false;
  }
  std::string text(host);
  if (inet_pton(AF_INET, text.c_str(), out->address_.data()) == 1) {
    out->kind_ = kIPv4;
  } else if (inet_pton(AF_INET6, text.c_str(), out->address_.data()) == 1) {
    out->kind_ = kIPv6;
  } else {
    for (char c : text) {
      if (!IsHostNameCharacter(c)) {
        return false;
      }
    }
    out->kind_ = kName;
  }
  out->text_ = std::move(text);
  return true;
}

std::string TargetHost::WithPort(int port) const {
  std::string port_text = std::to_string(port);
  return kind_ == kIPv6 ? "[" + text_ + "]:" + port_text : text_ + ":" + port_text;
}

}  // namespace proxy
