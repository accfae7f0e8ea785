// Reference pass: the shape of every node's data tree and subnode tree
// ([MS-PST] 2.2.2.8.3), the reference count (cRef) of every block, and the
// header counters a writer allocates from.
//
// References counted for a block: NBTENTRY bidData and bidSub, XBLOCK /
// XXBLOCK rgbid, SLENTRY bidData and bidSub, SIENTRY bid — from every node
// and every internal block the BBT lists. Outlook stores cRef = references
// + 1 (a block referenced once has cRef 2). The rule applied here:
//   cRef < references        error: a writer that frees a block when its
//                            count drops would free it while still in use
//   cRef = references        warning: enough for plain counting, one less
//                            than Outlook keeps
//   cRef = references + 1    as Outlook writes it
//   cRef > references + 1    warning: the block can never be freed
// A block that no node reaches is a leak (warning), whatever its cRef.
#include <algorithm>
#include <string>
#include <unordered_set>

#include "pst/base/hex.h"
#include "pst/check/context.h"

namespace pst::check {
namespace {

// Nested subnode trees (an embedded message inside an attachment inside a
// message ...) deeper than this are refused.
constexpr int kMaxSubnodeDepth = 32;

class TreeChecker {
 public:
  explicit TreeChecker(Context& ctx) : ctx_(ctx) {}

  // A node's data tree: one data block, an XBLOCK or an XXBLOCK.
  void DataTree(ndb::Bid bid, const std::string& owner) {
    BlockRecord* root = ctx_.FindBlock(bid);
    if (root == nullptr) return;  // reported with the references
    root->reachable = true;
    if (!data_done_.insert(bid).second) return;
    switch (root->kind) {
      case BlockKind::kData:
        return;
      case BlockKind::kXBlock:
      case BlockKind::kXXBlock:
        XBlock(*root, owner);
        return;
      case BlockKind::kSLBlock:
      case BlockKind::kSIBlock:
        ctx_.findings.Error(owner, "data tree " + Hex(bid) + " is a " + KindName(root->kind) +
                                       ", not a data block or XBLOCK");
        return;
      default:
        return;  // unreadable: reported by the block pass
    }
  }

  // A subnode tree: an SLBLOCK or an SIBLOCK over SLBLOCKs.
  void SubnodeTree(ndb::Bid bid, const std::string& owner, int depth) {
    BlockRecord* root = ctx_.FindBlock(bid);
    if (root == nullptr) return;
    root->reachable = true;
    if (depth > kMaxSubnodeDepth) {
      ctx_.findings.Error(owner, "subnode trees nest deeper than " +
                                     std::to_string(kMaxSubnodeDepth) + " levels");
      return;
    }
    if (in_progress_.count(bid)) {
      ctx_.findings.Error(owner, "subnode tree " + Hex(bid) + " contains itself");
      return;
    }
    if (!sub_done_.insert(bid).second) return;
    in_progress_.insert(bid);
    if (root->kind == BlockKind::kSLBlock) {
      ndb::Nid last = 0;
      bool any = false;
      SubnodeLeaf(*root, owner, depth, last, any);
    } else if (root->kind == BlockKind::kSIBlock) {
      SubnodeIndex(*root, owner, depth);
    } else if (root->kind == BlockKind::kData || root->kind == BlockKind::kXBlock ||
               root->kind == BlockKind::kXXBlock) {
      ctx_.findings.Error(owner, "subnode tree " + Hex(bid) + " is a " + KindName(root->kind) +
                                     ", not an SLBLOCK or SIBLOCK");
    }
    in_progress_.erase(bid);
  }

 private:
  void XBlock(BlockRecord& x, const std::string& owner) {
    const bool is_x = x.kind == BlockKind::kXBlock;
    const BlockKind want = is_x ? BlockKind::kData : BlockKind::kXBlock;
    const uint32_t max_data = ctx_.layout().max_block_data;
    uint64_t sum = 0;
    bool complete = true;
    for (size_t i = 0; i < x.child_count; ++i) {
      const ndb::Bid child_bid = ctx_.children[x.first_child + i].bid;
      BlockRecord* child = ctx_.FindBlock(child_bid);
      if (child == nullptr) {
        complete = false;
        continue;
      }
      child->reachable = true;
      if (child->kind != want) {
        if (child->kind == BlockKind::kUnread || child->kind == BlockKind::kBadTrailer) {
          complete = false;
          continue;
        }
        ctx_.findings.Error(BlockWhere(x), KindName(x.kind) + " entry " + std::to_string(i) +
                                               " is a " + KindName(child->kind) + ", expected a " +
                                               KindName(want) + " (data tree of " + owner + ")");
        complete = false;
        continue;
      }
      if (is_x) {
        sum += child->inflated_size;
        if (i + 1 < x.child_count && child->inflated_size != max_data) {
          ctx_.findings.Warning(BlockWhere(x), "entry " + std::to_string(i) + " holds " +
                                                   std::to_string(child->inflated_size) +
                                                   " bytes; every block but the last should be "
                                                   "full (" + std::to_string(max_data) + ")");
        }
      } else {
        sum += child->total;
        if (data_done_.insert(child_bid).second) XBlock(*child, owner);
      }
    }
    if (complete && sum != x.total) {
      ctx_.findings.Error(BlockWhere(x), "lcbTotal " + std::to_string(x.total) +
                                             " differs from the " + std::to_string(sum) +
                                             " bytes below it");
    }
  }

