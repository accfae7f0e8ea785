#include "pst/base/crc32.h"

#include <gtest/gtest.h>

#include <string_view>

namespace pst {
namespace {

ByteSpan AsBytes(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(PstCrc32, MatchesStorePasswordChecksumsOfRealStores) {
  // PidTagPstPassword values of sample stores whose passwords are known.
  EXPECT_EQ(PstCrc32(AsBytes("quickquick")), 0xFF939387u);
  EXPECT_EQ(PstCrc32(AsBytes("pass12345")), 0xB1031B28u);
}

TEST(PstCrc32, EmptyIsZeroAndChunksCompose) {
  EXPECT_EQ(PstCrc32({}), 0u);
  const std::string_view text = "The quick brown fox";
  uint32_t whole = PstCrc32(AsBytes(text));
  uint32_t part = PstCrc32(AsBytes(text.substr(0, 7)));
  EXPECT_EQ(PstCrc32(AsBytes(text.substr(7)), part), whole);
}

}  // namespace
}  // namespace pst
