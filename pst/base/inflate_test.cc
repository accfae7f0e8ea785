#include "pst/base/inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

namespace pst {
namespace {

Bytes Compress(const Bytes& plain) {
  uLongf size = compressBound(static_cast<uLong>(plain.size()));
  Bytes packed(size);
  EXPECT_EQ(compress2(packed.data(), &size, plain.data(), static_cast<uLong>(plain.size()), 6), Z_OK);
  packed.resize(size);
  return packed;
}

// What zlib wrote comes back whole; every damage a block can carry (a wrong
// Adler-32, a cut stream, a wrong promised size, random bytes) is refused.
TEST(InflateZlib, GivesBackWhatZlibPackedAndRefusesEveryDamage) {
  std::mt19937 random(7);
  for (const size_t n : {size_t{1}, size_t{100}, size_t{4000}, size_t{8176}, size_t{65535}}) {
    Bytes plain(n);
    for (size_t i = 0; i < n; ++i) plain[i] = static_cast<uint8_t>(random() % 7 + (i / 64) % 3);  // compressible
    const Bytes packed = Compress(plain);
    Bytes out(n);
    ASSERT_TRUE(InflateZlib(packed, out)) << n;
    EXPECT_EQ(out, plain) << n;

    Bytes wrong_check = packed;
    wrong_check.back() ^= 0x01;
    EXPECT_FALSE(InflateZlib(wrong_check, out)) << n;
    EXPECT_FALSE(InflateZlib(ByteSpan(packed).first(packed.size() - 5), out)) << n;
    Bytes short_out(n - 1), long_out(n + 1);
    EXPECT_FALSE(InflateZlib(packed, short_out)) << n;
    EXPECT_FALSE(InflateZlib(packed, long_out)) << n;
    Bytes noise(packed.size());
    for (auto& b : noise) b = static_cast<uint8_t>(random());
    EXPECT_FALSE(InflateZlib(noise, out)) << n;
  }
  Bytes none;
  EXPECT_FALSE(InflateZlib(none, none));
}

}  // namespace
}  // namespace pst
