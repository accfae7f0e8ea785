#include "pst/ndb/data_tree_writer.h"

#include <algorithm>
#include <string>

#include "pst/base/byte_reader.h"
#include "pst/base/coding.h"
#include "pst/base/hex.h"

namespace pst::ndb {

namespace {

size_t BidSize(Format format) { return LayoutOf(format).wide ? 8 : 4; }
// Bytes before the entries of an SLBLOCK / SIBLOCK.
size_t SubnodeHeaderSize(Format format) { return LayoutOf(format).wide ? 8 : 4; }

void PutWide(Bytes& out, uint64_t v, bool wide) {
  uint8_t b[8];
  if (wide) {
    EncodeFixed64(b, v);
  } else {
    EncodeFixed32(b, static_cast<uint32_t>(v));
  }
  out.insert(out.end(), b, b + (wide ? 8 : 4));
}

Bytes SubnodeBlock(Format format, uint8_t level, size_t count) {
  Bytes out(SubnodeHeaderSize(format), 0);
  out[0] = 0x02;
  out[1] = level;
  EncodeFixed16(out.data() + 2, static_cast<uint16_t>(count));
  return out;
}

}  // namespace

uint32_t XBlockCapacity(Format format) {
  return static_cast<uint32_t>((LayoutOf(format).max_block_data - 8) / BidSize(format));
}
uint32_t SubnodeLeafCapacity(Format format) {
  return static_cast<uint32_t>((LayoutOf(format).max_block_data - SubnodeHeaderSize(format)) /
                               (3 * BidSize(format)));
}
uint32_t SubnodeIndexCapacity(Format format) {
  return static_cast<uint32_t>((LayoutOf(format).max_block_data - SubnodeHeaderSize(format)) /
                               (2 * BidSize(format)));
}

DataTreeBuilder::~DataTreeBuilder() {
  if (!finished_) Abort();
}

void DataTreeBuilder::Abort() {
  // Best effort: on a failing file the blocks stay unreferenced, which the
  // abandoned transaction's allocation state forgets anyway.
  for (const auto* bids : {&leaves_, &xblocks_, &first_leaves_}) {
    for (Bid b : *bids) {
      if (b != 0) (void)sink_.Release(b);  // 0: the held first block's place
    }
  }
  leaves_.clear();
  xblocks_.clear();
  first_leaves_.clear();
  finished_ = true;
}

Bytes DataTreeBuilder::EncodeX(uint8_t level, const std::vector<Bid>& bids, uint64_t total) const {
  const bool wide = LayoutOf(format_).wide;
  Bytes out(8, 0);
  out[0] = 0x01;
  out[1] = level;
  EncodeFixed16(out.data() + 2, static_cast<uint16_t>(bids.size()));
  EncodeFixed32(out.data() + 4, static_cast<uint32_t>(total));
  for (Bid b : bids) PutWide(out, b, wide);
  return out;
}

Status DataTreeBuilder::CloseXBlock() {
  if (xblocks_.size() == XBlockCapacity(format_)) {
    return Status::InvalidArgument("ndb: data of more than " + std::to_string(total_) +
                                   " bytes does not fit one node's data tree");
  }
  if (holding_first_ && xblocks_.empty()) {
    // The first XBLOCK waits for the first block.
    first_leaves_ = std::move(leaves_);
    first_leaves_bytes_ = leaves_bytes_;
    xblocks_.push_back(0);
  } else {
    PST_ASSIGN_OR_RETURN(Bid x, sink_.PutBlock(EncodeX(1, leaves_, leaves_bytes_), true));
    xblocks_.push_back(x);
  }
  leaves_.clear();
  leaves_bytes_ = 0;
  return Status::Ok();
}

Status DataTreeBuilder::CheckAdd(size_t size) const {
  if (finished_) return Status::InvalidArgument("ndb: data tree already finished");
  if (size > LayoutOf(format_).max_block_data) {
    return Status::InvalidArgument("ndb: a data block of " + std::to_string(size) +
                                   " bytes exceeds the format's maximum of " +
                                   std::to_string(LayoutOf(format_).max_block_data));
  }
  // lcbTotal is 32 bits: no node's data may reach 4 GiB.
  if (total_ + size > 0xFFFFFFFFull) {
    return Status::InvalidArgument("ndb: node data of 4 GiB or more cannot be stored");
  }
  return Status::Ok();
}

Status DataTreeBuilder::HoldFirst() {
  if (finished_ || holding_first_ || !leaves_.empty() || !xblocks_.empty()) {
    return Status::InvalidArgument("ndb: a data tree holds the first block's place only before any block");
  }
  holding_first_ = true;
  leaves_.push_back(0);
  return Status::Ok();
}

Status DataTreeBuilder::AddFirst(ByteSpan data) {
  if (!holding_first_) return Status::InvalidArgument("ndb: data tree given a first block it did not hold");
  PST_RETURN_IF_ERROR(CheckAdd(data.size()));
  PST_ASSIGN_OR_RETURN(Bid b, sink_.PutBlock(data, false));
  holding_first_ = false;
  total_ += data.size();
  if (first_leaves_.empty()) {
    leaves_[0] = b;
    leaves_bytes_ += data.size();
    return Status::Ok();
  }
  first_leaves_[0] = b;
  auto x = sink_.PutBlock(EncodeX(1, first_leaves_, first_leaves_bytes_ + data.size()), true);
  if (!x.ok()) {
    Abort();  // the tree cannot be completed
    return x.status();
  }
  xblocks_[0] = *x;
  first_leaves_.clear();  // the XBLOCK holds their references now
  return Status::Ok();
}

Status DataTreeBuilder::Add(ByteSpan data, bool stored) {
  PST_RETURN_IF_ERROR(CheckAdd(data.size()));
  if (leaves_.size() == XBlockCapacity(format_)) PST_RETURN_IF_ERROR(CloseXBlock());
  PST_ASSIGN_OR_RETURN(Bid b, stored ? sink_.PutStoredBlock(data) : sink_.PutBlock(data, false));
  leaves_.push_back(b);
  leaves_bytes_ += data.size();
  total_ += data.size();
  return Status::Ok();
}

Result<Bid> DataTreeBuilder::Finish() {
  if (finished_) return Status::InvalidArgument("ndb: data tree already finished");
  if (holding_first_) return Status::InvalidArgument("ndb: data tree finished without its first block");
  Bid root = 0;
  if (xblocks_.empty()) {
    if (leaves_.size() == 1) {
      root = leaves_[0];
    } else if (leaves_.size() > 1) {
      PST_ASSIGN_OR_RETURN(root, sink_.PutBlock(EncodeX(1, leaves_, leaves_bytes_), true));
    }
  } else {
    if (!leaves_.empty()) PST_RETURN_IF_ERROR(CloseXBlock());
    PST_ASSIGN_OR_RETURN(root, sink_.PutBlock(EncodeX(2, xblocks_, total_), true));
  }
  leaves_.clear();
  xblocks_.clear();
  finished_ = true;
  return root;
}

Result<Bid> WriteSubnodeTree(BlockSink& sink, Format format, std::vector<SubnodeEntry> entries) {
  if (entries.empty()) return Bid{0};
  std::sort(entries.begin(), entries.end(),
            [](const SubnodeEntry& a, const SubnodeEntry& b) { return a.nid < b.nid; });
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].nid == 0) return Status::InvalidArgument("ndb: subnode with NID 0");
    if (i > 0 && entries[i].nid == entries[i - 1].nid) {
      return Status::InvalidArgument("ndb: subnode " + Hex(entries[i].nid) + " given twice");
    }
  }
  const bool wide = LayoutOf(format).wide;
  const size_t leaf_cap = SubnodeLeafCapacity(format);
  const size_t leaves = (entries.size() + leaf_cap - 1) / leaf_cap;
  if (leaves > SubnodeIndexCapacity(format)) {
    return Status::InvalidArgument("ndb: " + std::to_string(entries.size()) +
                                   " subnodes are more than one subnode tree can hold");
  }
  std::vector<Bid> written;
  std::vector<SubnodeEntry> index;  // first NID and BID of each SLBLOCK
  Status failed;
  for (size_t first = 0; first < entries.size() && failed.ok(); first += leaf_cap) {
    const size_t n = std::min(leaf_cap, entries.size() - first);
    Bytes block = SubnodeBlock(format, 0, n);
    for (size_t i = first; i < first + n; ++i) {
      PutWide(block, entries[i].nid, wide);
      PutWide(block, entries[i].data_bid, wide);
      PutWide(block, entries[i].subnode_bid, wide);
    }
    auto bid = sink.PutBlock(block, true);
    if (!bid.ok()) {
      failed = bid.status();
      break;
    }
    written.push_back(*bid);
    index.push_back({entries[first].nid, *bid, 0});
  }
  if (failed.ok() && written.size() == 1) return written[0];
  if (failed.ok()) {
    Bytes block = SubnodeBlock(format, 1, index.size());
    for (const SubnodeEntry& e : index) {
      PutWide(block, e.nid, wide);
      PutWide(block, e.data_bid, wide);
    }
    auto root = sink.PutBlock(block, true);
    if (root.ok()) return *root;
    failed = root.status();
  }
  // The entries' references still belong to the caller: drop only our blocks.
  for (Bid b : written) (void)sink.Discard(b);
  return failed;
}

