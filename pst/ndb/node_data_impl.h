// NodeData over a node's data tree and subnode tree. Private to the ndb
// layer; callers get it through Database::OpenNode / OpenNodeFromBids.
//
// Data tree ([MS-PST] 2.2.2.8.3.2): bidData names either one data block or
// an XBLOCK (cLevel 1, listing data blocks) or an XXBLOCK (cLevel 2, listing
// XBLOCKs):
//   field     offset  size
//   btype     0       1     0x01
//   cLevel    1       1     1 = XBLOCK, 2 = XXBLOCK
//   cEnt      2       2     number of BIDs
//   lcbTotal  4       4     bytes of data below this block
//   rgbid     8       cEnt x 4 (ANSI) / 8 (Unicode)
//
// Memory stays bounded: the XBLOCK list of a level-1 tree is kept (at most
// one block's worth of BIDs); for an XXBLOCK only a summary per XBLOCK is
// kept and one XBLOCK's BIDs at a time; one decoded data block is cached,
// and at most DatabaseImpl::kReadAheadBytes of the blocks after it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "pst/ndb/database.h"
#include "pst/ndb/node.h"

namespace pst::ndb {

class TreeNodeData final : public NodeData {
 public:
  // The NodeData refers to db, which must outlive it.
  static Result<std::unique_ptr<NodeData>> Open(const Database& db, Nid nid, Bid data_bid,
                                                Bid subnode_bid);

  Nid nid() const override { return nid_; }
  uint64_t size() const override { return size_; }
  size_t block_count() const override { return block_count_; }
  Result<Bytes> ReadBlock(size_t index) const override;
  Status Read(uint64_t offset, std::span<uint8_t> out) const override;
  std::optional<CryptMethod> stored_encoding() const override;
  Status ReadStored(uint64_t offset, std::span<uint8_t> out) const override;
  Result<std::unique_ptr<NodeData>> OpenSubnode(Nid nid) const override;
  Status ForEachSubnode(const std::function<Status(Nid)>& fn) const override;

 private:
  // A run of data blocks under one XBLOCK (or the single data block).
  struct Segment {
    Bid xblock = 0;  // 0: the node's single data block
    size_t first_block = 0;
    size_t block_count = 0;
    uint64_t first_offset = 0;
    uint64_t size = 0;
  };
  // The data blocks of the loaded segment.
  struct Leaves {
    size_t segment = SIZE_MAX;
    std::vector<BlockEntry> entries;  // each block's index entry, looked up once
    std::vector<uint64_t> ends;       // stream offset (within the segment) after each block
  };
  struct XBlock {
    uint8_t level = 0;
    uint32_t total = 0;
    std::vector<Bid> bids;
  };

  TreeNodeData(const Database& db, Nid nid, Bid data_bid, Bid subnode_bid)
      : db_(db), nid_(nid), data_bid_(data_bid), subnode_bid_(subnode_bid) {}

  Status Init();
  Result<XBlock> LoadXBlock(Bid bid, int expected_level) const;
  Status LoadSegment(size_t index) const;  // with mu_ held
  size_t SegmentOfBlock(size_t block) const;
  size_t SegmentOfOffset(uint64_t offset) const;
  // Block `index`, decoded or as stored; with mu_ held.
  Result<const Bytes*> BlockData(size_t index, bool stored = false) const;
  Status ReadRange(uint64_t offset, std::span<uint8_t> out, bool stored) const;
  std::string Where() const;

  const Database& db_;
  Nid nid_;
  Bid data_bid_;
  Bid subnode_bid_;
  uint64_t size_ = 0;
  size_t block_count_ = 0;
  std::vector<Segment> segments_;

  mutable std::mutex mu_;
  mutable Leaves leaves_;
  mutable size_t cached_index_ = SIZE_MAX;
  mutable bool cached_stored_ = false;
  mutable Bytes cached_block_;
  // Reading ahead (see BlockSequence): how many blocks after the cached one
  // were offered.
  static constexpr size_t kMostBlocksAhead = 31;
  mutable BlockSequence sequence_;
  mutable size_t ahead_blocks_ = 0;
};

}  // namespace pst::ndb
