#include "libssh2_ext/proxy/http_connect_negotiator.h"

#include <openssl/evp.h>

#include <vector>

namespace proxy {
namespace {

constexpr std::size_t kMaxShownStatusLine = 200;

std::string Base64(const std::string& bytes) {
  std::vector<unsigned char> encoded(4 * ((bytes.size() + 2) / 3) + 1);
  int length = EVP_EncodeBlock(encoded.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                               static_cast<int>(bytes.size()));
  return std::string(reinterpret_cast<const char*>(encoded.data()),
                     static_cast<std::size_t>(length));
}

// Lines end with LF, optionally after CR (RFC 9112 section 2.2); the header ends with an empty
// line.
bool EndsWithEmptyLine(const std::string& header) {
  std::size_t size = header.size();
  return (size >= 2 && header.compare(size - 2, 2, "\n\n") == 0) ||
         (size >= 3 && header.compare(size - 3, 3, "\n\r\n") == 0);
}

// What of a line from the network can be shown in a message.
std::string Printable(const std::string& line) {
  std::string shown;
  for (char c : line.substr(0, kMaxShownStatusLine)) {
    shown += (c >= 0x20 && c < 0x7f) ? c : '?';
  }
  return line.size() > kMaxShownStatusLine ? shown + "..." : shown;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::string HttpConnectNegotiator::Request() const {
  const std::string authority = settings().target.WithPort(settings().port);
  std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
  if (!settings().user.empty()) {
    request += "Proxy-Authorization: Basic " + Base64(settings().user + ":" + settings().password) +
               "\r\n";
  }
  return request + "\r\n";
}

int HttpConnectNegotiator::ReadReply(SessionTransport* transport) {
  while (!EndsWithEmptyLine(transport->received())) {
    if (transport->received().size() >= kMaxReplyHeaderSize) {
      return Fail(LIBSSH2_ERROR_PROTO, "HTTP proxy: the reply header is longer than " +
                                           std::to_string(kMaxReplyHeaderSize) + " bytes");
    }
    // One byte at a time: the SSH server's banner may follow the header at once.
    int rv = CheckTransport(transport->ReceiveUntil(transport->received().size() + 1), *transport);
    if (rv != 0) {
      return rv;
    }
  }
  int rv = CheckStatusLine(transport->received());
  transport->ClearReceived();
  return rv;
}

int HttpConnectNegotiator::CheckStatusLine(const std::string& header) {
  std::string line = header.substr(0, header.find('\n'));
  if (!line.empty() && line.back() == '\r') {
    line.pop_back();
  }
  // HTTP-version SP 3DIGIT [SP reason-phrase]
  std::size_t space = line.find(' ');
  bool well_formed = line.compare(0, 5, "HTTP/") == 0 && space != std::string::npos &&
                     line.size() >= space + 4 && IsDigit(line[space + 1]) &&
                     IsDigit(line[space + 2]) && IsDigit(line[space + 3]) &&
                     (line.size() == space + 4 || line[space + 4] == ' ');
  if (!well_formed) {
    return Fail(LIBSSH2_ERROR_PROTO, "HTTP proxy sent an invalid reply: " + Printable(line));
  }
  if (line[space + 1] != '2') {
    return Fail(LIBSSH2_ERROR_REQUEST_DENIED, "HTTP proxy refused the tunnel: " + Printable(line));
  }
  return 0;
}

}  // namespace proxy
