#include "pst/ndb/identical_blocks.h"


namespace pst::ndb {

namespace {

// The finaliser of MurmurHash3: every input bit reaches every output bit,
// so the table's slot (the low bits) depends on all of the CRC and size.
uint64_t Avalanche(uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  return h ^ (h >> 33);
}

}  // namespace

// The block's CRC is needed for its trailer anyway, and the CRC runs on the
// processor's own instructions: keying by it costs nothing for bytes
// written as they are. A CRC spreads blocks as well as any hash here, and a
// collision only costs a comparison.
uint64_t IdenticalBlocks::KeyOf(uint32_t crc, size_t size) {
  return Avalanche(uint64_t{crc} << 32 | (size & 0xFFFFFFFFu));
}

Bid IdenticalBlocks::Candidate(uint64_t key) const {
  if (slots_.empty()) return 0;
  const Slot& s = slots_[key & (kSlots - 1)];
  return s.key == key ? s.bid : 0;
}

void IdenticalBlocks::Remember(uint64_t key, Bid bid) {
  if (slots_.empty()) slots_.resize(kSlots);
  slots_[key & (kSlots - 1)] = Slot{key, bid};
}

}  // namespace pst::ndb
