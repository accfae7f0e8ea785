// The CRC-32 of [MS-PST] 5.3: the reflected 0xEDB88320 polynomial (zlib's
// table) but starting from 0 and with no final XOR. Used for header, page and
// block checksums, the store password and named-property string hashes.
#pragma once

#include <cstdint>

#include "pst/base/bytes.h"

namespace pst {

// Continues a running CRC; start with crc = 0.
uint32_t PstCrc32(ByteSpan data, uint32_t crc = 0);

}  // namespace pst
