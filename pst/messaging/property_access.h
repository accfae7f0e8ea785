// Typed reading of property values from a property context or a table row.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "pst/base/bytes.h"
#include "pst/base/result.h"
#include "pst/ltp/property_context.h"
#include "pst/ltp/prop_types.h"

namespace pst::messaging {

// Each returns nullopt when the property is absent, an error when it is
// present but of a size that its type does not allow.
Result<std::optional<int32_t>> GetInt32(const ltp::PropertyContext& pc, uint16_t id);
Result<std::optional<bool>> GetBool(const ltp::PropertyContext& pc, uint16_t id);
Result<std::optional<Bytes>> GetBinary(const ltp::PropertyContext& pc, uint16_t id);
// PtypString or PtypString8 (decoded with codepage) as UTF-8.
Result<std::optional<std::string>> GetString(const ltp::PropertyContext& pc, uint16_t id,
                                             uint32_t codepage);

// A stored string value of either type as UTF-8.
Result<std::string> DecodeStringValue(uint16_t type, ByteSpan data, uint32_t codepage);

// The code page for an object's 8-bit strings: PidTagMessageCodepage, else
// PidTagInternetCodepage, else the fallback. An Internet code page counts as
// the Windows code page of its script (ISO-2022-JP as 932, ISO-8859-1 as
// 1252); a Unicode one (UTF-8) says nothing about 8-bit strings.
uint32_t CodepageOf(const ltp::PropertyContext& pc, uint32_t fallback);

}  // namespace pst::messaging
