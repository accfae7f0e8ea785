// BTree-on-heap ([MS-PST] 2.3.2): sorted fixed-size records in heap items,
// the index of property contexts and of table row ids.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "pst/base/bytes.h"
#include "pst/base/result.h"
#include "pst/ltp/heap.h"

namespace pst::ltp {

class Bth {
 public:
  // Reads and checks the BTHHEADER stored in heap item `header`. The heap
  // must outlive the Bth.
  static Result<Bth> Open(const Heap& heap, Hid header);

  uint8_t key_size() const { return key_size_; }
  uint8_t entry_size() const { return entry_size_; }
  uint8_t index_levels() const { return index_levels_; }
  bool empty() const { return root_ == 0; }

  // The data of the record whose key equals `key` (key_size() bytes), or
  // nullopt if there is none.
  Result<std::optional<Bytes>> Find(ByteSpan key) const;
  // The same for keys of up to 8 bytes, given as the integer whose little-
  // endian bytes they are.
  Result<std::optional<Bytes>> Find(uint64_t key) const;

  // Visits every record in ascending key order. Fails on records out of
  // order, on an item reached twice, and on the first error fn returns.
  using Visitor = std::function<Status(ByteSpan key, ByteSpan data)>;
  Status ForEach(const Visitor& fn) const;

  // Deeper trees would need more heap items than a node can hold.
  static constexpr uint8_t kMaxIndexLevels = 8;

 private:
  Bth() = default;

  Status Corrupt(const std::string& what) const;
  Result<Bytes> ReadLevel(Hid hid, size_t record_size) const;

  const Heap* heap_ = nullptr;
  Hid header_ = 0;
  uint8_t key_size_ = 0;
  uint8_t entry_size_ = 0;
  uint8_t index_levels_ = 0;
  Hid root_ = 0;
};

// Compares two keys of equal size the way their trees are sorted: keys of up
// to 4 bytes as unsigned little-endian integers, longer keys byte by byte.
int CompareBthKeys(ByteSpan a, ByteSpan b);

}  // namespace pst::ltp
