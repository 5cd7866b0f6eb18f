#include "libssh2_ext/proxy/proxy_negotiator.h"

#include <cstring>

#include "libssh2_ext/proxy/http_connect_negotiator.h"
#include "libssh2_ext/proxy/socks4_negotiator.h"
#include "libssh2_ext/proxy/socks5_negotiator.h"

namespace proxy {

std::unique_ptr<ProxyNegotiator> ProxyNegotiator::Make(const ProxySettings& settings) {
  switch (settings.type) {
    case ProxyType::kHttp:
      return std::make_unique<HttpConnectNegotiator>(settings);
    case ProxyType::kSocks4:
      return std::make_unique<Socks4Negotiator>(settings);
    case ProxyType::kSocks5:
      return std::make_unique<Socks5Negotiator>(settings);
  }
  return nullptr;
}

std::string ProxyNegotiator::proxy_name() const {
  return std::string(ProxyTypeName(settings_.type)) + " proxy";
}

int ProxyNegotiator::Fail(int code, std::string text) {
  failure_text_ = std::move(text);
  return code;
}

int ProxyNegotiator::CheckTransport(int code, const SessionTransport& transport) {
  switch (code) {
    case 0:
    case LIBSSH2_ERROR_EAGAIN:
      return code;
    case LIBSSH2_ERROR_SOCKET_DISCONNECT:
      return Fail(code, proxy_name() + " closed the connection during the negotiation");
    case LIBSSH2_ERROR_SOCKET_SEND:
      return Fail(code, proxy_name() + ": cannot send: " + std::strerror(transport.last_errno()));
    case LIBSSH2_ERROR_SOCKET_RECV:
      return Fail(code,
                  proxy_name() + ": cannot receive: " + std::strerror(transport.last_errno()));
  }
  return Fail(code, proxy_name() + ": the negotiation failed");
}

int RequestReplyNegotiator::Negotiate(SessionTransport* transport) {
  int rv = 0;
  while (rv == 0 && state_ != kDone) {
    switch (state_) {
      case kSendRequest:
        transport->Queue(Request());
        state_ = kFlushRequest;
        break;
      case kFlushRequest:
        rv = CheckTransport(transport->Flush(), *transport);
        if (rv == 0) {
          state_ = kReadReply;
        }
        break;
      case kReadReply:
        rv = ReadReply(transport);
        if (rv == 0) {
          state_ = kDone;
        }
        break;
      case kDone:
        break;
    }
  }
  return rv;
}

}  // namespace proxy
