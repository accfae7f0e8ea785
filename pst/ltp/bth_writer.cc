// BTree-on-heap as written ([MS-PST] 2.3.2).
//
//   BTHHEADER (8 bytes, a heap item)
//     0  1  bType        0xB5
//     1  1  cbKey        2, 4, 8 or 16
//     2  1  cbEnt        1-32
//     3  1  bIdxLevels   0: hidRoot is a leaf
//     4  4  hidRoot      0 for an empty tree
//   leaf item            records: key (cbKey) then data (cbEnt), keys ascending
//   index item           entries: key (cbKey) then the HID (4) of the child
//                        item whose first key it is
//
// Leaves are filled in key order to the largest heap item (3580 bytes), the
// last one holding the rest; index levels are built over them the same way
// until a single item remains.
#include "pst/ltp/bth_writer.h"

#include <algorithm>
#include <string>

#include "pst/base/coding.h"
#include "pst/ltp/bth.h"

namespace pst::ltp {
namespace {

constexpr uint8_t kBthType = 0xB5;
constexpr size_t kHeaderSize = 8;

size_t CeilDiv(size_t a, size_t b) { return (a + b - 1) / b; }

}  // namespace

BthWriter::BthWriter(HeapWriter* heap, uint8_t key_size, uint8_t entry_size)
    : heap_(heap), key_size_(key_size), entry_size_(entry_size) {}

Status BthWriter::CheckSizes() const {
  const bool key_ok = key_size_ == 2 || key_size_ == 4 || key_size_ == 8 || key_size_ == 16;
  if (!key_ok || entry_size_ < 1 || entry_size_ > 32) {
    return Status::InvalidArgument("BTH with " + std::to_string(key_size_) + "-byte keys and " +
                                   std::to_string(entry_size_) +
                                   "-byte records (keys 2, 4, 8 or 16, records 1 to 32 bytes)");
  }
  return Status::Ok();
}

Result<Hid> BthWriter::AllocateHeader() {
  PST_RETURN_IF_ERROR(CheckSizes());
  if (header_ == 0) {
    PST_ASSIGN_OR_RETURN(header_, heap_->Reserve(kHeaderSize));
  }
  return header_;
}

Status BthWriter::AllocateRecords(size_t count) {
  PST_RETURN_IF_ERROR(CheckSizes());
  if (records_allocated_) return Status::InvalidArgument("BTH records allocated twice");
  records_allocated_ = true;
  record_count_ = count;
  if (count == 0) return Status::Ok();

  // Items per level, leaves first, until one item (the root) remains.
  size_t items = count;
  size_t capacity = leaf_capacity();
  size_t entry = record_size();
  do {
    std::vector<Hid> level;
    const size_t n = CeilDiv(items, capacity);
    for (size_t i = 0; i < n; ++i) {
      const size_t in_item = std::min(capacity, items - i * capacity);
      PST_ASSIGN_OR_RETURN(Hid hid, heap_->Reserve(in_item * entry));
      level.push_back(hid);
    }
    levels_.push_back(std::move(level));
    items = n;
    capacity = index_capacity();
    entry = key_size_ + 4u;
  } while (items > 1);
  if (levels_.size() - 1 > Bth::kMaxIndexLevels) {
    return Status::InvalidArgument("BTH of " + std::to_string(count) + " records is too deep");
  }
  return Status::Ok();
}

Result<Hid> BthWriter::Write(ByteSpan records) {
  if (records_allocated_ && records.size() != record_count_ * record_size()) {
    return Status::InvalidArgument("BTH was given " + std::to_string(records.size() / record_size()) +
                                   " records after room for " + std::to_string(record_count_) +
                                   " was allocated");
  }
  PST_RETURN_IF_ERROR(Add(records));
  return Finish();
}

Status BthWriter::Add(ByteSpan records) {
  PST_RETURN_IF_ERROR(CheckSizes());
  if (finished_) return Status::InvalidArgument("BTH records added after Finish");
  const size_t size = record_size();
  if (records.size() % size != 0) {
    return Status::InvalidArgument("BTH records of " + std::to_string(records.size()) +
                                   " bytes are not whole " + std::to_string(size) +
                                   "-byte records");
  }
  PST_RETURN_IF_ERROR(StartRecords());
  const size_t leaf_bytes = leaf_capacity() * size;
  for (size_t at = 0; at < records.size(); at += size) {
    ByteSpan record = records.subspan(at, size);
    if (added_ > 0 && CompareBthKeys(ByteSpan(last_key_), record.first(key_size_)) >= 0) {
      return Status::InvalidArgument("BTH keys are not strictly ascending at record " +
                                     std::to_string(added_));
    }
    last_key_.assign(record.begin(), record.begin() + key_size_);
    leaf_.insert(leaf_.end(), record.begin(), record.end());
    ++added_;
    if (leaf_.size() == leaf_bytes) PST_RETURN_IF_ERROR(PutLeaf());
  }
  return Status::Ok();
}

Status BthWriter::StartRecords() {
  PST_RETURN_IF_ERROR(AllocateHeader().status());
  if (!adding_) {
    adding_ = true;
    reserved_ = records_allocated_;
    records_allocated_ = true;  // AllocateRecords may no longer be called
  }
  return Status::Ok();
}

Status BthWriter::PutItem(size_t level, size_t index, ByteSpan bytes) {
  // Items not reserved before are allocated as they are made, in the order
  // AllocateRecords would have reserved them: a big index is then not laid
  // out as zeros first, and a streaming heap can hand its pages on at once.
  if (reserved_) return heap_->Write(levels_[level][index], bytes);
  if (levels_.size() == level) levels_.emplace_back();
  PST_ASSIGN_OR_RETURN(Hid hid, heap_->Allocate(bytes));
  levels_[level].push_back(hid);
  return Status::Ok();
}

Status BthWriter::PutLeaf() {
  const size_t index = first_keys_.size();
  if (reserved_ && (levels_.empty() || index >= levels_[0].size())) {
    return Status::InvalidArgument("BTH was given more records than room was allocated for (" +
                                   std::to_string(record_count_) + ")");
  }
  first_keys_.emplace_back(leaf_.begin(), leaf_.begin() + key_size_);
  PST_RETURN_IF_ERROR(PutItem(0, index, leaf_));
  leaf_.clear();
  return Status::Ok();
}

Result<Hid> BthWriter::Finish() {
  PST_RETURN_IF_ERROR(CheckSizes());
  if (finished_) return Status::InvalidArgument("BTH finished twice");
  PST_RETURN_IF_ERROR(StartRecords());
  finished_ = true;
  if (!leaf_.empty()) PST_RETURN_IF_ERROR(PutLeaf());
  if (reserved_ && added_ != record_count_) {
    return Status::InvalidArgument("BTH was given " + std::to_string(added_) + " records after room for " +
                                   std::to_string(record_count_) + " was allocated");
  }
  record_count_ = added_;

  // First keys of the items of the level below, to index them.
  std::vector<Bytes> first_keys = std::move(first_keys_);
  for (size_t level = 1; first_keys.size() > 1; ++level) {
    if (level > Bth::kMaxIndexLevels) {
      return Status::InvalidArgument("BTH of " + std::to_string(added_) + " records is too deep");
    }
    std::vector<Bytes> next_keys;
    for (size_t child = 0, index = 0; child < first_keys.size(); ++index) {
      const size_t n = std::min(index_capacity(), first_keys.size() - child);
      Bytes bytes;
      bytes.reserve(n * (key_size_ + 4u));
      for (size_t end = child + n; child < end; ++child) {
        bytes.insert(bytes.end(), first_keys[child].begin(), first_keys[child].end());
        uint8_t h[4];
        EncodeFixed32(h, levels_[level - 1][child]);
        bytes.insert(bytes.end(), h, h + 4);
      }
      next_keys.emplace_back(bytes.begin(), bytes.begin() + key_size_);
      PST_RETURN_IF_ERROR(PutItem(level, index, bytes));
    }
    first_keys = std::move(next_keys);
  }

  Bytes header{kBthType, key_size_, entry_size_,
               static_cast<uint8_t>(levels_.empty() ? 0 : levels_.size() - 1), 0, 0, 0, 0};
  EncodeFixed32(header.data() + 4, levels_.empty() ? 0 : levels_.back().front());
  PST_RETURN_IF_ERROR(heap_->Write(header_, header));
  return header_;
}

}  // namespace pst::ltp
