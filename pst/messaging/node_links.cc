#include "pst/messaging/node_links.h"

#include <algorithm>

namespace pst::messaging {
namespace {

bool Indexed(ndb::Nid nid) {
  switch (ndb::NidTypeOf(nid)) {
    case ndb::kNidTypeNormalFolder:
    case ndb::kNidTypeSearchFolder:
    case ndb::kNidTypeNormalMessage:
    case ndb::kNidTypeAssocMessage:
      return true;
    default:
      return false;
  }
}

}  // namespace

Result<NodeLinks> NodeLinks::Build(const ndb::Database& db, const std::function<bool(const Link&)>& keep) {
  NodeLinks out;
  Status s = db.ForEachNode([&](const ndb::NodeEntry& e) -> Status {
    if (!Indexed(e.nid)) return Status::Ok();
    const Link link{e.nid, e.parent_nid};
    if (keep && !keep(link)) return Status::Ok();
    if (out.links_.size() >= kMaxNodes) return Status::Cancelled("node index full");
    out.links_.push_back(link);
    return Status::Ok();
  });
  if (!s.ok() && s.code() != Status::Code::kCancelled) return s.WithContext("parent links of the node B-tree");
  // The walk is in key order already; sorting guards a tree that is not.
  if (!std::is_sorted(out.links_.begin(), out.links_.end(),
                      [](const Link& a, const Link& b) { return a.nid < b.nid; })) {
    std::sort(out.links_.begin(), out.links_.end(), [](const Link& a, const Link& b) { return a.nid < b.nid; });
  }
  out.by_parent_ = out.links_;
  std::sort(out.by_parent_.begin(), out.by_parent_.end(), [](const Link& a, const Link& b) {
    return a.parent != b.parent ? a.parent < b.parent : a.nid < b.nid;
  });
  return out;
}

std::vector<ndb::Nid> NodeLinks::ChildrenOf(ndb::Nid parent, uint8_t nid_type) const {
  std::vector<ndb::Nid> out;
  auto it = std::lower_bound(by_parent_.begin(), by_parent_.end(), parent,
                             [](const Link& l, ndb::Nid p) { return l.parent < p; });
  for (; it != by_parent_.end() && it->parent == parent; ++it) {
    if (it->nid != parent && ndb::NidTypeOf(it->nid) == nid_type) out.push_back(it->nid);
  }
  return out;
}

std::optional<ndb::Nid> NodeLinks::ParentOf(ndb::Nid nid) const {
  auto it = std::lower_bound(links_.begin(), links_.end(), nid,
                             [](const Link& l, ndb::Nid n) { return l.nid < n; });
  if (it == links_.end() || it->nid != nid) return std::nullopt;
  return it->parent;
}

}  // namespace pst::messaging
