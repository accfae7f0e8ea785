#include "pst/base/status.h"

#include <gtest/gtest.h>

#include "pst/base/result.h"

namespace pst {
namespace {

Result<int> Half(int v) {
  if (v % 2) return Status::InvalidArgument("odd value");
  return v / 2;
}

Result<int> Quarter(int v) {
  PST_ASSIGN_OR_RETURN(int half, Half(v));
  return Half(half);
}

TEST(Status, CarriesCodeMessageAndContext) {
  Status s = Status::Corruption("bad page trailer").WithContext("NBT page at 0x4800");
  EXPECT_TRUE(s.IsCorruption());
  EXPECT_EQ(s.ToString(), "Corruption: NBT page at 0x4800: bad page trailer");
  EXPECT_TRUE(Status::Ok().WithContext("ignored").ok());
}

TEST(Result, PropagatesTheFirstError) {
  EXPECT_EQ(*Quarter(8), 2);
  Result<int> r = Quarter(6);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.status().message(), "odd value");
}

}  // namespace
}  // namespace pst