Result<std::vector<Bid>> ChildrenOfBlock(Format format, Bid bid, ByteSpan data) {
  std::vector<Bid> out;
  if (!IsInternalBid(bid)) return out;
  const bool wide = LayoutOf(format).wide;
  const size_t w = wide ? 8 : 4;
  const std::string where = "ndb: internal block " + Hex(bid);
  ByteReader r(data);
  const uint8_t btype = r.U8();
  const uint8_t level = r.U8();
  const uint16_t count = r.U16();
  if (!r.ok()) return Status::Corruption(where + " is too short for its header");
  size_t per_entry = 0;
  size_t header = 0;
  if (btype == 0x01 && (level == 1 || level == 2)) {
    header = 8;
    per_entry = w;
  } else if (btype == 0x02 && (level == 0 || level == 1)) {
    header = SubnodeHeaderSize(format);
    per_entry = (level == 0 ? 3 : 2) * w;
  } else {
    return Status::Corruption(where + " has btype " + Hex(btype) + " and cLevel " + Hex(level) +
                              ", not a data or subnode tree block");
  }
  if (header + size_t{count} * per_entry > data.size()) {
    return Status::Corruption(where + ": " + std::to_string(count) +
                              " entries do not fit its " + std::to_string(data.size()) + " bytes");
  }
  r.Seek(header);
  for (size_t i = 0; i < count; ++i) {
    if (btype == 0x01) {
      out.push_back(r.U32or64(wide));
    } else if (level == 0) {
      r.U32or64(wide);  // nid
      const Bid d = r.U32or64(wide);
      const Bid s = r.U32or64(wide);
      if (d != 0) out.push_back(d);
      if (s != 0) out.push_back(s);
    } else {
      r.U32or64(wide);  // nid
      out.push_back(r.U32or64(wide));
    }
  }
  return out;
}

