// NodeLinks: the folders and messages of a store as the parent links of the
// node B-tree give them (NBTENTRY nidParent). Tables list a folder's
// children for everyday reading; when a table is damaged, or an object is
// reached by no table at all, these links still say where it belongs.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "pst/base/result.h"
#include "pst/ndb/database.h"

namespace pst::messaging {

class NodeLinks {
 public:
  // Nodes indexed at most; a node B-tree with more is indexed that far (a
  // store of this many objects is far beyond any real one).
  static constexpr size_t kMaxNodes = 8 << 20;

  struct Link {
    ndb::Nid nid = 0;
    ndb::Nid parent = 0;
  };

  // Walks the node B-tree once, keeping folders and messages (normal and
  // FAI), or only those `keep` accepts. A damaged part of the tree ends the
  // walk there unless the database reads through damage (then only that
  // part is missed).
  static Result<NodeLinks> Build(const ndb::Database& db, const std::function<bool(const Link&)>& keep = nullptr);
  // Ascending by nid.
  const std::vector<Link>& links() const { return links_; }

  // The nodes of type `nid_type` whose parent is `parent`, in NID order;
  // never `parent` itself (the root folder is its own parent).
  std::vector<ndb::Nid> ChildrenOf(ndb::Nid parent, uint8_t nid_type) const;
  std::optional<ndb::Nid> ParentOf(ndb::Nid nid) const;

 private:
  std::vector<Link> links_;
  std::vector<Link> by_parent_;  // the same, ascending by (parent, nid)
};

}  // namespace pst::messaging
