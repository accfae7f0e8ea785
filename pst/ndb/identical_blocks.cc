#include "pst/ndb/identical_blocks.h"

#include <cstring>

namespace pst::ndb {

namespace {

constexpr uint64_t kMul1 = 0x9E3779B97F4A7C15ull;
constexpr uint64_t kMul2 = 0xC2B2AE3D27D4EB4Full;

uint64_t Rotl(uint64_t v, int s) { return (v << s) | (v >> (64 - s)); }

// The finaliser of MurmurHash3: every input bit reaches every output bit.
uint64_t Avalanche(uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  return h ^ (h >> 33);
}

}  // namespace

uint64_t IdenticalBlocks::KeyOf(ByteSpan data) {
  // Four independent lanes of 8 bytes keep the multiplier busy; the key
  // only has to spread well, not resist an adversary (matches are verified).
  uint64_t lane[4] = {kMul1, kMul2, kMul1 ^ data.size(), kMul2 ^ data.size()};
  const uint8_t* p = data.data();
  size_t n = data.size();
  while (n >= 32) {
    for (int i = 0; i < 4; ++i) {
      uint64_t w;
      std::memcpy(&w, p + 8 * i, 8);
      lane[i] = Rotl(lane[i] ^ (w * kMul2), 31) * kMul1;
    }
    p += 32;
    n -= 32;
  }
  uint64_t tail = 0;
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    tail = Rotl(tail ^ (w * kMul2), 29) * kMul1;
    p += 8;
    n -= 8;
  }
  uint64_t last = 0;
  if (n > 0) std::memcpy(&last, p, n);
  tail = Rotl(tail ^ (last * kMul2), 27) * kMul1;
  uint64_t h = data.size();
  for (uint64_t l : lane) h = Rotl(h ^ l, 23) * kMul1;
  return Avalanche(h ^ tail);
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
