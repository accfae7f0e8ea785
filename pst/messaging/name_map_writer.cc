// Name map as written. Hash of a name, for its bucket (hash % 251):
//   numeric  LID ^ (wGuid << 1)
//   string   CRC-32 of the UTF-16LE name ^ ((wGuid << 1) | 1)
// A bucket record is the name's NAMEID with dwPropertyID = the LID or the
// string's CRC-32. Bucket i is property 0x1000 + i (Binary); empty buckets
// are left out. GUIDs take stream slots in order of first use; PS_MAPI and
// PS_PUBLIC_STRINGS are never stored (wGuid 1 and 2). String-stream entries
// are padded to 4 bytes with zeros.
//
// Large maps: the streams and buckets are ordinary property values, so the
// property context places them (value_writer.h): up to about 1 KB in the
// heap, larger ones in subnodes, and once the heap holds 32 KiB of values
// every further bucket goes to a subnode too. Without that budget a map of
// about 8,100 names (251 buckets of ~260 bytes, all in the heap) made a heap
// of nine or more 8 KB pages, which libpff (pffinfo, pypff) misreads:
// "libpff_name_to_id_map_read ... unsupported value type", with the bytes it
// took for a record's type found in heap page 8 (also when page 8 was
// written with a plain header instead of its bitmap header). The heap rules
// allow such heaps, and libpff reads Outlook's 18-page table heaps; but
// Outlook keeps every property context within one or two heap pages, so
// keeping ours small is what readers are known to take.
#include "pst/messaging/name_map_writer.h"

#include <algorithm>
#include <string>

#include "pst/base/coding.h"
#include "pst/base/crc32.h"
#include "pst/base/hex.h"
#include "pst/messaging/tags.h"

namespace pst::messaging {
namespace {

constexpr size_t kMaxNames = 0x7FFF;  // ids 0x8000-0xFFFE

void Append32(Bytes& b, uint32_t v) {
  uint8_t x[4];
  EncodeFixed32(x, v);
  b.insert(b.end(), x, x + 4);
}

void AppendRecord(Bytes& b, uint32_t property_id, uint16_t guid_and_kind, uint16_t index) {
  Append32(b, property_id);
  uint8_t x[4];
  EncodeFixed16(x, guid_and_kind);
  EncodeFixed16(x + 2, index);
  b.insert(b.end(), x, x + 4);
}

}  // namespace

Result<NameMapWriter> NameMapWriter::FromExisting(const NameMap& map) {
  NameMapWriter w;
  const auto& entries = map.entries();
  for (size_t k = 0; k < entries.size(); ++k) {
    if (!map.Find(static_cast<uint16_t>(0x8000 + k))) {
      return Status::Corruption("name-to-id map has no entry for property id " +
                                Hex(0x8000 + k) + " but has later ones");
    }
  }
  for (const NamedProperty& name : entries) {
    PST_RETURN_IF_ERROR(w.IdFor(name).status());
  }
  w.changed_ = false;
  return w;
}

Result<uint16_t> NameMapWriter::IdFor(const NamedProperty& name) {
  if (name.is_string) {
    auto it = string_index_.find({name.guid, name.name_utf16});
    if (it != string_index_.end()) return it->second;
  } else {
    auto it = numeric_index_.find({name.guid, name.lid});
    if (it != numeric_index_.end()) return it->second;
  }
  if (entries_.size() >= kMaxNames) {
    return Status::FormatLimit("the store's named-property map is full (32767 names)");
  }
  if (name.is_string && (name.name_utf16.empty() || name.name_utf16.size() % 2 != 0)) {
    return Status::InvalidArgument("a named property's string name is empty or not UTF-16");
  }
  const uint16_t id = static_cast<uint16_t>(0x8000 + entries_.size());
  entries_.push_back(name);
  if (name.guid != kPsMapi && name.guid != kPsPublicStrings &&
      std::find(guids_.begin(), guids_.end(), name.guid) == guids_.end()) {
    guids_.push_back(name.guid);
  }
  if (name.is_string) {
    string_index_[{name.guid, name.name_utf16}] = id;
  } else {
    numeric_index_[{name.guid, name.lid}] = id;
  }
  changed_ = true;
  return id;
}

uint16_t NameMapWriter::GuidIndexOf(const Guid& guid) const {
  if (guid == kPsMapi) return 1;
  if (guid == kPsPublicStrings) return 2;
  auto it = std::find(guids_.begin(), guids_.end(), guid);
  return static_cast<uint16_t>(3 + (it - guids_.begin()));
}

uint32_t NameMapWriter::BucketOf(const NamedProperty& name, uint16_t guid_index) {
  const uint32_t key = name.is_string ? PstCrc32(name.name_utf16) : name.lid;
  const uint32_t hash = key ^ ((uint32_t{guid_index} << 1) | (name.is_string ? 1u : 0u));
  return hash % kBucketCount;
}

Status NameMapWriter::WriteTo(ltp::PropertyContextBuilder& pc) const {
  Bytes guids, entries, strings;
  for (const Guid& g : guids_) guids.insert(guids.end(), g.begin(), g.end());
  std::map<uint32_t, Bytes> buckets;
  for (size_t k = 0; k < entries_.size(); ++k) {
    const NamedProperty& name = entries_[k];
    const uint16_t wguid = GuidIndexOf(name.guid);
    const uint16_t guid_and_kind = static_cast<uint16_t>((wguid << 1) | (name.is_string ? 1 : 0));
    uint32_t property_id = name.lid;
    uint32_t key = name.lid;
    if (name.is_string) {
      property_id = static_cast<uint32_t>(strings.size());
      Append32(strings, static_cast<uint32_t>(name.name_utf16.size()));
      strings.insert(strings.end(), name.name_utf16.begin(), name.name_utf16.end());
      strings.resize((strings.size() + 3) / 4 * 4, 0);
      key = PstCrc32(name.name_utf16);
    }
    AppendRecord(entries, property_id, guid_and_kind, static_cast<uint16_t>(k));
    AppendRecord(buckets[BucketOf(name, wguid)], key, guid_and_kind, static_cast<uint16_t>(k));
  }
  Bytes count(4);
  EncodeFixed32(count.data(), kBucketCount);
  PST_RETURN_IF_ERROR(pc.Set(ltp::MakeTag(kPidNameidBucketCount, ltp::kPtypInteger32), count));
  PST_RETURN_IF_ERROR(pc.Set(ltp::MakeTag(kPidNameidStreamGuid, ltp::kPtypBinary), guids));
  PST_RETURN_IF_ERROR(pc.Set(ltp::MakeTag(kPidNameidStreamEntry, ltp::kPtypBinary), entries));
  PST_RETURN_IF_ERROR(pc.Set(ltp::MakeTag(kPidNameidStreamString, ltp::kPtypBinary), strings));
  for (uint32_t b = 0; b < kBucketCount; ++b) {
    pc.Remove(static_cast<uint16_t>(kPidNameidBucketBase + b));
  }
  for (auto& [bucket, records] : buckets) {
    PST_RETURN_IF_ERROR(pc.Set(
        ltp::MakeTag(static_cast<uint16_t>(kPidNameidBucketBase + bucket), ltp::kPtypBinary),
        records));
  }
  return Status::Ok();
}

}  // namespace pst::messaging
