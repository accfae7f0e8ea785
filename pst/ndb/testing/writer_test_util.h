// Small helpers shared by the store writer's tests (and, through
// status_matchers.h, ASSERT_OK / EXPECT_OK).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "pst/base/bytes.h"
#include "pst/ndb/types.h"
#include "pst/testing/status_matchers.h"

namespace pst::ndb::testing {

// Byte `offset` of a test stream: cheap to compute at any offset, and
// different for every seed and every block position.
inline uint8_t PatternByte(uint64_t offset, uint32_t seed) {
  uint64_t x = offset * 0x9E3779B97F4A7C15ull + seed * 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  return static_cast<uint8_t>(x ^ (x >> 17));
}

inline Bytes Pattern(size_t size, uint32_t seed) {
  Bytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = PatternByte(i, seed);
  return out;
}

struct FormatParam {
  Format format;
  CryptMethod crypt;
};

inline std::string ParamName(const ::testing::TestParamInfo<FormatParam>& info) {
  std::string name = info.param.format == Format::kAnsi ? "Ansi" : "Unicode";
  switch (info.param.crypt) {
    case CryptMethod::kNone: return name + "Plain";
    case CryptMethod::kPermute: return name + "Permute";
    case CryptMethod::kCyclic: return name + "Cyclic";
  }
  return name;
}

}  // namespace pst::ndb::testing
