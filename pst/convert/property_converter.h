// Converts stored property values from one store's format to another's:
//  - PtypString8 <-> PtypString (and their multi-valued forms), decoding and
//    encoding with the object's code page through ICU; characters the target
//    code page lacks are replaced and counted;
//  - named properties (ids 0x8000 and up) get the id the target store's
//    name-to-id map gives their (GUID, name or LID);
//  - every other value is copied byte for byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "pst/base/result.h"
#include "pst/ltp/prop_types.h"
#include "pst/messaging/name_map.h"

namespace pst::convert {

// Gives the target store's property id for a named property, adding the
// name to the target's map when it is new.
class NamedPropertyMapper {
 public:
  virtual ~NamedPropertyMapper() = default;
  virtual Result<uint16_t> TargetId(const messaging::NamedProperty& name) = 0;
};

struct ConversionCounters {
  uint64_t strings_converted = 0;
  uint64_t characters_replaced = 0;  // lost to the target code page
  uint64_t named_properties_mapped = 0;
};

class PropertyConverter {
 public:
  // unicode_target: whether the target store is Unicode (strings become
  // PtypString) or ANSI (strings become PtypString8).
  PropertyConverter(bool unicode_target, const messaging::NameMap* source_names,
                    NamedPropertyMapper* target_names, ConversionCounters* counters);

  // The tag the value gets in the target store (string type and named id),
  // or NotFound for a named property the source map does not know.
  Result<ltp::PropTag> TargetTag(ltp::PropTag source_tag);

  // Converts a complete stored value of source_tag's type with codepage
  // (the 8-bit strings' code page, source or target side).
  Result<Bytes> ConvertValue(ltp::PropTag source_tag, ByteSpan value, uint32_t codepage);

  // True when the value's bytes change between the formats (strings); other
  // values may be streamed through unchanged.
  bool NeedsValueConversion(ltp::PropTag source_tag) const;

 private:
  Result<Bytes> ConvertString(uint16_t source_type, ByteSpan value, uint32_t codepage);
  Result<Bytes> ConvertMultiString(uint16_t source_type, ByteSpan value, uint32_t codepage);

  bool unicode_target_;
  const messaging::NameMap* source_names_;
  NamedPropertyMapper* target_names_;
  ConversionCounters* counters_;
};

}  // namespace pst::convert
