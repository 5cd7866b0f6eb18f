// HTTP CONNECT (RFC 9110 section 9.3.6), with Basic authentication (RFC 7617) when a user is set.
#ifndef LIBSSH2_EXT_PROXY_HTTP_CONNECT_NEGOTIATOR_H_
#define LIBSSH2_EXT_PROXY_HTTP_CONNECT_NEGOTIATOR_H_

#include <string>

#include "libssh2_ext/proxy/proxy_negotiator.h"

namespace proxy {

class HttpConnectNegotiator : public RequestReplyNegotiator {
 public:
  // The reply header is read byte by byte up to its empty line, and no further than this.
  static constexpr std::size_t kMaxReplyHeaderSize = 16 * 1024;

  explicit HttpConnectNegotiator(const ProxySettings& settings)
      : RequestReplyNegotiator(settings) {}

 private:
  std::string Request() const override;
  // The reply header, up to its empty line.
  int ReadReply(SessionTransport* transport) override;
  int CheckStatusLine(const std::string& header);
};

}  // namespace proxy

#endif  // LIBSSH2_EXT_PROXY_HTTP_CONNECT_NEGOTIATOR_H_
