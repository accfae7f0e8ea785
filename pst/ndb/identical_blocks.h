// Data blocks written this session, by content, so that a block whose bytes
// were written before is shared (one more reference) instead of written
// again: the same body in many messages, the same attachment twice, a
// source's single-instance blocks once converted. Outlook shares blocks the
// same way; cRef counts the sharers.
//
// Only data blocks are shared here. An internal block takes over its
// children's references, so sharing one would have to give those back.
//
// The index is a fixed-size, direct-mapped table of content keys: memory
// stays flat however big the store, and an entry a later block pushes out
// only costs a missed share. A key is a hint, never proof: a candidate is
// read back and compared byte for byte before it is shared, so a stale
// entry (a block freed, or its BID reused after an abandoned transaction)
// or a hash collision can only cause a miss.
#pragma once

#include <cstdint>
#include <vector>

#include "pst/base/bytes.h"
#include "pst/ndb/types.h"

namespace pst::ndb {

class IdenticalBlocks {
 public:
  static constexpr size_t kSlots = size_t{1} << 16;  // 1 MiB of table

  // A 64-bit key of a block's bytes from their CRC (PstCrc32) and size.
  static uint64_t KeyOf(uint32_t crc, size_t size);

  // The block last remembered under `key`, or 0.
  Bid Candidate(uint64_t key) const;
  void Remember(uint64_t key, Bid bid);

 private:
  struct Slot {
    uint64_t key = 0;
    Bid bid = 0;
  };
  std::vector<Slot> slots_;  // allocated on first use
};

}  // namespace pst::ndb
