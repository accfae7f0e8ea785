#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <vector>

namespace pst {

using Bytes = std::vector<uint8_t>;
using ByteSpan = std::span<const uint8_t>;

// An allocator whose vectors leave the elements they grow by as they are,
// where std::allocator zeroes them.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <typename U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}

  // Only value-initialization changes; a construction with arguments goes
  // to std::allocator_traits' own.
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
};

// A buffer that is filled completely after each resize() and never read
// before: a write buffer that blocks are encoded into. Zeroing it first cost
// a pass over every byte a conversion writes.
using BufferBytes = std::vector<uint8_t, UninitializedAllocator<uint8_t>>;

}  // namespace pst
