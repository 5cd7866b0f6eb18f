#include <gtest/gtest.h>

#include <string>

#include "libssh2_ext/dynamic_forwarding/libssh2_dynamic_forwarding.h"

namespace {

struct Request {
  int result = 0;
  std::string host;
  uint32_t port = 0;
  size_t consumed = 0;
};

Request Parse(int version, const std::string& bytes) {
  char host[LIBSSH2_DYNAMIC_FORWARDING_HOST_SIZE] = {};
  Request request;
  request.result = libssh2_dynamic_forwarding_parse_connect_request_ex(
      version, bytes.data(), bytes.size(), host, &request.port, &request.consumed);
  request.host = host;
  return request;
}

std::string Reply(int version, int granted) {
  char buf[LIBSSH2_DYNAMIC_FORWARDING_REPLY_SIZE] = {};
  size_t length = 0;
  libssh2_dynamic_forwarding_create_access_granted_reply(version, granted, buf, &length);
  return std::string(buf, length);
}

std::string FailureReply(int version, int result) {
  char buf[LIBSSH2_DYNAMIC_FORWARDING_REPLY_SIZE] = {};
  size_t length = 0;
  libssh2_dynamic_forwarding_create_failure_reply(version, result, buf, &length);
  return std::string(buf, length);
}

// Every proper prefix of a complete message must ask for more, so that a message arriving a byte
// at a time is read exactly as one arriving whole.
void ExpectPrefixesWait(int version, const std::string& bytes) {
  for (size_t size = 0; size < bytes.size(); ++size) {
    EXPECT_EQ(Parse(version, bytes.substr(0, size)).result, LIBSSH2_ERROR_EAGAIN)
        << "prefix of " << size << " bytes";
  }
}

const std::string kName = "example.test";

TEST(SocksServerCodec, ReadsTheRequestsCurlSends) {
  EXPECT_EQ(libssh2_dynamic_forwarding_get_protocol_version(nullptr, 0), LIBSSH2_ERROR_EAGAIN);
  EXPECT_EQ(libssh2_dynamic_forwarding_get_protocol_version("\x04", 1), 4);
  EXPECT_EQ(libssh2_dynamic_forwarding_get_protocol_version("\x05", 1), 5);
  EXPECT_EQ(libssh2_dynamic_forwarding_get_protocol_version("GET /", 5), LIBSSH2_ERROR_PROTO);

  // SOCKS4 to 127.0.0.1:7003 with an empty user id, followed by data the client sent early.
  const std::string socks4("\x04\x01\x1b\x5b\x7f\x00\x00\x01\x00", 9);
  ExpectPrefixesWait(4, socks4);
  Request request = Parse(4, socks4 + "early");
  EXPECT_EQ(request.result, 0);
  EXPECT_EQ(request.host, "127.0.0.1");
  EXPECT_EQ(request.port, 7003u);
  EXPECT_EQ(request.consumed, socks4.size());

  // SOCKS4a: a user id, then the name for the server to resolve.
  const std::string socks4a =
      std::string("\x04\x01\x1f\x90\x00\x00\x00\x01user\x00", 13) + kName + std::string(1, '\0');
  ExpectPrefixesWait(4, socks4a);
  request = Parse(4, socks4a);
  EXPECT_EQ(request.result, 0);
  EXPECT_EQ(request.host, kName);
  EXPECT_EQ(request.port, 8080u);
  EXPECT_EQ(request.consumed, socks4a.size());

  // SOCKS5 to ::1 and to a name.
  const std::string socks5_ipv6 =
      std::string("\x05\x01\x00\x04", 4) + std::string(15, '\0') + "\x01\x1b\x5b";
  ExpectPrefixesWait(5, socks5_ipv6);
  request = Parse(5, socks5_ipv6);
  EXPECT_EQ(request.result, 0);
  EXPECT_EQ(request.host, "::1");
  EXPECT_EQ(request.port, 7003u);
  EXPECT_EQ(request.consumed, socks5_ipv6.size());

  const std::string socks5_name = std::string("\x05\x01\x00\x03\x0c", 5) + kName + "\xff\xff";
  ExpectPrefixesWait(5, socks5_name);
  request = Parse(5, socks5_name + std::string("\x05\x01\x00", 3));
  EXPECT_EQ(request.result, 0);
  EXPECT_EQ(request.host, kName);
  EXPECT_EQ(request.port, 65535u);
  EXPECT_EQ(request.consumed, socks5_name.size());

  request = Parse(5, std::string("\x05\x01\x00\x01\x0a\x00\x00\x02\x00\x16", 10));
  EXPECT_EQ(request.result, 0);
  EXPECT_EQ(request.host, "10.0.0.2");
  EXPECT_EQ(request.port, 22u);
}

TEST(SocksServerCodec, NegotiatesNoAuthenticationOnly) {
  char reply[2] = {};
  size_t consumed = 0;
  // curl offers no authentication and GSSAPI; a request may follow in the same read.
  const std::string greeting("\x05\x02\x00\x01", 4);
  for (size_t size = 0; size < greeting.size(); ++size) {
    EXPECT_EQ(libssh2_dynamic_forwarding_parse_socks5_auth_request(greeting.data(), size, reply),
              LIBSSH2_ERROR_EAGAIN);
  }
  const std::string pipelined = greeting + "\x05\x01\x00\x01";
  EXPECT_EQ(libssh2_dynamic_forwarding_parse_socks5_auth_request_ex(
                pipelined.data(), pipelined.size(), reply, &consumed),
            0);
  EXPECT_EQ(std::string(reply, 2), std::string("\x05\x00", 2));
  EXPECT_EQ(consumed, greeting.size());

  // Only user name and password offered: refused with 05 FF, which must still be sent.
  EXPECT_EQ(libssh2_dynamic_forwarding_parse_socks5_auth_request("\x05\x01\x02", 3, reply),
            LIBSSH2_ERROR_METHOD_NOT_SUPPORTED);
  EXPECT_EQ(std::string(reply, 2), "\x05\xff");
  EXPECT_EQ(libssh2_dynamic_forwarding_parse_socks5_auth_request("\x05\x00", 2, reply),
            LIBSSH2_ERROR_PROTO);
  EXPECT_EQ(libssh2_dynamic_forwarding_parse_socks5_auth_request("GET", 3, reply),
            LIBSSH2_ERROR_PROTO);
  EXPECT_EQ(std::string(reply, 2), "\x05\xff");
}

TEST(SocksServerCodec, RefusesWhatItCannotServeAndClosesOnGarbage) {
  // Well-formed requests for BIND and UDP ASSOCIATE, and an address type SOCKS5 does not define,
  // get the protocol's own answer; anything else gets none.
  const Request bind4 = Parse(4, std::string("\x04\x02\x00\x50\x7f\x00\x00\x01\x00", 9));
  EXPECT_EQ(bind4.result, LIBSSH2_ERROR_METHOD_NOT_SUPPORTED);
  EXPECT_EQ(FailureReply(4, bind4.result), std::string("\x00\x5b\0\0\0\0\0\0", 8));
  const Request udp5 = Parse(5, std::string("\x05\x03\x00\x01\x7f\x00\x00\x01\x00\x50", 10));
  EXPECT_EQ(udp5.result, LIBSSH2_ERROR_METHOD_NOT_SUPPORTED);
  EXPECT_EQ(FailureReply(5, udp5.result), std::string("\x05\x07\x00\x01\0\0\0\0\0\0", 10));
  const Request type5 = Parse(5, std::string("\x05\x01\x00\x02\x7f", 5));
  EXPECT_EQ(type5.result, LIBSSH2_ERROR_INVAL);
  EXPECT_EQ(FailureReply(5, type5.result), std::string("\x05\x08\x00\x01\0\0\0\0\0\0", 10));

  const std::string malformed[] = {
      std::string("\x05\x01\x00\x03\x00\x00\x50", 7),  // empty name
      std::string("\x05\x01\x00\x03\x03"
                  "a\0b\x00\x50",
                  10),                                              // NUL inside the name
      std::string("\x04\x01\x00\x50\x00\x00\x00\x01\x00\x00", 10),  // empty SOCKS4a name
      "\x06\x01",
  };
  for (const std::string& bytes : malformed) {
    const int version = bytes[0] == 4 ? 4 : 5;
    const Request request = Parse(version, bytes);
    EXPECT_EQ(request.result, LIBSSH2_ERROR_PROTO);
    EXPECT_EQ(FailureReply(version, request.result), "");
  }
  EXPECT_EQ(Parse(6, "\x06").result, LIBSSH2_ERROR_PROTO);
}

TEST(SocksServerCodec, BoundsTheFieldsWithoutLength) {
  const std::string header("\x04\x01\x00\x50\x00\x00\x00\x01", 8);
  const std::string longest = header + std::string(255, 'u') + std::string(1, '\0') +
                              std::string(255, 'h') + std::string(1, '\0');
  ASSERT_EQ(longest.size(), size_t{LIBSSH2_DYNAMIC_FORWARDING_MAX_MESSAGE});
  const Request request = Parse(4, longest);
  EXPECT_EQ(request.result, 0);
  EXPECT_EQ(request.host, std::string(255, 'h'));
  // A user id or a name that runs past 255 bytes without its NUL is no request at all.
  EXPECT_EQ(Parse(4, header + std::string(255, 'u')).result, LIBSSH2_ERROR_EAGAIN);
  EXPECT_EQ(Parse(4, header + std::string(256, 'u')).result, LIBSSH2_ERROR_PROTO);
  EXPECT_EQ(Parse(4, header + std::string(1, '\0') + std::string(256, 'h')).result,
            LIBSSH2_ERROR_PROTO);
}

TEST(SocksServerCodec, BuildsTheReplies) {
  EXPECT_EQ(Reply(4, 1), std::string("\x00\x5a\0\0\0\0\0\0", 8));
  EXPECT_EQ(Reply(4, 0), std::string("\x00\x5b\0\0\0\0\0\0", 8));
  EXPECT_EQ(Reply(5, 1), std::string("\x05\x00\x00\x01\0\0\0\0\0\0", 10));
  EXPECT_EQ(Reply(5, 0), std::string("\x05\x01\x00\x01\0\0\0\0\0\0", 10));
  EXPECT_EQ(Reply(3, 1), "");
}

}  // namespace
