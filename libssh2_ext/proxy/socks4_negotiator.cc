#include "libssh2_ext/proxy/socks4_negotiator.h"

namespace proxy {
namespace {

constexpr char kVersion = 4;
constexpr char kConnect = 1;
constexpr std::size_t kReplySize = 8;
constexpr unsigned char kGranted = 90;

std::string DescribeRefusal(unsigned char code) {
  switch (code) {
    case 91:
      return "request rejected or failed (91)";
    case 92:
      return "the proxy cannot reach the client's identd (92)";
    case 93:
      return "the client's identd reports a different user id (93)";
  }
  return "unknown reply code (" + std::to_string(code) + ")";
}

}  // namespace

int Socks4Negotiator::ReadReply(SessionTransport* transport) {
  int rv = CheckTransport(transport->ReceiveUntil(kReplySize), *transport);
  if (rv != 0) {
    return rv;
  }
  rv = CheckReply(transport->received());
  transport->ClearReceived();
  return rv;
}

std::string Socks4Negotiator::Request() const {
  const TargetHost& target = settings().target;
  const bool by_name = target.kind() == TargetHost::kName;
  std::string request{kVersion, kConnect, static_cast<char>((settings().port >> 8) & 0xff),
                      static_cast<char>(settings().port & 0xff)};
  if (by_name) {
    // 0.0.0.x with x not 0 tells a SOCKS4a proxy that the name follows the user id.
    request.append({0, 0, 0, 1});
  } else {
    request.append(reinterpret_cast<const char*>(target.address()), 4);
  }
  request.append(settings().user);
  request.push_back('\0');
  if (by_name) {
    request.append(target.text());
    request.push_back('\0');
  }
  return request;
}

int Socks4Negotiator::CheckReply(const std::string& reply) {
  // The version byte of a reply is 0; some proxies answer with their own version, 4.
  if (reply[0] != 0 && reply[0] != kVersion) {
    return Fail(LIBSSH2_ERROR_PROTO, "SOCKS4 proxy sent an invalid reply");
  }
  const auto code = static_cast<unsigned char>(reply[1]);
  if (code != kGranted) {
    return Fail(LIBSSH2_ERROR_REQUEST_DENIED, "SOCKS4 proxy refused the connection to " +
                                                  settings().target.WithPort(settings().port) +
                                                  ": " + DescribeRefusal(code));
  }
  return 0;
}

}  // namespace proxy
