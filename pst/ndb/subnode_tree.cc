#include "pst/ndb/subnode_tree.h"

#include <string>

#include "pst/base/byte_reader.h"
#include "pst/base/hex.h"
#include "pst/ndb/context.h"

namespace pst::ndb {

std::string SubnodeTree::Where(Bid bid) const {
  return "ndb: subnode tree of node " + Hex(owner_) + ", block " + Hex(bid);
}

Result<SubnodeTree::Block> SubnodeTree::Load(Bid bid, int expected_level) const {
  if (!IsInternalBid(bid)) {
    return Status::Corruption(Where(bid) + ": a data block where a subnode block belongs");
  }
  auto data = db_.ReadBlock(bid);
  if (!data.ok()) return InContext(data.status(), Where(bid));
  const Format format = db_.format();
  const bool wide = LayoutOf(format).wide;
  ByteReader r(*data);
  Block block;
  block.bid = bid;
  const uint8_t btype = r.U8();
  block.level = r.U8();
  const uint16_t count = r.U16();
  if (wide) r.U32();  // dwPadding
  if (!r.ok() || btype != 0x02) {
    return Status::Corruption(Where(bid) + ": not a subnode block (btype " + Hex(btype) +
                              ", " + std::to_string(data->size()) + " bytes)");
  }
  if (expected_level < 0 ? block.level > kMaxLevel : block.level != expected_level) {
    return Status::Corruption(Where(bid) + ": cLevel " + std::to_string(block.level) +
                              (expected_level < 0 ? " is too deep"
                                                  : ", expected " + std::to_string(expected_level)));
  }
  const size_t width = wide ? 8 : 4;
  const size_t entry_size = (block.level == 0 ? 3 : 2) * width;
  if (static_cast<size_t>(count) * entry_size > r.remaining()) {
    return Status::Corruption(Where(bid) + ": cEnt " + std::to_string(count) +
                              " entries do not fit the " + std::to_string(data->size()) +
                              "-byte block");
  }
  block.entries.resize(count);
  for (SubnodeEntry& e : block.entries) {
    // Outlook leaves junk in the upper half of wide subnode NIDs.
    e.nid = static_cast<Nid>(r.U32or64(wide));
    e.data_bid = r.U32or64(wide);
    if (block.level == 0) e.subnode_bid = r.U32or64(wide);
  }
  return block;
}

Result<SubnodeEntry> SubnodeTree::Find(Nid nid) const {
  Bid bid = root_;
  int expected_level = -1;
  // The level drops by one per step, so this ends within kMaxLevel + 1 blocks.
  for (;;) {
    PST_ASSIGN_OR_RETURN(Block block, Load(bid, expected_level));
    if (block.level == 0) {
      for (const SubnodeEntry& e : block.entries) {
        if (e.nid == nid) return e;
      }
      break;
    }
    const SubnodeEntry* pick = nullptr;
    for (const SubnodeEntry& e : block.entries) {
      if (e.nid > nid) break;
      pick = &e;
    }
    if (pick == nullptr) break;
    bid = pick->data_bid;
    expected_level = block.level - 1;
  }
  return Status::NotFound("ndb: node " + Hex(owner_) + " has no subnode " + Hex(nid));
}

Status SubnodeTree::Walk(Bid bid, int expected_level, Nid& last, bool& any,
                         std::unordered_set<Bid>& seen,
                         const std::function<Status(const SubnodeEntry&)>& fn) const {
  if (!seen.insert(bid & ~Bid{1}).second) {
    return Status::Corruption(Where(bid) + ": block reached twice in one subnode tree");
  }
  PST_ASSIGN_OR_RETURN(Block block, Load(bid, expected_level));
  for (const SubnodeEntry& e : block.entries) {
    if (block.level > 0) {
      if (any && e.nid < last) {
        return Status::Corruption(Where(bid) + ": entries out of order at subnode " +
                                  Hex(e.nid));
      }
      PST_RETURN_IF_ERROR(Walk(e.data_bid, block.level - 1, last, any, seen, fn));
      continue;
    }
    if (any && e.nid <= last) {
      return Status::Corruption(Where(bid) + ": subnode " + Hex(e.nid) +
                                " out of order or repeated after " + Hex(last));
    }
    last = e.nid;
    any = true;
    PST_RETURN_IF_ERROR(fn(e));
  }
  return Status::Ok();
}

Status SubnodeTree::ForEach(const std::function<Status(const SubnodeEntry&)>& fn) const {
  Nid last = 0;
  bool any = false;
  std::unordered_set<Bid> seen;
  return Walk(root_, -1, last, any, seen, fn);
}

}  // namespace pst::ndb
