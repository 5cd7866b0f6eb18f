// HTTP CONNECT (RFC 9110 section 9.3.6), with Basic authentication (RFC 7617) when a user is set.
#ifndef LIBSSH2_EXT_PROXY_HTTP_CONNECT_NEGOTIATOR_H_
#define LIBSSH2_EXT_PROXY_HTTP_CONNECT_NEGOTIATOR_H_

#include <string>

#include "libssh2_ext/proxy/proxy_negotiator.h"

namespace proxy {

class HttpConnectNegotiator : public ProxyNegotiator {
 public:
  // The reply header is read byte by byte up to its empty line, and no further than this.
  static constexpr std::size_t kMaxReplyHeaderSize = 16 * 1024;

  explicit HttpConnectNegotiator(const ProxySettings& settings) : ProxyNegotiator(settings) {}

  int Negotiate(SessionTransport* transport) override;

 private:
  enum State { kSendRequest, kFlushRequest, kReadReplyHeader, kDone };

  std::string Request() const;
  int DoReadReplyHeader(SessionTransport* transport);
  int CheckStatusLine(const std::string& header);

  State state_ = kSendRequest;
};

}  // namespace proxy

#endif  // LIBSSH2_EXT_PROXY_HTTP_CONNECT_NEGOTIATOR_H_
