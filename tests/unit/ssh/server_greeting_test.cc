#include "core/ssh/server_greeting.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char kOwn[] = "SSH-2.0-libssh2_1.11.1";

// Feeds the bytes one at a time, as a slow server sends them, and all at once.
template <typename Check>
void BothWays(const std::string& bytes, Check check) {
  ServerGreeting whole(kOwn);
  whole.Feed(bytes.data(), bytes.size());
  check(whole);
  ServerGreeting trickled(kOwn);
  for (char c : bytes) {
    trickled.Feed(&c, 1);
  }
  check(trickled);
}

TEST(ServerGreetingTest, VersionLineAfterOtherLinesCounts) {
  BothWays("\r\nWelcome\r\nSSH-2.0-OpenSSH_9.2p1 Debian-2+deb12u10\r\n",
           [](const ServerGreeting& greeting) {
             EXPECT_TRUE(greeting.HasVersionLine());
             EXPECT_EQ(greeting.QuotedFirstLine(), "\"Welcome\"");
           });
}

TEST(ServerGreetingTest, AnEchoOfOurOwnVersionLineIsNoServersLine) {
  // A Telnet login: option negotiation, a banner, then our own line echoed after a lone CR.
  const std::string telnet =
      std::string("\xff\xfd\x01\xff\xfb\x03\r\r\nDebian GNU/Linux 12\r\n\r") + kOwn +
      "\r\nvm login: ";
  BothWays(telnet, [](const ServerGreeting& greeting) {
    EXPECT_FALSE(greeting.HasVersionLine());
    EXPECT_TRUE(greeting.ReceivedAnything());
    EXPECT_EQ(greeting.QuotedFirstLine(), "\"\\xff\\xfd\\x01\\xff\\xfb\\x03\"");
  });
  // A server whose version line merely starts like ours is a server.
  BothWays(std::string(kOwn) + "_patched\r\n",
           [](const ServerGreeting& greeting) { EXPECT_TRUE(greeting.HasVersionLine()); });
}

TEST(ServerGreetingTest, FirstLineIsQuotedShortAndUnfinishedLinesToo) {
  BothWays("HTTP/1.1 400 Bad \"Request\"\r\nConnection: close\r\n\r\n",
           [](const ServerGreeting& greeting) {
             EXPECT_FALSE(greeting.HasVersionLine());
             EXPECT_EQ(greeting.QuotedFirstLine(), "\"HTTP/1.1 400 Bad \\x22Request\\x22\"");
           });
  BothWays(std::string(200, 'x'), [](const ServerGreeting& greeting) {
    EXPECT_EQ(greeting.QuotedFirstLine(),
              "\"" + std::string(ServerGreeting::kQuotedLength, 'x') + "\"");
  });
  ServerGreeting silent(kOwn);
  EXPECT_FALSE(silent.ReceivedAnything());
  EXPECT_EQ(silent.QuotedFirstLine(), "\"\"");
}

}  // namespace
