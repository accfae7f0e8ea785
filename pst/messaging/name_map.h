// The named-property map ([MS-PST] 2.4.7, node 0x61): property ids 0x8000 and
// up stand for (GUID, numeric id or string name) pairs, numbered per store.
//
// NAMEID record in the entry stream, 8 bytes:
//   offset size field
//   0      4    dwPropertyID: the LID, or the name's offset in the string stream
//   4      2    bit 0: 1 = string name; bits 1-15: wGuid (1 PS_MAPI,
//               2 PS_PUBLIC_STRINGS, >= 3 index into the GUID stream + 3)
//   6      2    wPropIdx: property id - 0x8000
// String stream: per name a 4-byte byte count, the UTF-16LE name, padding to 4.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "pst/base/bytes.h"
#include "pst/base/result.h"
#include "pst/ltp/property_context.h"

namespace pst::messaging {

using Guid = std::array<uint8_t, 16>;

// "{00062002-0000-0000-C000-000000000046}"
std::string FormatGuid(const Guid& guid);

extern const Guid kPsMapi;
extern const Guid kPsPublicStrings;

struct NamedProperty {
  Guid guid{};
  bool is_string = false;
  uint32_t lid = 0;    // numeric names
  Bytes name_utf16;    // string names, UTF-16LE without terminator

  std::string NameUtf8() const;
  bool operator==(const NamedProperty& other) const = default;
};

class NameMap {
 public:
  NameMap() = default;

  // Reads the map from the store's node 0x61 property context.
  static Result<NameMap> Read(const ltp::PropertyContext& map_pc);

  // A map holding exactly these names, entry k with property id 0x8000 + k.
  static NameMap FromEntries(std::vector<NamedProperty> entries);

  // The name behind a property id >= 0x8000, or nullptr.
  const NamedProperty* Find(uint16_t prop_id) const;
  // Entry k has property id 0x8000 + k.
  const std::vector<NamedProperty>& entries() const { return entries_; }

 private:
  std::vector<NamedProperty> entries_;
  std::vector<bool> present_;  // entries_[k] came from the entry stream
};

}  // namespace pst::messaging
