#include "pst/ndb/reference_census.h"

#include <algorithm>
#include <unordered_set>

#include "pst/ndb/data_tree_writer.h"

namespace pst::ndb {

Result<ReferenceCensus> ReferenceCensus::Take(const Database& db) {
  ReferenceCensus census;
  std::vector<Bid> refs;
  std::unordered_set<Bid> expanded;
  std::vector<Bid> todo;
  auto add = [&](Bid b) {
    if (b == 0) return;
    b &= ~Bid{1};
    refs.push_back(b);
    if (IsInternalBid(b) && expanded.insert(b).second) todo.push_back(b);
  };
  PST_RETURN_IF_ERROR(db.ForEachNode([&](const NodeEntry& e) {
    add(e.data_bid);
    add(e.subnode_bid);
    return Status::Ok();
  }));
  // Each internal block is read once (`expanded`), so loops and sharing in
  // a damaged store end.
  while (!todo.empty()) {
    const Bid b = todo.back();
    todo.pop_back();
    auto data = db.ReadBlock(b);
    if (!data.ok()) {
      census.complete_ = false;
      continue;
    }
    auto children = ChildrenOfBlock(db.format(), b, *data);
    if (!children.ok()) {
      census.complete_ = false;
      continue;
    }
    for (Bid c : *children) add(c);
  }
  std::sort(refs.begin(), refs.end());
  for (size_t i = 0; i < refs.size();) {
    size_t j = i;
    while (j < refs.size() && refs[j] == refs[i]) ++j;
    census.counts_.emplace_back(refs[i], static_cast<uint32_t>(j - i));
    i = j;
  }
  return census;
}

uint32_t ReferenceCensus::Count(Bid bid) const {
  bid &= ~Bid{1};
  auto it = std::lower_bound(counts_.begin(), counts_.end(), bid,
                             [](const std::pair<Bid, uint32_t>& p, Bid b) { return p.first < b; });
  return it != counts_.end() && it->first == bid ? it->second : 0;
}

}  // namespace pst::ndb
