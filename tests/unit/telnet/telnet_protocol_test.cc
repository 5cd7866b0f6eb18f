#include "core/telnet/telnet_protocol.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include <libtelnet.h>

namespace {

TEST(TelnetProtocolTest, TextGoesOutAsNetworkVirtualTerminalText) {
  EXPECT_EQ(ToNetworkText("a\rb\nc\xff"), std::string("a\r\0b\r\nc\xff", 8));
  EXPECT_EQ(ToNetworkText("\r\n"), std::string("\r\0\r\n", 4));
  EXPECT_EQ(ToNetworkText(std::string("x\0y", 3)), std::string("x\0y", 3));
  EXPECT_EQ(ToNetworkText(""), "");
}

TEST(TelnetProtocolTest, SubnegotiationPayloads) {
  EXPECT_EQ(TerminalTypeIsPayload("xterm"), std::string("\0xterm", 6));
  EXPECT_EQ(TerminalTypeIsPayload(""), std::string("\0", 1));

  EXPECT_EQ(WindowSizePayload(80, 24), std::string("\0\x50\0\x18", 4));
  EXPECT_EQ(WindowSizePayload(300, 255), std::string("\x01\x2c\0\xff", 4));
  // Values outside 16 bits are taken modulo 65536.
  EXPECT_EQ(WindowSizePayload(65536 + 80, -1), std::string("\0\x50\xff\xff", 4));

  EXPECT_EQ(EnvironmentIsPayload("USER", "bob"), std::string("\0\0USER\x01"
                                                             "bob",
                                                             10));
  // Bytes 0 to 3 would read as VAR, VALUE, ESC or USERVAR: each is escaped.
  EXPECT_EQ(EnvironmentIsPayload("USER", std::string("a\0\x01\x02\x03\x04", 6)),
            std::string("\0\0USER\x01"
                        "a\x02\0\x02\x01\x02\x02\x02\x03\x04",
                        17));
}

TEST(TelnetProtocolTest, ErrorsOfLibtelnetCarryACodeTakenFromTheirText) {
  Error memory = MakeTelnetError("malloc() failed: out of memory");
  EXPECT_EQ(memory.type, Error::kProtocol);
  EXPECT_EQ(memory.code, TELNET_ENOMEM);
  EXPECT_EQ(memory.message, "malloc() failed: out of memory");
  EXPECT_EQ(MakeTelnetError("something else").code, TELNET_EPROTOCOL);
  EXPECT_EQ(MakeTelnetError(nullptr).message, "");
  EXPECT_TRUE(IsSubnegotiationOverflow("subnegotiation buffer size limit reached"));
  EXPECT_FALSE(IsSubnegotiationOverflow("unexpected byte after IAC inside SB: 1"));
  EXPECT_FALSE(IsSubnegotiationOverflow(nullptr));
}

}  // namespace
