#include <gtest/gtest.h>

#include "core/net/port_text.h"

namespace {

TEST(PortTextTest, ReadsLikeStoiWithoutThrowing) {
  int port = -1;
  EXPECT_TRUE(ReadPortText("22", &port));
  EXPECT_EQ(port, 22);
  EXPECT_TRUE(ReadPortText("  +2222x", &port));
  EXPECT_EQ(port, 2222);
  EXPECT_TRUE(ReadPortText("-5", &port));
  EXPECT_EQ(port, -5);
  EXPECT_TRUE(ReadPortText("2147483647", &port));
  EXPECT_EQ(port, 2147483647);

  port = 7;
  EXPECT_FALSE(ReadPortText("ssh", &port));
  EXPECT_FALSE(ReadPortText("", &port));
  EXPECT_FALSE(ReadPortText("-", &port));
  EXPECT_FALSE(ReadPortText("2147483648", &port));
  EXPECT_FALSE(ReadPortText("99999999999999999999999", &port));
  EXPECT_EQ(port, 7);
}

}  // namespace
