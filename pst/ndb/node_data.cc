#include <algorithm>
#include <cstring>
#include <string>

#include "pst/base/byte_reader.h"
#include "pst/base/hex.h"
#include "pst/ndb/context.h"
#include "pst/ndb/crypt.h"
#include "pst/ndb/node_data_impl.h"
#include "pst/ndb/subnode_tree.h"

namespace pst::ndb {

std::string TreeNodeData::Where() const { return "ndb: data tree of node " + Hex(nid_); }

Result<std::unique_ptr<NodeData>> TreeNodeData::Open(const Database& db, Nid nid, Bid data_bid,
                                                     Bid subnode_bid) {
  std::unique_ptr<TreeNodeData> node(new TreeNodeData(db, nid, data_bid, subnode_bid));
  PST_RETURN_IF_ERROR(node->Init());
  return std::unique_ptr<NodeData>(std::move(node));
}

Result<TreeNodeData::XBlock> TreeNodeData::LoadXBlock(Bid bid, int expected_level) const {
  const std::string where = Where() + ", block " + Hex(bid);
  auto data = db_.ReadBlock(bid);
  if (!data.ok()) return InContext(data.status(), Where());
  const FormatLayout& layout = LayoutOf(db_.format());
  ByteReader r(*data);
  XBlock x;
  const uint8_t btype = r.U8();
  x.level = r.U8();
  const uint16_t count = r.U16();
  x.total = r.U32();
  if (!r.ok() || btype != 0x01) {
    return Status::Corruption(where + ": not an XBLOCK/XXBLOCK (btype " + Hex(btype) + ", " +
                              std::to_string(data->size()) + " bytes)");
  }
  if (expected_level < 0 ? (x.level != 1 && x.level != 2) : x.level != expected_level) {
    return Status::Corruption(where + ": cLevel " + std::to_string(x.level) + ", expected " +
                              (expected_level < 0 ? std::string("1 or 2")
                                                  : std::to_string(expected_level)));
  }
  const size_t width = layout.wide ? 8 : 4;
  if (count == 0 || static_cast<size_t>(count) * width > r.remaining()) {
    return Status::Corruption(where + ": cEnt " + std::to_string(count) + " does not fit the " +
                              std::to_string(data->size()) + "-byte block");
  }
  x.bids.resize(count);
  for (Bid& b : x.bids) {
    b = r.U32or64(layout.wide);
    // Level-1 entries are data blocks, level-2 entries XBLOCKs.
    if (IsInternalBid(b) != (x.level == 2)) {
      return Status::Corruption(where + ": entry " + Hex(b) + " is " +
                                (IsInternalBid(b) ? "an internal" : "a data") +
                                " block, wrong for cLevel " + std::to_string(x.level));
    }
  }
  return x;
}

Status TreeNodeData::Init() {
  if (data_bid_ == 0) return Status::Ok();
  if (!IsInternalBid(data_bid_)) {
    auto entry = db_.FindBlock(data_bid_);
    if (!entry.ok()) return InContext(entry.status(), Where());
    segments_.push_back({0, 0, 1, 0, entry->inflated_size});
    leaves_.segment = 0;
    leaves_.entries = {*entry};
    leaves_.ends = {entry->inflated_size};
    block_count_ = 1;
    size_ = entry->inflated_size;
    return Status::Ok();
  }
  PST_ASSIGN_OR_RETURN(XBlock top, LoadXBlock(data_bid_, -1));
  if (top.level == 1) {
    segments_.push_back({data_bid_, 0, top.bids.size(), 0, top.total});
    block_count_ = top.bids.size();
    size_ = top.total;
    std::lock_guard<std::mutex> lock(mu_);
    return LoadSegment(0);  // checks lcbTotal against the blocks' sizes
  }
  uint64_t offset = 0;
  size_t blocks = 0;
  segments_.reserve(top.bids.size());
  for (Bid child : top.bids) {
    PST_ASSIGN_OR_RETURN(XBlock x, LoadXBlock(child, 1));
    segments_.push_back({child, blocks, x.bids.size(), offset, x.total});
    blocks += x.bids.size();
    offset += x.total;
  }
  if (offset != top.total) {
    return Status::Corruption(Where() + ", XXBLOCK " + Hex(data_bid_) + ": lcbTotal " +
                              std::to_string(top.total) + " but its XBLOCKs hold " +
                              std::to_string(offset) + " bytes");
  }
  block_count_ = blocks;
  size_ = offset;
  return Status::Ok();
}

Status TreeNodeData::LoadSegment(size_t index) const {
  if (leaves_.segment == index) return Status::Ok();
  const Segment& seg = segments_[index];
  PST_ASSIGN_OR_RETURN(XBlock x, LoadXBlock(seg.xblock, 1));
  if (x.bids.size() != seg.block_count || x.total != seg.size) {
    return Status::Corruption(Where() + ", XBLOCK " + Hex(seg.xblock) +
                              ": changed while the node was open");
  }
  Leaves leaves;
  leaves.entries.reserve(x.bids.size());
  leaves.ends.reserve(x.bids.size());
  uint64_t end = 0;
  for (Bid b : x.bids) {
    auto entry = db_.FindBlock(b);
    if (!entry.ok()) return InContext(entry.status(), Where() + ", XBLOCK " + Hex(seg.xblock));
    end += entry->inflated_size;
    leaves.ends.push_back(end);
    leaves.entries.push_back(*entry);
  }
  if (end != seg.size) {
    return Status::Corruption(Where() + ", XBLOCK " + Hex(seg.xblock) + ": lcbTotal " +
                              std::to_string(seg.size) + " but its blocks hold " +
                              std::to_string(end) + " bytes");
  }
  leaves.segment = index;
  leaves_ = std::move(leaves);
  return Status::Ok();
}

size_t TreeNodeData::SegmentOfBlock(size_t block) const {
  auto it = std::upper_bound(segments_.begin(), segments_.end(), block,
                             [](size_t b, const Segment& s) { return b < s.first_block; });
  return static_cast<size_t>(it - segments_.begin()) - 1;
}

size_t TreeNodeData::SegmentOfOffset(uint64_t offset) const {
  auto it = std::upper_bound(segments_.begin(), segments_.end(), offset,
                             [](uint64_t o, const Segment& s) { return o < s.first_offset; });
  return static_cast<size_t>(it - segments_.begin()) - 1;
}

Result<const Bytes*> TreeNodeData::BlockData(size_t index, bool stored) const {
  if (cached_index_ == index && cached_stored_ == stored) return &cached_block_;
  const size_t s = SegmentOfBlock(index);
  PST_RETURN_IF_ERROR(LoadSegment(s));
  const size_t k = index - segments_[s].first_block;
  const BlockEntry& entry = leaves_.entries[k];
  // A reader that goes on from the block before is offered more of the
  // blocks that follow the longer it goes on, so one that wants only a
  // stream's first bytes has little read for nothing.
  // (After a failed read nothing is cached, and reading ahead starts anew.)
  const bool goes_on = cached_index_ != SIZE_MAX && index == cached_index_ + 1;
  ahead_blocks_ = goes_on ? std::min(kMostBlocksAhead, ahead_blocks_ * 2 + 1) : 0;
  const size_t next = std::min(ahead_blocks_, leaves_.entries.size() - k - 1);
  sequence_.next = std::span<const BlockEntry>(leaves_.entries).subspan(k + 1, next);
  sequence_.spare = std::move(cached_block_);
  cached_index_ = SIZE_MAX;
  auto data = db_.ReadBlockOf(entry, stored, &sequence_);
  sequence_.next = {};
  if (!data.ok()) return InContext(data.status(), Where());
  cached_block_ = std::move(data).value();
  cached_index_ = index;
  cached_stored_ = stored;
  return &cached_block_;
}

Result<Bytes> TreeNodeData::ReadBlock(size_t index) const {
  if (index >= block_count_) {
    return Status::InvalidArgument(Where() + ": block " + std::to_string(index) +
                                   " asked of " + std::to_string(block_count_));
  }
  std::lock_guard<std::mutex> lock(mu_);
  PST_ASSIGN_OR_RETURN(const Bytes* data, BlockData(index));
  return *data;
}

Status TreeNodeData::Read(uint64_t offset, std::span<uint8_t> out) const {
  return ReadRange(offset, out, false);
}

std::optional<CryptMethod> TreeNodeData::stored_encoding() const {
  const Header& h = db_.header();
  if (!StoredBytesMoveUnchanged(h.crypt_method)) return std::nullopt;
  // In the 4K variant an encoded block may be compressed instead.
  if (h.crypt_method != CryptMethod::kNone && h.format == Format::kUnicode4k) return std::nullopt;
  return h.crypt_method;
}

Status TreeNodeData::ReadStored(uint64_t offset, std::span<uint8_t> out) const {
  if (!stored_encoding()) return NodeData::ReadStored(offset, out);
  return ReadRange(offset, out, true);
}

Status TreeNodeData::ReadRange(uint64_t offset, std::span<uint8_t> out, bool stored) const {
  if (offset > size_ || out.size() > size_ - offset) {
    return Status::Corruption(Where() + ": read of " + std::to_string(out.size()) +
                              " bytes at " + std::to_string(offset) + " passes its size " +
                              std::to_string(size_));
  }
  std::lock_guard<std::mutex> lock(mu_);
  size_t done = 0;
  while (done < out.size()) {
    const uint64_t pos = offset + done;
    const size_t s = SegmentOfOffset(pos);
    PST_RETURN_IF_ERROR(LoadSegment(s));
    const Segment& seg = segments_[s];
    const uint64_t in_seg = pos - seg.first_offset;
    const auto it = std::upper_bound(leaves_.ends.begin(), leaves_.ends.end(), in_seg);
    const size_t k = static_cast<size_t>(it - leaves_.ends.begin());
    const uint64_t block_start = k == 0 ? 0 : leaves_.ends[k - 1];
    const uint64_t block_end = leaves_.ends[k];
    PST_ASSIGN_OR_RETURN(const Bytes* data, BlockData(seg.first_block + k, stored));
    const uint64_t at = in_seg - block_start;
    const size_t n = static_cast<size_t>(
        std::min<uint64_t>(out.size() - done, block_end - in_seg));
    if (data->size() != block_end - block_start) {
      return Status::Corruption(Where() + ": data block " + std::to_string(seg.first_block + k) +
                                " decoded to " + std::to_string(data->size()) + " bytes, the " +
                                "block index says " + std::to_string(block_end - block_start));
    }
    std::memcpy(out.data() + done, data->data() + at, n);
    done += n;
  }
  return Status::Ok();
}

Result<std::unique_ptr<NodeData>> TreeNodeData::OpenSubnode(Nid nid) const {
  if (subnode_bid_ == 0) {
    return Status::NotFound("ndb: node " + Hex(nid_) + " has no subnodes (looking for " +
                            Hex(nid) + ")");
  }
  SubnodeTree tree(db_, nid_, subnode_bid_);
  PST_ASSIGN_OR_RETURN(SubnodeEntry e, tree.Find(nid));
  if ((e.subnode_bid & ~Bid{1}) == (subnode_bid_ & ~Bid{1})) {
    return Status::Corruption("ndb: subnode " + Hex(nid) + " of node " + Hex(nid_) +
                              " names its parent's subnode tree as its own");
  }
  return db_.OpenNodeFromBids(e.nid, e.data_bid, e.subnode_bid);
}

Status TreeNodeData::ForEachSubnode(const std::function<Status(Nid)>& fn) const {
  if (subnode_bid_ == 0) return Status::Ok();
  SubnodeTree tree(db_, nid_, subnode_bid_);
  return tree.ForEach([&](const SubnodeEntry& e) { return fn(e.nid); });
}

}  // namespace pst::ndb
