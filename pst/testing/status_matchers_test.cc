// The assertions every test relies on must fail when they should, and say why.
#include "pst/testing/status_matchers.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

namespace pst::test {
namespace {

TEST(StatusMatchersTest, FailuresNameTheStatus) {
  EXPECT_NONFATAL_FAILURE(EXPECT_OK(Status::Corruption("bad block trailer")), "bad block trailer");
  EXPECT_FATAL_FAILURE(ASSERT_OK(Result<int>(Status::IOError("short read"))), "short read");
  EXPECT_OK(Status::Ok());
  ASSERT_OK(Result<int>(1));
}

TEST(StatusMatchersTest, AssignTakesTheValueOrStops) {
  ASSERT_OK_AND_ASSIGN(int value, Result<int>(7));
  EXPECT_EQ(value, 7);
  EXPECT_FATAL_FAILURE(
      {
        ASSERT_OK_AND_ASSIGN(int unused, Result<int>(Status::NotFound("no such node")));
        (void)unused;
      },
      "no such node");
}

}  // namespace
}  // namespace pst::test
