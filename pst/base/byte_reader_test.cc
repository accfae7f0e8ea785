#include "pst/base/byte_reader.h"

#include <gtest/gtest.h>

namespace pst {
namespace {

TEST(ByteReader, ReadsLittleEndianAndStopsAtTheEnd) {
  const uint8_t data[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
  ByteReader r(data);
  EXPECT_EQ(r.U8(), 0x01);
  EXPECT_EQ(r.U16(), 0x0302);
  EXPECT_EQ(r.U32(), 0x07060504u);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.U32(), 0u);  // only two bytes left
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.U8(), 0);    // failure is sticky
}

TEST(ByteReader, SpanSeekAndSkipAreBounded) {
  const uint8_t data[] = {1, 2, 3, 4};
  ByteReader r(data);
  EXPECT_TRUE(r.Seek(4));
  EXPECT_TRUE(r.Span(0).empty());
  EXPECT_TRUE(r.ok());
  EXPECT_FALSE(r.Seek(5));
  ByteReader r2(data);
  EXPECT_EQ(r2.Span(3).size(), 3u);
  EXPECT_FALSE(r2.Skip(2));
  ByteReader r3(data);
  EXPECT_EQ(r3.U32or64(true), 0u);
  EXPECT_FALSE(r3.ok());
}

}  // namespace
}  // namespace pst
