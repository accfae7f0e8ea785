// Subnode trees ([MS-PST] 2.2.2.8.3.3): a node's private B-tree of
// subnodes, made of internal blocks.
//
// SLBLOCK (leaf) / SIBLOCK (intermediate):
//   field      ANSI  Unicode  size
//   btype      0     0        1   0x02
//   cLevel     1     1        1   0 = SLBLOCK, 1 = SIBLOCK
//   cEnt       2     2        2
//   dwPadding  -     4        4
//   rgentries  4     8        cEnt entries
// SLENTRY: nid (4 / 8, only the low 32 bits count), bidData (4 / 8),
//          bidSub (4 / 8; 0 = the subnode has no subnodes)
// SIENTRY: nid (4 / 8) = first NID of the child, bid (4 / 8) of the child
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "pst/base/result.h"
#include "pst/ndb/database.h"

namespace pst::ndb {

class SubnodeTree {
 public:
  // A root cLevel above this is refused: the format defines 0 and 1.
  static constexpr uint8_t kMaxLevel = 3;

  // owner names the node in messages; root is its bidSub (not 0).
  SubnodeTree(const Database& db, Nid owner, Bid root) : db_(db), owner_(owner), root_(root) {}

  // NotFound if the tree has no such subnode.
  Result<SubnodeEntry> Find(Nid nid) const;

  // Every entry in ascending NID order; Corruption if the order is broken.
  Status ForEach(const std::function<Status(const SubnodeEntry&)>& fn) const;

 private:
  struct Block {
    Bid bid = 0;
    uint8_t level = 0;
    std::vector<SubnodeEntry> entries;  // SIENTRY: data_bid holds the child BID
  };
  Result<Block> Load(Bid bid, int expected_level) const;
  Status Walk(Bid bid, int expected_level, Nid& last, bool& any, std::unordered_set<Bid>& seen,
              const std::function<Status(const SubnodeEntry&)>& fn) const;
  std::string Where(Bid bid) const;

  const Database& db_;
  Nid owner_;
  Bid root_;
};

}  // namespace pst::ndb
