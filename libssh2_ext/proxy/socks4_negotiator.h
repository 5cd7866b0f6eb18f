// SOCKS4 CONNECT, and SOCKS4a when the target is a name: the proxy resolves it then.
#ifndef LIBSSH2_EXT_PROXY_SOCKS4_NEGOTIATOR_H_
#define LIBSSH2_EXT_PROXY_SOCKS4_NEGOTIATOR_H_

#include <string>

#include "libssh2_ext/proxy/proxy_negotiator.h"

namespace proxy {

class Socks4Negotiator : public RequestReplyNegotiator {
 public:
  explicit Socks4Negotiator(const ProxySettings& settings) : RequestReplyNegotiator(settings) {}

 private:
  std::string Request() const override;
  int ReadReply(SessionTransport* transport) override;
  int CheckReply(const std::string& reply);
};

}  // namespace proxy

#endif  // LIBSSH2_EXT_PROXY_SOCKS4_NEGOTIATOR_H_
