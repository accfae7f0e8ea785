// Whole zlib streams ([RFC 1950]) decompressed in one call: the blocks of
// the 4K variant are each one stream.
#pragma once

#include <span>

#include "pst/base/bytes.h"

namespace pst {

// Decompresses the zlib stream `in` into `out`. True only if the stream is
// whole and sound (its Adler-32 included) and fills `out` exactly.
bool InflateZlib(ByteSpan in, std::span<uint8_t> out);

}  // namespace pst
