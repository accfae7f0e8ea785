// Human-readable rendering of stored property values, for `dump`.
#pragma once

#include <cstdint>
#include <string>

#include "pst/base/bytes.h"
#include "pst/ltp/prop_types.h"
#include "pst/messaging/name_map.h"

namespace quillmar::cli {

// Renders a complete stored value of the given type. Strings come out as
// UTF-8 in quotes; binary as hex (long values shortened).
std::string FormatValue(uint16_t type, pst::ByteSpan data, uint32_t codepage);

// "0x0037001F PtypString" plus, for named properties, the GUID and name.
std::string FormatTag(pst::ltp::PropTag tag, const pst::messaging::NameMap* names);

std::string HexBytes(pst::ByteSpan data, size_t max_bytes);

}  // namespace quillmar::cli