  void SubnodeIndex(const BlockRecord& si, const std::string& owner, int depth) {
    ndb::Nid last = 0;
    bool any = false;
    std::unordered_set<ndb::Bid> listed;
    for (size_t i = 0; i < si.child_count; ++i) {
      const ChildRef& e = ctx_.children[si.first_child + i];
      BlockRecord* child = ctx_.FindBlock(e.bid);
      if (child == nullptr) continue;
      child->reachable = true;
      if (child->kind != BlockKind::kSLBlock) {
        if (child->kind != BlockKind::kUnread && child->kind != BlockKind::kBadTrailer) {
          ctx_.findings.Error(BlockWhere(si), "SIBLOCK entry " + std::to_string(i) + " is a " +
                                                  KindName(child->kind) + ", expected an SLBLOCK");
        }
        continue;
      }
      if (child->child_count > 0 && ctx_.children[child->first_child].nid != e.nid) {
        ctx_.findings.Error(BlockWhere(si), "SIBLOCK entry " + std::to_string(i) + " key " +
                                                Hex(e.nid) + " differs from its SLBLOCK's first "
                                                "NID " + Hex(ctx_.children[child->first_child].nid));
      }
      if (!listed.insert(e.bid).second) {
        ctx_.findings.Error(BlockWhere(si), "SLBLOCK " + Hex(e.bid) + " is listed twice");
        continue;
      }
      // A leaf shared with another tree is walked once; its order is still checked here.
      const bool walk = sub_done_.insert(e.bid).second;
      SubnodeLeaf(*child, owner, depth, last, any, walk);
    }
  }

  void SubnodeLeaf(const BlockRecord& sl, const std::string& owner, int depth, ndb::Nid& last,
                   bool& any, bool walk = true) {
    for (size_t i = 0; i < sl.child_count; ++i) {
      const ChildRef e = ctx_.children[sl.first_child + i];
      if (any && e.nid <= last) {
        ctx_.findings.Error(BlockWhere(sl), "subnode " + Hex(e.nid) + " follows " + Hex(last) +
                                                ": subnodes out of order (tree of " + owner + ")");
      }
      any = true;
      last = std::max(last, e.nid);
      if (!walk) continue;
      ++ctx_.report->counts.subnodes;
      const uint8_t type = ndb::NidTypeOf(e.nid);
      ctx_.max_subnode_index[type] = std::max(ctx_.max_subnode_index[type], ndb::NidIndexOf(e.nid));
      const std::string where = owner + " subnode " + Hex(e.nid);
      if (e.bid != 0) DataTree(e.bid, where);
      if (e.sub != 0) SubnodeTree(e.sub, where, depth + 1);
    }
  }

