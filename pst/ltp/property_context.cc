// Property context reader ([MS-PST] 2.3.3).
//
// A heap with client signature 0xBC whose user root is a BTH with 2-byte
// keys (property id) and 6-byte records:
//   0  2  wPropType
//   2  4  dwValueHnid: the value itself for fixed types of up to 4 bytes
//         (low bytes), otherwise an HNID (heap item or subnode; 0 = empty)
#include "pst/ltp/property_context.h"

#include <algorithm>
#include <string>

#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/ltp/bth.h"
#include "pst/ltp/hnid.h"
#include "pst/ltp/value_check.h"

namespace pst::ltp {
namespace {

constexpr size_t kInlineLimit = 4;

std::string Where(const ndb::NodeData& node) {
  return "property context of node " + Hex(node.nid());
}

std::string WhereEntry(const ndb::NodeData& node, const PropertyContext::Entry& e) {
  return "property " + Hex(MakeTag(e.id, e.type)) + " of node " + Hex(node.nid());
}

bool IsInline(uint16_t type) {
  return KindOf(type) == ValueKind::kFixed && FixedSizeOf(type) <= kInlineLimit;
}

Bytes InlineValue(const PropertyContext::Entry& e) {
  uint8_t bytes[4];
  EncodeFixed32(bytes, e.hnid);
  return Bytes(bytes, bytes + FixedSizeOf(e.type));
}

}  // namespace

Result<PropertyContext> PropertyContext::Open(std::unique_ptr<ndb::NodeData> node) {
  if (!node) return Status::InvalidArgument("property context opened without a node");
  PropertyContext pc;
  pc.node_ = std::move(node);
  auto heap = Heap::Open(*pc.node_);
  if (!heap.ok()) return heap.status().WithContext(Where(*pc.node_));
  pc.heap_ = std::make_unique<Heap>(std::move(heap).value());
  if (pc.heap_->client_signature() != kHeapClientProperties) {
    return Status::Corruption(Where(*pc.node_) + ": heap client signature " +
                              Hex(pc.heap_->client_signature()) + " (expected 0xBC)");
  }
  PST_ASSIGN_OR_RETURN(Bth bth, Bth::Open(*pc.heap_, pc.heap_->user_root()));
  if (bth.key_size() != 2 || bth.entry_size() != 6) {
    return Status::Corruption(Where(*pc.node_) + ": BTH has " + std::to_string(bth.key_size()) +
                              "-byte keys and " + std::to_string(bth.entry_size()) +
                              "-byte records (expected 2 and 6)");
  }
  PST_RETURN_IF_ERROR(bth.ForEach([&](ByteSpan key, ByteSpan data) {
    Entry e;
    e.id = DecodeFixed16(key.data());
    e.type = DecodeFixed16(data.data());
    e.hnid = DecodeFixed32(data.data() + 2);
    pc.entries_.push_back(e);
    return Status::Ok();
  }));
  return pc;
}

const PropertyContext::Entry* PropertyContext::Find(uint16_t id) const {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), id,
                             [](const Entry& e, uint16_t v) { return e.id < v; });
  return (it != entries_.end() && it->id == id) ? &*it : nullptr;
}

Result<uint64_t> PropertyContext::ValueSize(const Entry& entry) const {
  if (KindOf(entry.type) == ValueKind::kUnsupported) {
    return Status::NotSupported(WhereEntry(*node_, entry) + ": type " + TypeName(entry.type) +
                                " is not supported");
  }
  if (IsInline(entry.type)) return uint64_t{FixedSizeOf(entry.type)};
  auto size = HnidValueSize(*heap_, entry.hnid);
  if (!size.ok()) return size.status().WithContext(WhereEntry(*node_, entry));
  return size;
}

bool PropertyContext::InSubnode(const Entry& entry) const {
  return !IsInline(entry.type) && entry.hnid != 0 && !IsHid(entry.hnid);
}

Result<Bytes> PropertyContext::ReadValue(const Entry& entry, size_t max_size) const {
  if (KindOf(entry.type) == ValueKind::kUnsupported) {
    return Status::NotSupported(WhereEntry(*node_, entry) + ": type " + TypeName(entry.type) +
                                " is not supported");
  }
  if (IsInline(entry.type)) return InlineValue(entry);
  auto value = ReadHnidValue(*heap_, entry.hnid, max_size);
  if (!value.ok()) return value.status().WithContext(WhereEntry(*node_, entry));
  if (value->size() > max_size) {
    return Status::NotSupported(WhereEntry(*node_, entry) + ": value of " +
                                std::to_string(value->size()) + " bytes is larger than " +
                                std::to_string(max_size));
  }
  Status check = CheckValue(entry.type, *value);
  if (!check.ok()) return check.WithContext(WhereEntry(*node_, entry));
  return value;
}

Result<std::unique_ptr<ValueStream>> PropertyContext::OpenValue(const Entry& entry) const {
  if (KindOf(entry.type) == ValueKind::kUnsupported) {
    return Status::NotSupported(WhereEntry(*node_, entry) + ": type " + TypeName(entry.type) +
                                " is not supported");
  }
  if (IsInline(entry.type)) return MakeMemoryValueStream(InlineValue(entry));
  auto stream = OpenHnidValue(*heap_, entry.hnid);
  if (!stream.ok()) return stream.status().WithContext(WhereEntry(*node_, entry));
  Status check = CheckValue(entry.type, **stream);
  if (!check.ok()) return check.WithContext(WhereEntry(*node_, entry));
  return stream;
}

Result<std::vector<PropValue>> PropertyContext::ReadAll(size_t max_size) const {
  std::vector<PropValue> values;
  values.reserve(entries_.size());
  for (const Entry& e : entries_) {
    PST_ASSIGN_OR_RETURN(Bytes data, ReadValue(e, max_size));
    values.push_back({MakeTag(e.id, e.type), std::move(data)});
  }
  return values;
}

}  // namespace pst::ltp
