// How property values of each type are stored, and checks of a stored
// value's size and layout against its type.
#pragma once

#include <cstdint>

#include "pst/base/bytes.h"
#include "pst/base/status.h"
#include "pst/ltp/value_stream.h"

namespace pst::ltp {

enum class ValueKind {
  kFixed,        // FixedSizeOf(type) bytes: I16, I32, I64, Boolean, Time, Guid, ...
  kVariable,     // any size: strings, binaries, objects, multi-valued types
  kUnsupported,  // PtypNull, PtypUnspecified and types this engine does not know
};

ValueKind KindOf(uint16_t type);

// Checks what the size alone can tell: fixed sizes, UTF-16 strings of whole
// code units, multi-valued arrays of whole elements, 8-byte object items.
Status CheckValueSize(uint16_t type, uint64_t size);

// CheckValueSize plus the layout of variable multi-valued values (count,
// then offsets that ascend within the value). Reads the value in bounded
// pieces, so it works on streams of any size.
Status CheckValue(uint16_t type, const ValueStream& value);
Status CheckValue(uint16_t type, ByteSpan value);

}  // namespace pst::ltp
