#include <gtest/gtest.h>

#include "core/check.h"

namespace {

// The unit tests, and with them the sanitizer build, run with the assertions on.
TEST(CheckTest, AssertionsAbortWithWhereAndWhat) {
  QUELBAR_CHECK(1 + 1 == 2);
  QUELBAR_DCHECK(true);
  EXPECT_DEATH(QUELBAR_DCHECK(1 + 1 == 3), "check_test.cc:[0-9]+: check failed: 1 \\+ 1 == 3");
  EXPECT_DEATH(QUELBAR_NOTREACHED(), "not reached");
}

}  // namespace
