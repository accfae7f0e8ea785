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

// The CRC one bit at a time, straight from its definition.
uint32_t BitwiseCrc(ByteSpan data, uint32_t crc) {
  for (uint8_t byte : data) {
    crc ^= byte;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc;
}

TEST(PstCrc32, AgreesWithTheDefinitionAtEveryLength) {
  // Whatever library computes it, and however it splits the work by length
  // and alignment.
  Bytes data(70000);
  for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<uint8_t>(k * 2654435761u >> 13);
  for (size_t n : {size_t{1}, size_t{3}, size_t{15}, size_t{16}, size_t{63}, size_t{64}, size_t{65}, size_t{255},
                   size_t{1000}, size_t{8176}, size_t{8180}, size_t{65536}}) {
    for (size_t offset : {size_t{0}, size_t{1}, size_t{7}}) {
      const ByteSpan span(data.data() + offset, n);
      for (uint32_t start : {0u, 0x12345678u}) {
        EXPECT_EQ(PstCrc32(span, start), BitwiseCrc(span, start)) << n << " bytes at " << offset;
      }
    }
  }
}

}  // namespace
}  // namespace pst
