#include "libssh2_ext/proxy/socks5_negotiator.h"

namespace proxy {
namespace {

constexpr char kVersion = 5;
constexpr char kNoAuthentication = 0;
constexpr char kUserPassword = 2;
constexpr unsigned char kNoAcceptableMethod = 0xff;
constexpr char kUserPasswordVersion = 1;
constexpr char kConnect = 1;
constexpr char kAddressIPv4 = 1;
constexpr char kAddressName = 3;
constexpr char kAddressIPv6 = 4;
constexpr std::size_t kPortSize = 2;

std::string DescribeReplyCode(unsigned char code) {
  static const char* const kTexts[] = {
      "succeeded",
      "general SOCKS server failure",
      "connection not allowed by ruleset",
      "network unreachable",
      "host unreachable",
      "connection refused",
      "TTL expired",
      "command not supported",
      "address type not supported",
  };
  std::string text =
      code < sizeof kTexts / sizeof kTexts[0] ? kTexts[code] : std::string("unknown reply code");
  return text + " (" + std::to_string(code) + ")";
}

std::string WithLength(const std::string& text) {
  return static_cast<char>(text.size()) + text;
}

}  // namespace

int Socks5Negotiator::Negotiate(SessionTransport* transport) {
  int rv = 0;
  while (rv == 0 && state_ != kDone) {
    switch (state_) {
      case kSendGreeting:
        Send(transport, Greeting(), kReadMethodChoice, 2);
        break;
      case kSendCredentials:
        Send(transport, Credentials(), kReadAuthenticationStatus, 2);
        break;
      case kSendConnectRequest:
        Send(transport, ConnectRequest(), kReadReplyCode, 2);
        break;
      case kFlush:
        rv = CheckTransport(transport->Flush(), *transport);
        if (rv == 0) {
          state_ = after_flush_;
        }
        break;
      case kDone:
        break;
      default:
        rv = CheckTransport(transport->ReceiveUntil(reply_size_), *transport);
        if (rv == 0) {
          const std::string reply = transport->received();
          transport->ClearReceived();
          rv = HandleReply(reply);
        }
        break;
    }
  }
  return rv;
}

void Socks5Negotiator::Send(SessionTransport* transport, const std::string& request,
                            State reply_state, std::size_t reply_size) {
  transport->Queue(request);
  state_ = kFlush;
  after_flush_ = reply_state;
  reply_size_ = reply_size;
}

int Socks5Negotiator::HandleReply(const std::string& reply) {
  switch (state_) {
    case kReadMethodChoice:
      return DoReadMethodChoice(reply);
    case kReadAuthenticationStatus:
      return DoReadAuthenticationStatus(reply);
    case kReadReplyCode:
      return DoReadReplyCode(reply);
    case kReadReplyAddressType:
      return DoReadReplyAddressType(reply);
    case kReadReplyNameLength:
      return DoReadReplyNameLength(reply);
    case kReadReplyAddress:
      // The address the proxy connected from is of no use to us.
      state_ = kDone;
      return 0;
    default:
      return Fail(LIBSSH2_ERROR_PROTO, "SOCKS5 proxy: the negotiation lost its place");
  }
}

int Socks5Negotiator::DoReadMethodChoice(const std::string& reply) {
  if (reply[0] != kVersion) {
    return Fail(LIBSSH2_ERROR_PROTO, "SOCKS5 proxy sent an invalid reply");
  }
  const auto method = static_cast<unsigned char>(reply[1]);
  if (method == kNoAuthentication) {
    state_ = kSendConnectRequest;
    return 0;
  }
  if (method == kUserPassword && !settings().user.empty()) {
    state_ = kSendCredentials;
    return 0;
  }
  if (method == kNoAcceptableMethod) {
    return Fail(
        LIBSSH2_ERROR_REQUEST_DENIED,
        settings().user.empty()
            ? "SOCKS5 proxy: no acceptable authentication method (the proxy may want a user "
              "name and password)"
            : "SOCKS5 proxy: no acceptable authentication method");
  }
  return Fail(LIBSSH2_ERROR_PROTO,
              "SOCKS5 proxy chose an authentication method that was not offered (" +
                  std::to_string(method) + ")");
}

int Socks5Negotiator::DoReadAuthenticationStatus(const std::string& reply) {
  if (reply[1] != 0) {
    return Fail(LIBSSH2_ERROR_REQUEST_DENIED, "SOCKS5 proxy: authentication failed");
  }
  state_ = kSendConnectRequest;
  return 0;
}

int Socks5Negotiator::DoReadReplyCode(const std::string& reply) {
  if (reply[0] != kVersion) {
    return Fail(LIBSSH2_ERROR_PROTO, "SOCKS5 proxy sent an invalid reply");
  }
  const auto code = static_cast<unsigned char>(reply[1]);
  if (code != 0) {
    return Fail(LIBSSH2_ERROR_REQUEST_DENIED, "SOCKS5 proxy could not connect to " +
                                                  settings().target.WithPort(settings().port) +
                                                  ": " + DescribeReplyCode(code));
  }
  state_ = kReadReplyAddressType;
  reply_size_ = 2;
  return 0;
}

int Socks5Negotiator::DoReadReplyAddressType(const std::string& reply) {
  switch (reply[1]) {
    case kAddressIPv4:
      state_ = kReadReplyAddress;
      reply_size_ = 4 + kPortSize;
      return 0;
    case kAddressIPv6:
      state_ = kReadReplyAddress;
      reply_size_ = 16 + kPortSize;
      return 0;
    case kAddressName:
      state_ = kReadReplyNameLength;
      reply_size_ = 1;
      return 0;
  }
  return Fail(LIBSSH2_ERROR_PROTO, "SOCKS5 proxy sent an invalid reply (address type " +
                                       std::to_string(static_cast<unsigned char>(reply[1])) + ")");
}

int Socks5Negotiator::DoReadReplyNameLength(const std::string& reply) {
  state_ = kReadReplyAddress;
  reply_size_ = static_cast<unsigned char>(reply[0]) + kPortSize;
  return 0;
}

std::string Socks5Negotiator::Greeting() const {
  if (settings().user.empty()) {
    return std::string{kVersion, 1, kNoAuthentication};
  }
  return std::string{kVersion, 2, kNoAuthentication, kUserPassword};
}

std::string Socks5Negotiator::Credentials() const {
  return kUserPasswordVersion + WithLength(settings().user) + WithLength(settings().password);
}

std::string Socks5Negotiator::ConnectRequest() const {
  const TargetHost& target = settings().target;
  std::string request{kVersion, kConnect, 0};
  switch (target.kind()) {
    case TargetHost::kIPv4:
      request.push_back(kAddressIPv4);
      request.append(reinterpret_cast<const char*>(target.address()), 4);
      break;
    case TargetHost::kIPv6:
      request.push_back(kAddressIPv6);
      request.append(reinterpret_cast<const char*>(target.address()), 16);
      break;
    case TargetHost::kName:
      request.push_back(kAddressName);
      request += WithLength(target.text());
      break;
  }
  request.push_back(static_cast<char>((settings().port >> 8) & 0xff));
  request.push_back(static_cast<char>(settings().port & 0xff));
  return request;
}

}  // namespace proxy
