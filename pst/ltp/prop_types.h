// Property tags and types ([MS-OXCDATA] 2.11.1). A tag is (id << 16) | type.
#pragma once

#include <cstdint>
#include <string>

#include "pst/base/bytes.h"

namespace pst::ltp {

using PropTag = uint32_t;

enum PropType : uint16_t {
  kPtypUnspecified = 0x0000,
  kPtypNull = 0x0001,
  kPtypInteger16 = 0x0002,
  kPtypInteger32 = 0x0003,
  kPtypFloating32 = 0x0004,
  kPtypFloating64 = 0x0005,
  kPtypCurrency = 0x0006,
  kPtypFloatingTime = 0x0007,
  kPtypErrorCode = 0x000A,
  kPtypBoolean = 0x000B,
  kPtypObject = 0x000D,
  kPtypInteger64 = 0x0014,
  kPtypString8 = 0x001E,
  kPtypString = 0x001F,
  kPtypTime = 0x0040,
  kPtypGuid = 0x0048,
  kPtypServerId = 0x00FB,
  kPtypRestriction = 0x00FD,
  kPtypRuleAction = 0x00FE,
  kPtypBinary = 0x0102,
  kPtypMultipleFlag = 0x1000,
  kPtypMultipleInteger16 = 0x1002,
  kPtypMultipleInteger32 = 0x1003,
  kPtypMultipleFloating32 = 0x1004,
  kPtypMultipleFloating64 = 0x1005,
  kPtypMultipleCurrency = 0x1006,
  kPtypMultipleFloatingTime = 0x1007,
  kPtypMultipleInteger64 = 0x1014,
  kPtypMultipleString8 = 0x101E,
  kPtypMultipleString = 0x101F,
  kPtypMultipleTime = 0x1040,
  kPtypMultipleGuid = 0x1048,
  kPtypMultipleBinary = 0x1102,
};

constexpr uint16_t PropIdOf(PropTag tag) { return static_cast<uint16_t>(tag >> 16); }
constexpr uint16_t PropTypeOf(PropTag tag) { return static_cast<uint16_t>(tag & 0xFFFF); }
constexpr PropTag MakeTag(uint16_t id, uint16_t type) {
  return (static_cast<PropTag>(id) << 16) | type;
}

// Size of a fixed-size value of this type, or 0 for variable-size types
// (strings, binaries, objects, all multi-valued types).
size_t FixedSizeOf(uint16_t type);
bool IsMultiValued(uint16_t type);
bool IsKnownType(uint16_t type);
// "PtypString" etc., or "0x1234" for an unknown type.
std::string TypeName(uint16_t type);

// A property value as stored in the file: little-endian bytes, strings
// without terminator (UTF-16LE for PtypString, 8-bit for PtypString8),
// multi-valued variable types in their counted-offsets layout.
struct PropValue {
  PropTag tag = 0;
  Bytes data;
};

}  // namespace pst::ltp
