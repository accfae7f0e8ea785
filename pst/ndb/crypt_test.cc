#include "pst/ndb/crypt.h"

#include <gtest/gtest.h>

#include <array>

#include "pst/base/bytes.h"
#include "pst/testing/status_matchers.h"

namespace pst::ndb {
namespace {

TEST(CryptTest, TablesAreConsistentPermutations) {
  const uint8_t* r = kCryptTable;
  const uint8_t* s = kCryptTable + 256;
  const uint8_t* i = kCryptTable + 512;
  std::array<int, 256> seen_r{};
  for (int x = 0; x < 256; ++x) {
    ++seen_r[r[x]];
    EXPECT_EQ(i[r[x]], x) << "I must undo R at " << x;
    EXPECT_EQ(s[s[x]], x) << "S must be its own inverse at " << x;
  }
  for (int n : seen_r) EXPECT_EQ(n, 1);
}

Bytes AllBytes() {
  Bytes b(600);
  for (size_t k = 0; k < b.size(); ++k) b[k] = static_cast<uint8_t>(k * 13 + 5);
  return b;
}

TEST(CryptTest, EachMethodRoundTripsAndChangesTheBytes) {
  const Bytes plain = AllBytes();
  for (CryptMethod m : {CryptMethod::kPermute, CryptMethod::kCyclic}) {
    Bytes b = plain;
    ASSERT_OK(EncodeBlockData(m, 0x12345678, b));
    EXPECT_NE(b, plain);
    ASSERT_OK(DecodeBlockData(m, 0x12345678, b));
    EXPECT_EQ(b, plain);
  }
  Bytes b = plain;
  ASSERT_OK(EncodeBlockData(CryptMethod::kNone, 4, b));
  EXPECT_EQ(b, plain);
}

TEST(CryptTest, PermuteGivesTheTablesBytesAtEveryLengthAndAlignment) {
  Bytes source(300 + 64);
  for (size_t k = 0; k < source.size(); ++k) source[k] = static_cast<uint8_t>(k * 167 + 3);
  for (bool encode : {true, false}) {
    for (size_t offset : {0, 1, 31}) {
      for (size_t n = 0; n <= 300; n += (n < 140 ? 1 : 37)) {
        Bytes fast = source, plain = source;
        std::span<uint8_t> f(fast.data() + offset, n), p(plain.data() + offset, n);
        encode ? PermuteEncode(f) : PermuteDecode(f);
        PermuteBytewiseForTesting(encode, p);
        ASSERT_EQ(fast, plain) << (encode ? "encode" : "decode") << " of " << n << " bytes at " << offset;
      }
    }
  }
}

TEST(CryptTest, CyclicKeyIsTheLow32BitsOfTheBid) {
  const Bytes plain = AllBytes();
  Bytes a = plain;
  Bytes b = plain;
  CyclicCode(a, 0x1000);
  CyclicCode(b, 0x1004);
  EXPECT_NE(a, b);
  Bytes c = plain;
  ASSERT_OK(EncodeBlockData(CryptMethod::kCyclic, 0xABCD00001000ull, c));
  EXPECT_EQ(c, a);
}

TEST(CryptTest, UnknownMethodsAreNotSupported) {
  Bytes b = AllBytes();
  Status s = DecodeBlockData(static_cast<CryptMethod>(0x10), 4, b);
  EXPECT_EQ(s.code(), Status::Code::kNotSupported);
  EXPECT_NE(s.message().find("Information Protection"), std::string::npos);
  EXPECT_EQ(DecodeBlockData(static_cast<CryptMethod>(0x07), 4, b).code(),
            Status::Code::kNotSupported);
}

}  // namespace
}  // namespace pst::ndb
