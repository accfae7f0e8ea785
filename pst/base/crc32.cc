#include "pst/base/crc32.h"

#include <zlib.h>

namespace pst {

// zlib computes ~update(~crc, data); the PST variant is update(crc, data)
// with no inversions, so invert on the way in and out.
uint32_t PstCrc32(ByteSpan data, uint32_t crc) {
  uLong c = ~crc & 0xFFFFFFFFu;
  const uint8_t* p = data.data();
  size_t n = data.size();
  while (n > 0) {
    const uInt chunk = n > 0x40000000u ? 0x40000000u : static_cast<uInt>(n);
    c = crc32(c, p, chunk);
    p += chunk;
    n -= chunk;
  }
  return ~static_cast<uint32_t>(c);
}

}  // namespace pst
