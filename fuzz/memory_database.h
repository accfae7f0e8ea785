// A node database held in memory for the data and subnode tree fuzz target:
// blocks are given already decoded, so the target exercises the trees built
// from them (XBLOCKs, XXBLOCKs, SLBLOCKs, SIBLOCKs) through the engine's own
// node reader, without a file, B-trees or block trailers around them.
#pragma once

#include <map>
#include <memory>

#include "pst/base/hex.h"
#include "pst/io/memory_file.h"
#include "pst/ndb/database.h"
#include "pst/ndb/node_data_impl.h"

namespace pst::fuzz {

class MemoryDatabase final : public ndb::Database {
 public:
  explicit MemoryDatabase(ndb::Format format) { header_.format = format; }

  // Adds a decoded block under bid (bit 0 ignored, as in the BBT).
  void AddBlock(ndb::Bid bid, Bytes data) { blocks_[bid & ~ndb::Bid{1}] = std::move(data); }

  const ndb::Header& header() const override { return header_; }
  const io::RandomAccessFile& file() const override { return file_; }
  Result<ndb::NodeEntry> FindNode(ndb::Nid nid) const override {
    return Status::NotFound("memory database has no node " + Hex(nid));
  }
  Result<ndb::BlockEntry> FindBlock(ndb::Bid bid) const override {
    auto it = blocks_.find(bid & ~ndb::Bid{1});
    if (it == blocks_.end()) return Status::NotFound("memory database has no block " + Hex(bid));
    ndb::BlockEntry e;
    e.bid = it->first;
    e.size = static_cast<uint16_t>(it->second.size());
    e.inflated_size = e.size;
    e.ref_count = 2;
    return e;
  }
  Status ForEachNode(const std::function<Status(const ndb::NodeEntry&)>&) const override {
    return Status::Ok();
  }
  Status ForEachBlock(const std::function<Status(const ndb::BlockEntry&)>& fn) const override {
    for (const auto& [bid, data] : blocks_) {
      PST_ASSIGN_OR_RETURN(ndb::BlockEntry e, FindBlock(bid));
      PST_RETURN_IF_ERROR(fn(e));
    }
    return Status::Ok();
  }
  Result<Bytes> ReadBlock(ndb::Bid bid) const override {
    auto it = blocks_.find(bid & ~ndb::Bid{1});
    if (it == blocks_.end()) return Status::NotFound("memory database has no block " + Hex(bid));
    return it->second;
  }
  Result<std::unique_ptr<ndb::NodeData>> OpenNode(ndb::Nid nid) const override { return FindNode(nid).status(); }
  Result<std::unique_ptr<ndb::NodeData>> OpenNodeFromBids(ndb::Nid nid, ndb::Bid data_bid,
                                                          ndb::Bid subnode_bid) const override {
    return ndb::TreeNodeData::Open(*this, nid, data_bid, subnode_bid);
  }

 private:
  ndb::Header header_;
  io::MemoryFile file_;
  std::map<ndb::Bid, Bytes> blocks_;
};

}  // namespace pst::fuzz
