// Encoding of data-block bytes ([MS-PST] 5.1 permutative, 5.2 cyclic).
//
// The 768-byte table holds three 256-byte substitutions:
//   offset 0x000  R  encodes (permute)
//   offset 0x100  S  self-inverse, used by the cyclic method only
//   offset 0x200  I  decodes (I = R^-1)
// Only data blocks are encoded; internal blocks, pages and the header never.
#pragma once

#include <cstdint>
#include <span>

#include "pst/base/status.h"
#include "pst/ndb/types.h"

namespace pst::ndb {

// The three tables back to back, as stored in the format's description.
extern const uint8_t kCryptTable[768];

void PermuteEncode(std::span<uint8_t> data);
void PermuteDecode(std::span<uint8_t> data);
// The plain one-byte-at-a-time substitution, which the two above must match
// whatever the processor lets them use.
void PermuteBytewiseForTesting(bool encode, std::span<uint8_t> data);

// The cyclic method is its own inverse; key = low 32 bits of the block's BID.
void CyclicCode(std::span<uint8_t> data, uint32_t key);

// Decodes (or encodes) a data block in place per the store's method.
// NotSupported for methods this engine does not handle (e.g. 0x10).
Status DecodeBlockData(CryptMethod method, Bid bid, std::span<uint8_t> data);
Status EncodeBlockData(CryptMethod method, Bid bid, std::span<uint8_t> data);

// Whether a block's stored bytes stay valid wherever they are moved: true
// for no encoding and for the permutation, which maps each byte alone;
// false for the cyclic method, which keys on the BID. Stored bytes can then
// be copied between stores (and re-cut to other block sizes) as they are.
inline bool StoredBytesMoveUnchanged(CryptMethod method) {
  return method == CryptMethod::kNone || method == CryptMethod::kPermute;
}

}  // namespace pst::ndb
