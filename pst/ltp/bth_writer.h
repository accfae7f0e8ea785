// BthWriter: writes a BTree-on-heap (the index of a property context, the
// row index of a table) into a HeapWriter. See bth_writer.cc for the layout.
#pragma once

#include <cstdint>
#include <vector>

#include "pst/base/bytes.h"
#include "pst/base/result.h"
#include "pst/ltp/heap.h"
#include "pst/ltp/heap_writer.h"

namespace pst::ltp {

class BthWriter {
 public:
  // key_size 2, 4, 8 or 16; entry_size 1 to 32. The heap must outlive the
  // writer.
  BthWriter(HeapWriter* heap, uint8_t key_size, uint8_t entry_size);

  // Allocates the BTHHEADER item now, so that it takes the heap's next HID
  // (Outlook puts it first: HID 0x20). Optional: Write allocates it too.
  Result<Hid> AllocateHeader();
  // Allocates the items for `count` records now (before the values that
  // the records will point at). Write then needs exactly `count` records.
  Status AllocateRecords(size_t count);

  // Writes the records: `records` holds count * (key_size + entry_size)
  // bytes, each record a little-endian key then its data, keys strictly
  // ascending. Returns the header's HID.
  Result<Hid> Write(ByteSpan records);

  // The same given in pieces, keys ascending across them too, so that an
  // index too big to lay out at once is not: leaves go into the heap as
  // they fill. Finish writes the index levels and the header.
  Status Add(ByteSpan records);
  Result<Hid> Finish();

  // Records that fit one heap item at each level.
  size_t leaf_capacity() const { return HeapWriter::kMaxItemSize / record_size(); }
  size_t index_capacity() const { return HeapWriter::kMaxItemSize / (key_size_ + 4u); }

 private:
  size_t record_size() const { return size_t{key_size_} + entry_size_; }
  Status CheckSizes() const;
  // Allocates the header and fixes whether the items were reserved, once.
  Status StartRecords();
  // Item `index` of `level`: into its reserved room, or allocated now.
  Status PutItem(size_t level, size_t index, ByteSpan bytes);
  // Writes leaf_ as the next leaf item.
  Status PutLeaf();

  HeapWriter* heap_;
  uint8_t key_size_;
  uint8_t entry_size_;
  Hid header_ = 0;
  bool records_allocated_ = false;
  size_t record_count_ = 0;
  // levels_[0] holds the leaf items, levels_.back() the single root item.
  std::vector<std::vector<Hid>> levels_;

  // Records being added: the leaf being filled, the first key of each leaf
  // written, the last key seen.
  bool adding_ = false;
  bool reserved_ = false;  // items were reserved by AllocateRecords
  bool finished_ = false;
  size_t added_ = 0;
  Bytes leaf_;
  std::vector<Bytes> first_keys_;
  Bytes last_key_;
};

}  // namespace pst::ltp
