#include "core/ssh/server_greeting.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char kOwn[] = "SSH-2.0-libssh2_1.11.1";

// Each case fed all at once and one byte at a time, as a slow server sends it.
TEST(ServerGreetingTest, TellsAServersVersionLineFromEverythingElse) {
  struct Case {
    std::string bytes;
    bool version_line;
    std::string quoted_first_line;
  } cases[] = {
      {"\r\nWelcome\r\nSSH-2.0-OpenSSH_9.2p1 Debian\r\n", true, "\"Welcome\""},
      // A Telnet login: negotiation, a banner, then our own line echoed after a lone CR.
      {std::string("\xff\xfd\x01\xff\xfb\x03\r\r\nDebian GNU/Linux 12\r\n\r") + kOwn +
           "\r\nlogin: ",
       false, "\"\\xff\\xfd\\x01\\xff\\xfb\\x03\""},
      {std::string(kOwn) + "_patched\r\n", true, "\"" + std::string(kOwn) + "_patched\""},
      {"HTTP/1.1 400 Bad \"Request\"\r\n\r\n", false, "\"HTTP/1.1 400 Bad \\x22Request\\x22\""},
      {std::string(200, 'x'), false, "\"" + std::string(ServerGreeting::kQuotedLength, 'x') + "\""},
      {"", false, "\"\""},
  };
  for (const Case& c : cases) {
    ServerGreeting whole(kOwn);
    ServerGreeting trickled(kOwn);
    whole.Feed(c.bytes.data(), c.bytes.size());
    for (char byte : c.bytes) {
      trickled.Feed(&byte, 1);
    }
    for (const ServerGreeting* greeting : {&whole, &trickled}) {
      EXPECT_EQ(greeting->HasVersionLine(), c.version_line) << c.bytes;
      EXPECT_EQ(greeting->ReceivedAnything(), !c.bytes.empty()) << c.bytes;
      EXPECT_EQ(greeting->QuotedFirstLine(), c.quoted_first_line) << c.bytes;
    }
  }
}

}  // namespace
