// Overflow-checked arithmetic for sizes and offsets read from files.
#pragma once

#include <cstdint>
#include <optional>

namespace pst {

template <typename T>
std::optional<T> CheckedAdd(T a, T b) {
  T r;
  if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
  return r;
}

template <typename T>
std::optional<T> CheckedMul(T a, T b) {
  T r;
  if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
  return r;
}

// True if [offset, offset + length) lies within [0, limit).
inline bool RangeWithin(uint64_t offset, uint64_t length, uint64_t limit) {
  return offset <= limit && length <= limit - offset;
}

}  // namespace pst