namespace {

// What a writer without a sequence of its own does: keep the blocks, then
// write them all.
class KeptBlocks final : public BlocksInOrder {
 public:
  explicit KeptBlocks(BlockWriter& writer) : writer_(writer) {}
  Status Add(ByteSpan block) override {
    blocks_.emplace_back(block.begin(), block.end());
    return Status::Ok();
  }
  Status HoldFirst() override {
    if (!blocks_.empty()) return Status::InvalidArgument("ndb: first block held after others");
    blocks_.emplace_back();
    holding_first_ = true;
    return Status::Ok();
  }
  Status AddFirst(ByteSpan block) override {
    if (!holding_first_) return Status::InvalidArgument("ndb: first block given without its place");
    blocks_[0].assign(block.begin(), block.end());
    holding_first_ = false;
    return Status::Ok();
  }
  Result<Bid> Finish() override {
    if (holding_first_) return Status::InvalidArgument("ndb: blocks finished without the first");
    return writer_.WriteBlocks(blocks_);
  }

 private:
  BlockWriter& writer_;
  std::vector<Bytes> blocks_;
  bool holding_first_ = false;
};

class TreeOfBlocks final : public BlocksInOrder {
 public:
  TreeOfBlocks(BlockSink& sink, Format format) : tree_(sink, format) {}
  Status Add(ByteSpan block) override { return tree_.Add(block); }
  Status HoldFirst() override { return tree_.HoldFirst(); }
  Status AddFirst(ByteSpan block) override { return tree_.AddFirst(block); }
  Result<Bid> Finish() override { return tree_.Finish(); }

 private:
  DataTreeBuilder tree_;
};

}  // namespace

std::unique_ptr<BlocksInOrder> BlockWriter::StartBlocks() { return std::make_unique<KeptBlocks>(*this); }

std::unique_ptr<BlocksInOrder> StartDataTree(BlockSink& sink, Format format) {
  return std::make_unique<TreeOfBlocks>(sink, format);
}

}  // namespace pst::ndb