  Context& ctx_;
  std::unordered_set<ndb::Bid> data_done_;
  std::unordered_set<ndb::Bid> sub_done_;
  std::unordered_set<ndb::Bid> in_progress_;
};

// Returns false for a reference to a block the BBT does not list.
bool CountReference(Context& ctx, ndb::Bid bid, const std::string& from, const char* role) {
  if (bid == 0) return true;
  BlockRecord* b = ctx.FindBlock(bid);
  if (b == nullptr) {
    // With part of the BBT unreadable, a missing block is no news.
    if (ctx.bbt_complete) {
      ctx.findings.Error(from, std::string(role) + " " + Hex(bid) + " is not in the BBT");
    }
    return false;
  }
  if (b->refs < UINT32_MAX) ++b->refs;
  return true;
}

void CountAllReferences(Context& ctx) {
  size_t unresolved = 0;
  for (const ndb::NodeEntry& n : ctx.nodes) {
    unresolved += !CountReference(ctx, n.data_bid, NodeWhere(n.nid), "data block");
    unresolved += !CountReference(ctx, n.subnode_bid, NodeWhere(n.nid), "subnode tree");
  }
  for (size_t bi = 0; bi < ctx.blocks.size(); ++bi) {
    const BlockRecord b = ctx.blocks[bi];  // copy: CountReference looks up others
    for (size_t i = 0; i < b.child_count; ++i) {
      const ChildRef c = ctx.children[b.first_child + i];
      const std::string from = BlockWhere(b) + " entry " + std::to_string(i);
      if (b.kind == BlockKind::kSLBlock) {
        unresolved += !CountReference(ctx, c.bid, from + " (subnode " + Hex(c.nid) + ")", "data block");
        unresolved += !CountReference(ctx, c.sub, from + " (subnode " + Hex(c.nid) + ")", "subnode tree");
      } else {
        unresolved += !CountReference(ctx, c.bid, from, "block");
      }
    }
  }
  if (unresolved > 0 && !ctx.bbt_complete) {
    ctx.findings.Error("BBT", std::to_string(unresolved) + " block references lead to no block "
                              "the readable part of the BBT lists");
  }
}

void CheckRefCounts(Context& ctx) {
  for (const BlockRecord& b : ctx.blocks) {
    const std::string where = BlockWhere(b);
    const std::string counts = "cRef " + std::to_string(b.ref_count) + ", " +
                               std::to_string(b.refs) + " reference" + (b.refs == 1 ? "" : "s") +
                               " found";
    // With part of a tree unreadable, references are missing: only a count
    // below those found still says something.
    const bool complete = ctx.nbt_complete && ctx.bbt_complete;
    if (!b.reachable) {
      // Note: an unreachable block is room lost until compaction; Outlook
      // leaves such leftovers of earlier versions (8 of the 28 samples).
      if (complete) {
        ctx.findings.Note(where, "is reached from no node: a leaked block (" + counts + ")");
      }
      continue;
    }
    if (b.ref_count < b.refs) {
      ctx.findings.Error(where, counts + ": the count is below the references, so freeing by it "
                                         "would release a block still in use");
    } else if (!complete) {
      continue;
    } else if (b.ref_count == b.refs) {
      ctx.findings.Warning(where, counts + ": one below the references + 1 Outlook keeps");
    } else if (b.ref_count > b.refs + 1u) {
      ctx.findings.Warning(where, counts + ": above references + 1, the block can never be freed");
    }
  }
}

void CheckCounters(Context& ctx) {
  const ndb::Header& h = ctx.header;
  ndb::Bid max_block = 0;
  for (const BlockRecord& b : ctx.blocks) max_block = std::max(max_block, b.bid);
  if (!ctx.blocks.empty() && h.next_block_bid <= max_block) {
    ctx.findings.Error("header", "bidNextB " + Hex(h.next_block_bid) + " is not above the highest "
                                 "block BID " + Hex(max_block) + ": a new block would reuse a BID");
  }
  ndb::Bid max_page = 0;
  for (const PageRecord& p : ctx.pages) max_page = std::max(max_page, p.bid);
  if (!ctx.pages.empty() && h.next_page_bid <= max_page) {
    ctx.findings.Error("header", "bidNextP " + Hex(h.next_page_bid) + " is not above the highest "
                                 "page BID " + Hex(max_page) + ": a new page would reuse a BID");
  }
  uint32_t max_index[32] = {};
  for (const ndb::NodeEntry& n : ctx.nodes) {
    uint32_t& m = max_index[ndb::NidTypeOf(n.nid)];
    m = std::max(m, ndb::NidIndexOf(n.nid));
  }
  for (int type = 1; type < 32; ++type) {
    const uint32_t counter = h.nid_counters[type];
    if (max_index[type] > counter) {
      ctx.findings.Error("header", "rgnid[" + Hex(type) + "] " + Hex(counter) +
                                       " is below the highest node index of that type in use (" +
                                       Hex(max_index[type]) + "): a new node could reuse its NID");
    } else if (ctx.max_subnode_index[type] > counter) {
      ctx.findings.Warning("header", "rgnid[" + Hex(type) + "] " + Hex(counter) +
                                         " is below the highest subnode index of that type (" +
                                         Hex(ctx.max_subnode_index[type]) + ")");
    }
  }
}

}  // namespace

void CheckReferences(Context& ctx) {
  CountAllReferences(ctx);
  TreeChecker trees(ctx);
  for (const ndb::NodeEntry& n : ctx.nodes) {
    const std::string where = NodeWhere(n.nid);
    if (n.data_bid != 0) trees.DataTree(n.data_bid, where);
    if (n.subnode_bid != 0) trees.SubnodeTree(n.subnode_bid, where, 0);
  }
  CheckRefCounts(ctx);
  CheckCounters(ctx);
}

}  // namespace pst::check
