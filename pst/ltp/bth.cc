// BTree-on-heap reader ([MS-PST] 2.3.2).
//
// BTHHEADER (2.3.2.1), one 8-byte heap item:
//   0  1  bType       0xB5
//   1  1  cbKey       2, 4, 8 or 16
//   2  1  cbEnt       1..32
//   3  1  bIdxLevels  0 = hidRoot holds leaf records
//   4  4  hidRoot     0 = empty tree
//
// Intermediate item (2.3.2.2): records of {key (cbKey), hidNextLevel (4)},
// each key the lowest key below that child. Leaf item (2.3.2.3): records of
// {key (cbKey), data (cbEnt)}. Records are sorted by key; an item holds
// size / record-size records. Outlook orders 2- and 4-byte keys (property
// ids, row ids) as little-endian integers, but 8- and 16-byte keys (GUIDs)
// as byte strings.
#include "pst/ltp/bth.h"

#include <set>
#include <string>

#include "pst/base/byte_reader.h"
#include "pst/base/coding.h"
#include "pst/base/hex.h"

namespace pst::ltp {
namespace {

constexpr uint8_t kBthType = 0xB5;
constexpr size_t kHeaderSize = 8;
constexpr size_t kHidSize = 4;

}  // namespace

int CompareBthKeys(ByteSpan a, ByteSpan b) {
  if (a.size() <= 4) {  // property ids and row ids: little-endian integers
    for (size_t i = a.size(); i-- > 0;) {
      if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return 0;
  }
  // GUIDs and other long keys: byte strings.
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

Status Bth::Corrupt(const std::string& what) const {
  return Status::Corruption("BTH " + Hex(header_) + " in node " + Hex(heap_->node().nid()) + ": " +
                            what);
}

Result<Bth> Bth::Open(const Heap& heap, Hid header) {
  Bth bth;
  bth.heap_ = &heap;
  bth.header_ = header;
  if (header == 0) return bth.Corrupt("no header (heap id 0)");
  PST_ASSIGN_OR_RETURN(Bytes bytes, heap.Item(header));
  if (bytes.size() != kHeaderSize) {
    return bth.Corrupt("header item has " + std::to_string(bytes.size()) + " bytes, not 8");
  }
  ByteReader reader(bytes);
  const uint8_t type = reader.U8();
  bth.key_size_ = reader.U8();
  bth.entry_size_ = reader.U8();
  bth.index_levels_ = reader.U8();
  bth.root_ = reader.U32();
  if (type != kBthType) return bth.Corrupt("bad type " + Hex(type) + " (expected 0xB5)");
  const uint8_t k = bth.key_size_;
  if (k != 2 && k != 4 && k != 8 && k != 16) {
    return bth.Corrupt("bad key size " + std::to_string(k));
  }
  if (bth.entry_size_ == 0 || bth.entry_size_ > 32) {
    return bth.Corrupt("bad record data size " + std::to_string(bth.entry_size_));
  }
  if (bth.index_levels_ > kMaxIndexLevels) {
    return bth.Corrupt(std::to_string(bth.index_levels_) + " index levels (at most " +
                       std::to_string(kMaxIndexLevels) + ")");
  }
  return bth;
}

Result<Bytes> Bth::ReadLevel(Hid hid, size_t record_size) const {
  auto item = heap_->Item(hid);
  if (!item.ok()) {
    return item.status().WithContext("BTH " + Hex(header_) + " in node " +
                                     Hex(heap_->node().nid()));
  }
  if (item->size() % record_size != 0) {
    return Corrupt("item " + Hex(hid) + " of " + std::to_string(item->size()) +
                   " bytes is not a whole number of " + std::to_string(record_size) +
                   "-byte records");
  }
  // Records must be strictly ascending within an item.
  for (size_t off = record_size; off < item->size(); off += record_size) {
    ByteSpan prev(item->data() + off - record_size, key_size_);
    ByteSpan cur(item->data() + off, key_size_);
    if (CompareBthKeys(prev, cur) >= 0) {
      return Corrupt("records of item " + Hex(hid) + " are not in ascending key order");
    }
  }
  return item;
}

Result<std::optional<Bytes>> Bth::Find(ByteSpan key) const {
  if (key.size() != key_size_) {
    return Status::InvalidArgument("BTH lookup with a " + std::to_string(key.size()) +
                                   "-byte key in a tree of " + std::to_string(key_size_) +
                                   "-byte keys");
  }
  Hid hid = root_;
  for (int level = index_levels_; hid != 0; --level) {
    const size_t record_size = key_size_ + (level > 0 ? kHidSize : entry_size_);
    PST_ASSIGN_OR_RETURN(Bytes item, ReadLevel(hid, record_size));
    const size_t count = item.size() / record_size;
    // Last record whose key is <= the wanted key (binary search).
    size_t lo = 0, hi = count;
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      if (CompareBthKeys(ByteSpan(item.data() + mid * record_size, key_size_), key) <= 0) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    if (lo == 0) return std::optional<Bytes>();
    const uint8_t* record = item.data() + (lo - 1) * record_size;
    if (level == 0) {
      if (CompareBthKeys(ByteSpan(record, key_size_), key) != 0) return std::optional<Bytes>();
      return std::optional<Bytes>(Bytes(record + key_size_, record + record_size));
    }
    hid = DecodeFixed32(record + key_size_);
    if (hid == 0) return Corrupt("index record points at heap id 0");
  }
  return std::optional<Bytes>();
}

Result<std::optional<Bytes>> Bth::Find(uint64_t key) const {
  if (key_size_ > 8) {
    return Status::InvalidArgument("BTH lookup with an integer key in a tree of " +
                                   std::to_string(key_size_) + "-byte keys");
  }
  uint8_t bytes[8];
  EncodeFixed64(bytes, key);
  if (key_size_ < 8 && (key >> (8 * key_size_)) != 0) return std::optional<Bytes>();
  return Find(ByteSpan(bytes, key_size_));
}

Status Bth::ForEach(const Visitor& fn) const {
  if (root_ == 0) return Status::Ok();
  std::set<Hid> visited;
  Bytes last_key;  // empty until the first record

  // Visits the subtree at `hid`; every key in it must lie in [low, high)
  // (bounds empty = unbounded), so lookups and walks agree.
  std::function<Status(Hid, int, ByteSpan, ByteSpan)> visit = [&](Hid hid, int level, ByteSpan low,
                                                                  ByteSpan high) -> Status {
    if (!visited.insert(hid).second) {
      return Corrupt("item " + Hex(hid) + " is reached twice");
    }
    const size_t record_size = key_size_ + (level > 0 ? kHidSize : entry_size_);
    PST_ASSIGN_OR_RETURN(Bytes item, ReadLevel(hid, record_size));
    const size_t count = item.size() / record_size;
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* record = item.data() + i * record_size;
      ByteSpan key(record, key_size_);
      if ((!low.empty() && CompareBthKeys(key, low) < 0) ||
          (!high.empty() && CompareBthKeys(key, high) >= 0)) {
        return Corrupt("key in item " + Hex(hid) + " lies outside its index range");
      }
      if (level == 0) {
        if (!last_key.empty() && CompareBthKeys(last_key, key) >= 0) {
          return Corrupt("records are not in ascending key order");
        }
        last_key.assign(key.begin(), key.end());
        PST_RETURN_IF_ERROR(fn(key, ByteSpan(record + key_size_, entry_size_)));
        continue;
      }
      const Hid child = DecodeFixed32(record + key_size_);
      if (child == 0) return Corrupt("index record points at heap id 0");
      ByteSpan next_low = (i + 1 < count) ? ByteSpan(record + record_size, key_size_) : high;
      PST_RETURN_IF_ERROR(visit(child, level - 1, key, next_low));
    }
    return Status::Ok();
  };
  return visit(root_, index_levels_, ByteSpan(), ByteSpan());
}

}  // namespace pst::ltp
