// Property context as written ([MS-PST] 2.3.3): a heap with client
// signature 0xBC whose user root is a BTH of 2-byte keys and 6-byte records.
//
//   record  0  2  wPropId (key)
//           2  2  wPropType
//           4  4  dwValueHnid
//
// Heap order as Outlook writes it: the BTHHEADER first (HID 0x20), then the
// record array (0x40), then the values in property-id order.
//
// Where a value goes:
//   fixed, up to 4 bytes (I16, I32, Float32, ErrorCode, Boolean)
//                        inline in dwValueHnid, low bytes, rest zero
//   fixed, 8 or 16 bytes a heap item
//   PtypObject           an 8-byte heap item {nid, size}
//   variable             hnid 0 when empty; a heap item up to about 1 KB
//                        while the heap holds under 32 KiB of values;
//                        else a subnode of type 0x1F
#include "pst/ltp/property_context_builder.h"

#include <memory>
#include <set>
#include <string>

#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/ltp/bth_writer.h"
#include "pst/ltp/heap_writer.h"
#include "pst/ltp/value_check.h"

namespace pst::ltp {
namespace {

constexpr size_t kRecordSize = 8;

std::string NameOf(PropTag tag) { return "property " + Hex(tag); }

Status CheckType(PropTag tag) {
  if (KindOf(PropTypeOf(tag)) == ValueKind::kUnsupported) {
    return Status::InvalidArgument(NameOf(tag) + ": type " + TypeName(PropTypeOf(tag)) +
                                   " cannot be stored");
  }
  return Status::Ok();
}

Status AsArgumentError(Status s, PropTag tag) {
  if (s.ok()) return s;
  return Status::InvalidArgument(NameOf(tag) + ": " + s.message());
}

bool IsInline(uint16_t type) {
  return KindOf(type) == ValueKind::kFixed && FixedSizeOf(type) <= 4;
}

}  // namespace

PropertyContextBuilder::PropertyContextBuilder(ndb::Format format) : format_(format) {}

Result<PropertyContextBuilder> PropertyContextBuilder::FromExisting(ndb::Format format,
                                                                    const PropertyContext& pc,
                                                                    size_t max_in_memory) {
  PropertyContextBuilder b(format);
  for (const PropertyContext::Entry& e : pc.entries()) {
    const PropTag tag = MakeTag(e.id, e.type);
    PST_ASSIGN_OR_RETURN(uint64_t size, pc.ValueSize(e));
    if (size <= max_in_memory || KindOf(e.type) == ValueKind::kFixed) {
      PST_ASSIGN_OR_RETURN(Bytes value, pc.ReadValue(e, max_in_memory));
      PST_RETURN_IF_ERROR(b.Set(tag, std::move(value)));
      continue;
    }
    PST_ASSIGN_OR_RETURN(std::unique_ptr<ValueStream> stream, pc.OpenValue(e));
    std::shared_ptr<ValueStream> shared(std::move(stream));
    PST_RETURN_IF_ERROR(b.SetStream(tag, size, [shared](uint64_t offset, std::span<uint8_t> out) {
      return shared->Read(offset, out);
    }));
  }
  return b;
}

Status PropertyContextBuilder::Set(PropTag tag, Bytes value) {
  PST_RETURN_IF_ERROR(CheckType(tag));
  PST_RETURN_IF_ERROR(AsArgumentError(CheckValue(PropTypeOf(tag), value), tag));
  Value v;
  v.type = PropTypeOf(tag);
  v.data = std::move(value);
  values_[PropIdOf(tag)] = std::move(v);
  return Status::Ok();
}

Status PropertyContextBuilder::SetStream(PropTag tag, uint64_t size, ndb::StreamSource source,
                                         ndb::StoredStreamSource stored) {
  PST_RETURN_IF_ERROR(CheckType(tag));
  const uint16_t type = PropTypeOf(tag);
  if (KindOf(type) != ValueKind::kVariable || type == kPtypObject) {
    return Status::InvalidArgument(NameOf(tag) + ": only variable-size values can be streamed");
  }
  PST_RETURN_IF_ERROR(AsArgumentError(CheckValueSize(type, size), tag));
  if (!source) return Status::InvalidArgument(NameOf(tag) + ": no source for the value");
  Value v;
  v.type = type;
  v.streamed = true;
  v.stream_size = size;
  v.source = std::move(source);
  v.stored = std::move(stored);
  values_[PropIdOf(tag)] = std::move(v);
  return Status::Ok();
}

bool PropertyContextBuilder::Remove(uint16_t id) { return values_.erase(id) != 0; }

const Bytes* PropertyContextBuilder::Find(uint16_t id) const {
  auto it = values_.find(id);
  return it == values_.end() || it->second.streamed ? nullptr : &it->second.data;
}

Status PropertyContextBuilder::AddSubnode(const ndb::SubnodeEntry& entry) {
  if (entry.nid == 0 || ndb::NidTypeOf(entry.nid) == ndb::kNidTypeHid) {
    return Status::InvalidArgument("subnode NID " + Hex(entry.nid) + " has type 0 (a heap id)");
  }
  for (const ndb::SubnodeEntry& e : extra_subnodes_) {
    if (e.nid == entry.nid) {
      return Status::InvalidArgument("subnode " + Hex(entry.nid) + " added twice");
    }
  }
  extra_subnodes_.push_back(entry);
  return Status::Ok();
}

Status PropertyContextBuilder::CheckObjects() const {
  std::set<ndb::Nid> nids;
  for (const ndb::SubnodeEntry& e : extra_subnodes_) nids.insert(e.nid);
  for (const auto& [id, v] : values_) {
    if (v.type != kPtypObject) continue;
    const ndb::Nid nid = DecodeFixed32(v.data.data());
    if (nids.count(nid) == 0) {
      return Status::InvalidArgument(NameOf(MakeTag(id, v.type)) + " names subnode " + Hex(nid) +
                                     ", which was not added");
    }
  }
  return Status::Ok();
}

Result<uint32_t> PropertyContextBuilder::PlaceValue(const Value& v, HeapWriter& heap,
                                                    ValueWriter& values) const {
  if (IsInline(v.type)) {
    uint8_t slot[4] = {0, 0, 0, 0};
    std::copy(v.data.begin(), v.data.end(), slot);
    return DecodeFixed32(slot);
  }
  if (KindOf(v.type) == ValueKind::kFixed || v.type == kPtypObject) {
    return heap.Allocate(v.data);
  }
  if (v.streamed) return values.PlaceStream(v.stream_size, v.source, v.stored);
  return values.Place(v.data);
}

Result<WrittenNode> PropertyContextBuilder::Write(ndb::BlockWriter& writer) {
  if (format_ != writer.format()) {
    return Status::InvalidArgument("property context built for another format than the store's");
  }
  if (format_ == ndb::Format::kUnicode4k) {
    return Status::NotSupported("writing property contexts in 4K-page stores");
  }
  PST_RETURN_IF_ERROR(CheckObjects());

  HeapWriter heap(kHeapClientProperties, format_);
  BthWriter bth(&heap, 2, 6);
  PST_ASSIGN_OR_RETURN(Hid root, bth.AllocateHeader());
  heap.set_user_root(root);
  PST_RETURN_IF_ERROR(bth.AllocateRecords(values_.size()));

  ValueWriter placed(&writer, &heap, heap_limit_, kPropertyHeapValueBudget);
  Bytes records;
  records.reserve(values_.size() * kRecordSize);
  for (const auto& [id, v] : values_) {
    auto hnid = PlaceValue(v, heap, placed);
    if (!hnid.ok()) return hnid.status().WithContext(NameOf(MakeTag(id, v.type)));
    uint8_t record[kRecordSize];
    EncodeFixed16(record, id);
    EncodeFixed16(record + 2, v.type);
    EncodeFixed32(record + 4, *hnid);
    records.insert(records.end(), record, record + kRecordSize);
  }
  PST_RETURN_IF_ERROR(bth.Write(records).status());

  PST_ASSIGN_OR_RETURN(ndb::Bid data_bid, writer.WriteBlocks(heap.Finish()));
  std::vector<ndb::SubnodeEntry> own = placed.Take();
  std::vector<ndb::SubnodeEntry> all = own;
  all.insert(all.end(), extra_subnodes_.begin(), extra_subnodes_.end());
  auto subnode_bid = writer.WriteSubnodeTree(all);
  if (!subnode_bid.ok()) {
    (void)writer.Release(data_bid);
    (void)ReleaseSubnodes(writer, own);
    return subnode_bid.status();
  }
  extra_subnodes_.clear();
  return WrittenNode{data_bid, *subnode_bid};
}

}  // namespace pst::ltp
