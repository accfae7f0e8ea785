// Counting the true references to every block of a store: from NBT entries
// (bidData, bidSub), XBLOCK/XXBLOCK rgbid, SLENTRY bidData/bidSub and SIENTRY
// bid ([MS-PST] 2.2.2.7.7.3 cRef). An internal block's own references count
// once however many times it is itself referenced.
//
// Stores written by other programs do not always keep cRef at the true
// count (an empty table shared by hundreds of messages with cRef 2 has been
// seen); before such a block could be freed, the writer counts.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "pst/base/result.h"
#include "pst/ndb/database.h"

namespace pst::ndb {

class ReferenceCensus {
 public:
  static Result<ReferenceCensus> Take(const Database& db);

  // References to bid (bit 0 ignored); 0 for an unreferenced block.
  uint32_t Count(Bid bid) const;
  // False if some internal block could not be read: its children were not
  // counted, so counts may be too low.
  bool complete() const { return complete_; }

 private:
  std::vector<std::pair<Bid, uint32_t>> counts_;  // sorted by BID
  bool complete_ = true;
};

}  // namespace pst::ndb
