// SOCKS5 CONNECT (RFC 1928), with user name and password authentication (RFC 1929) when a user is
// set.
#ifndef LIBSSH2_EXT_PROXY_SOCKS5_NEGOTIATOR_H_
#define LIBSSH2_EXT_PROXY_SOCKS5_NEGOTIATOR_H_

#include <cstddef>
#include <string>

#include "libssh2_ext/proxy/proxy_negotiator.h"

namespace proxy {

class Socks5Negotiator : public ProxyNegotiator {
 public:
  explicit Socks5Negotiator(const ProxySettings& settings) : ProxyNegotiator(settings) {}

  int Negotiate(SessionTransport* transport) override;

 private:
  enum State {
    kSendGreeting,
    kSendCredentials,
    kSendConnectRequest,
    kFlush,
    kReadMethodChoice,
    kReadAuthenticationStatus,
    kReadReplyCode,
    kReadReplyAddressType,
    kReadReplyNameLength,
    kReadReplyAddress,
    kDone,
  };

  // Queues a request; its reply of reply_size bytes is read in reply_state.
  void Send(SessionTransport* transport, const std::string& request, State reply_state,
            std::size_t reply_size);
  // Runs a reading state once its reply_size_ bytes are there.
  int HandleReply(const std::string& reply);

  int DoReadMethodChoice(const std::string& reply);
  int DoReadAuthenticationStatus(const std::string& reply);
  int DoReadReplyCode(const std::string& reply);
  int DoReadReplyAddressType(const std::string& reply);
  int DoReadReplyNameLength(const std::string& reply);

  std::string Greeting() const;
  std::string Credentials() const;
  std::string ConnectRequest() const;

  State state_ = kSendGreeting;
  State after_flush_ = kDone;
  std::size_t reply_size_ = 0;
};

}  // namespace proxy

#endif  // LIBSSH2_EXT_PROXY_SOCKS5_NEGOTIATOR_H_
