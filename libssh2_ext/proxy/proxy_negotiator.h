// One proxy protocol's exchange, from the first request to the reply that opens the tunnel.
#ifndef LIBSSH2_EXT_PROXY_PROXY_NEGOTIATOR_H_
#define LIBSSH2_EXT_PROXY_PROXY_NEGOTIATOR_H_

#include <memory>
#include <string>

#include "libssh2_ext/proxy/proxy_settings.h"
#include "libssh2_ext/proxy/session_transport.h"

namespace proxy {

class ProxyNegotiator {
 public:
  virtual ~ProxyNegotiator() = default;

  // Makes the negotiator for the settings' proxy type.
  static std::unique_ptr<ProxyNegotiator> Make(const ProxySettings& settings);

  // Takes the exchange as far as the transport allows: 0 once the tunnel stands,
  // LIBSSH2_ERROR_EAGAIN while waiting for the transport, or another negative code with
  // failure_text() saying what happened. When it answers 0, nothing after the proxy's reply has
  // been read.
  virtual int Negotiate(SessionTransport* transport) = 0;

  const std::string& failure_text() const { return failure_text_; }

 protected:
  explicit ProxyNegotiator(const ProxySettings& settings) : settings_(settings) {}

  const ProxySettings& settings() const { return settings_; }
  // "SOCKS5 proxy" and the like, as texts begin.
  std::string proxy_name() const;

  int Fail(int code, std::string text);
  // Passes 0 and LIBSSH2_ERROR_EAGAIN from the transport on, and puts its failures into words.
  int CheckTransport(int code, const SessionTransport& transport);

 private:
  ProxySettings settings_;
  std::string failure_text_;
};

// An exchange of one request and one reply: HTTP CONNECT and SOCKS4.
class RequestReplyNegotiator : public ProxyNegotiator {
 public:
  int Negotiate(SessionTransport* transport) final;

 protected:
  using ProxyNegotiator::ProxyNegotiator;

  virtual std::string Request() const = 0;
  // 0 once the whole reply is read and grants the tunnel, LIBSSH2_ERROR_EAGAIN while waiting for
  // more of it, or another negative code.
  virtual int ReadReply(SessionTransport* transport) = 0;

 private:
  enum State { kSendRequest, kFlushRequest, kReadReply, kDone };

  State state_ = kSendRequest;
};

}  // namespace proxy

#endif  // LIBSSH2_EXT_PROXY_PROXY_NEGOTIATOR_H_
