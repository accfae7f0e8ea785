#include "pst/messaging/name_map.h"

#include <algorithm>
#include <cstdio>

#include "pst/base/byte_reader.h"
#include "pst/base/hex.h"
#include "pst/messaging/tags.h"
#include "pst/messaging/text.h"

namespace pst::messaging {

const Guid kPsMapi = {0x28, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                      0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
const Guid kPsPublicStrings = {0x29, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                               0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

namespace {

// Named-property ids run from 0x8000 to 0xFFFE.
constexpr size_t kMaxEntries = 0x7FFF;

Result<Bytes> ReadStream(const ltp::PropertyContext& pc, uint16_t id) {
  const auto* entry = pc.Find(id);
  if (!entry) return Bytes();
  return pc.ReadValue(*entry, 16 * 1024 * 1024);
}

}  // namespace

std::string FormatGuid(const Guid& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                DecodeFixed32(g.data()), DecodeFixed16(g.data() + 4), DecodeFixed16(g.data() + 6),
                g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  return buf;
}

std::string NamedProperty::NameUtf8() const { return Utf16LeToUtf8(name_utf16); }

Result<NameMap> NameMap::Read(const ltp::PropertyContext& pc) {
  PST_ASSIGN_OR_RETURN(Bytes guids, ReadStream(pc, kPidNameidStreamGuid));
  PST_ASSIGN_OR_RETURN(Bytes entries, ReadStream(pc, kPidNameidStreamEntry));
  PST_ASSIGN_OR_RETURN(Bytes strings, ReadStream(pc, kPidNameidStreamString));
  if (guids.size() % 16 != 0) {
    return Status::Corruption("name-to-id map: GUID stream of " + std::to_string(guids.size()) +
                              " bytes is not a whole number of GUIDs");
  }
  if (entries.size() % 8 != 0) {
    return Status::Corruption("name-to-id map: entry stream of " + std::to_string(entries.size()) +
                              " bytes is not a whole number of entries");
  }
  const size_t guid_count = guids.size() / 16;
  NameMap map;
  ByteReader r(entries);
  const size_t count = entries.size() / 8;
  for (size_t k = 0; k < count; ++k) {
    const uint32_t property_id = r.U32();
    const uint16_t guid_field = r.U16();
    const uint16_t prop_index = r.U16();
    if (prop_index >= kMaxEntries) {
      return Status::Corruption("name-to-id map: entry " + std::to_string(k) + " has property index " +
                                Hex(prop_index) + ", beyond the named range");
    }
    NamedProperty named;
    named.is_string = (guid_field & 1) != 0;
    const uint16_t guid_index = guid_field >> 1;
    if (guid_index == 1) {
      named.guid = kPsMapi;
    } else if (guid_index == 2) {
      named.guid = kPsPublicStrings;
    } else if (guid_index >= 3) {
      if (guid_index - 3u >= guid_count) {
        return Status::Corruption("name-to-id map: entry " + std::to_string(k) + " names GUID " +
                                  std::to_string(guid_index - 3) + " of " + std::to_string(guid_count));
      }
      std::copy_n(guids.begin() + 16 * (guid_index - 3), 16, named.guid.begin());
    }
    if (named.is_string) {
      ByteReader s(strings);
      if (!s.Seek(property_id)) {
        return Status::Corruption("name-to-id map: entry " + std::to_string(k) + " string offset " +
                                  Hex(property_id) + " is past the string stream");
      }
      const uint32_t length = s.U32();
      ByteSpan name = s.Span(length);
      if (!s.ok()) {
        return Status::Corruption("name-to-id map: entry " + std::to_string(k) + " string of " +
                                  std::to_string(length) + " bytes runs past the string stream");
      }
      named.name_utf16.assign(name.begin(), name.end());
    } else {
      named.lid = property_id;
    }
    if (prop_index >= map.entries_.size()) {
      map.entries_.resize(prop_index + 1u);
      map.present_.resize(prop_index + 1u, false);
    }
    map.entries_[prop_index] = std::move(named);
    map.present_[prop_index] = true;
  }
  return map;
}

NameMap NameMap::FromEntries(std::vector<NamedProperty> entries) {
  NameMap map;
  map.present_.assign(entries.size(), true);
  map.entries_ = std::move(entries);
  return map;
}

const NamedProperty* NameMap::Find(uint16_t prop_id) const {
  if (prop_id < 0x8000) return nullptr;
  const size_t index = prop_id - 0x8000u;
  if (index >= entries_.size() || !present_[index]) return nullptr;
  return &entries_[index];
}

}  // namespace pst::messaging
