// Adding names to a store's named-property map ([MS-PST] 2.4.7) and writing
// the map back (node 0x61). See name_map.h for the records and streams.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "pst/base/result.h"
#include "pst/ltp/property_context_builder.h"
#include "pst/messaging/name_map.h"

namespace pst::messaging {

class NameMapWriter {
 public:
  static constexpr uint32_t kBucketCount = 251;

  // Starts from a store's map. Fails if the map has a gap (an id without an
  // entry followed by later entries): new ids would be ambiguous.
  static Result<NameMapWriter> FromExisting(const NameMap& map);

  // The property id of a name, adding the name when it is new.
  Result<uint16_t> IdFor(const NamedProperty& name);

  bool changed() const { return changed_; }
  const std::vector<NamedProperty>& entries() const { return entries_; }

  // Sets the map's properties in `pc`: bucket count, the three streams and
  // one property per non-empty bucket (other bucket properties removed).
  Status WriteTo(ltp::PropertyContextBuilder& pc) const;

  // The bucket of a name whose wGuid is guid_index.
  static uint32_t BucketOf(const NamedProperty& name, uint16_t guid_index);

 private:
  NameMapWriter() = default;
  uint16_t GuidIndexOf(const Guid& guid) const;

  std::vector<NamedProperty> entries_;
  std::vector<Guid> guids_;  // the GUID stream: GUIDs other than PS_MAPI/PS_PUBLIC_STRINGS
  std::map<std::pair<Guid, Bytes>, uint16_t> string_index_;
  std::map<std::pair<Guid, uint32_t>, uint16_t> numeric_index_;
  bool changed_ = false;
};

}  // namespace pst::messaging
