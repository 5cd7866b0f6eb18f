// What a session needs to reach its SSH server through a proxy, checked once when it is set.
#ifndef LIBSSH2_EXT_PROXY_PROXY_SETTINGS_H_
#define LIBSSH2_EXT_PROXY_PROXY_SETTINGS_H_

#include <string>

#include "libssh2_ext/proxy/target_host.h"

namespace proxy {

enum class ProxyType { kHttp, kSocks4, kSocks5 };

struct ProxySettings {
  ProxyType type = ProxyType::kHttp;
  std::string user;      // empty: no authentication (SOCKS4: empty user id)
  std::string password;  // not used by SOCKS4
  TargetHost target;
  int port = 0;

  // Builds settings from the arguments of the settings calls (NULL texts count as empty). Returns
  // an empty text when they can be used, else what is wrong with them, in words for the user.
  static std::string Make(ProxyType type, const char* user, const char* password, const char* host,
                          int port, ProxySettings* out);
};

// "HTTP", "SOCKS4" or "SOCKS5": how the texts of this family name a proxy.
const char* ProxyTypeName(ProxyType type);

}  // namespace proxy

#endif  // LIBSSH2_EXT_PROXY_PROXY_SETTINGS_H_
