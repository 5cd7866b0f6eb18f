#include <gtest/gtest.h>

#include "core/ssh/ssh_auth.h"

namespace {

TEST(AuthMethodsTest, NamesMapExactly) {
  EXPECT_EQ(AuthMethodFromName("none"), kAuthNone);
  EXPECT_EQ(AuthMethodFromName("publickey"), kAuthPublicKey);
  EXPECT_EQ(AuthMethodFromName("keyboard-interactive"), kAuthKeyboardInteractive);
  EXPECT_EQ(AuthMethodFromName("password"), kAuthPassword);
  EXPECT_EQ(AuthMethodFromName("hostbased"), kAuthHostbased);
  EXPECT_EQ(AuthMethodFromName("gssapi-with-mic"), kAuthGssapiWithMic);
  EXPECT_EQ(AuthMethodFromName("Password"), kAuthUnknown);
  EXPECT_EQ(AuthMethodFromName(" password"), kAuthUnknown);
  EXPECT_EQ(AuthMethodFromName(""), kAuthUnknown);
}

TEST(AuthMethodsTest, ServerListsAreCutAtEveryCommaAndSortedIntoPreference) {
  EXPECT_EQ(SplitAuthMethodList("a,,b"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(SplitAuthMethodList(""), (std::vector<std::string>{""}));
  EXPECT_EQ(SplitAuthMethodList("publickey,"), (std::vector<std::string>{"publickey", ""}));
  EXPECT_EQ(ParseAllowedAuthMethods("none,,publickey,foo,password,publickey"),
            (std::vector<int32_t>{kAuthNone, kAuthPublicKey, kAuthPublicKey, kAuthPassword}));
  EXPECT_EQ(ParseAllowedAuthMethods("password,keyboard-interactive,publickey"),
            (std::vector<int32_t>{kAuthPublicKey, kAuthKeyboardInteractive, kAuthPassword}));
  EXPECT_TRUE(ParseAllowedAuthMethods("").empty());
}

}  // namespace
