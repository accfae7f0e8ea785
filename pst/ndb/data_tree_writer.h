// Building data trees and subnode trees out of single blocks.
//
// XBLOCK / XXBLOCK ([MS-PST] 2.2.2.8.3.2), internal blocks:
//   btype 1 (0x01) | cLevel 1 (1 = XBLOCK, 2 = XXBLOCK) | cEnt 2 | lcbTotal 4 |
//   rgbid cEnt x 4 (ANSI) / 8 (Unicode)
// SLBLOCK / SIBLOCK ([MS-PST] 2.2.2.8.3.3), internal blocks:
//   btype 1 (0x02) | cLevel 1 (0 = SL, 1 = SI) | cEnt 2 | dwPadding 4 (Unicode only) |
//   SLENTRY: nid, bidData, bidSub (4 / 8 each)   SIENTRY: nid, bid (4 / 8 each)
// The nid fields are written zero-extended.
//
// Capacities:            ANSI    Unicode
//   BIDs per X/XXBLOCK   2043    1021
//   SLENTRYs per block    681     340
//   SIENTRYs per block   1022     510
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "pst/base/bytes.h"
#include "pst/base/result.h"
#include "pst/ndb/block_writer.h"
#include "pst/ndb/header.h"

namespace pst::ndb {

// Where the builders put their blocks: the transaction.
class BlockSink {
 public:
  virtual ~BlockSink() = default;
  // Writes one block; the caller owns the one reference it holds.
  virtual Result<Bid> PutBlock(ByteSpan data, bool internal) = 0;
  // The same for a data block given already encoded by the store's method.
  virtual Result<Bid> PutStoredBlock(ByteSpan stored) = 0;
  // Gives back one reference (recursively freeing what a freed block holds).
  virtual Status Release(Bid bid) = 0;
  // Frees an internal block just written, without touching what it refers
  // to. (Internal blocks are never shared, so nothing else holds it.)
  virtual Status Discard(Bid bid) = 0;
};

uint32_t XBlockCapacity(Format format);
uint32_t SubnodeLeafCapacity(Format format);
uint32_t SubnodeIndexCapacity(Format format);

// Collects data blocks in stream order and puts XBLOCKs (and an XXBLOCK)
// above them as they fill, so memory stays at two blocks' worth of BIDs.
// If Finish is not reached, the destructor gives every block back.
class DataTreeBuilder {
 public:
  DataTreeBuilder(BlockSink& sink, Format format) : sink_(sink), format_(format) {}
  ~DataTreeBuilder();
  DataTreeBuilder(const DataTreeBuilder&) = delete;
  DataTreeBuilder& operator=(const DataTreeBuilder&) = delete;

  // Writes one data block (at most the format's max_block_data bytes);
  // `stored`: the bytes are already encoded by the store's method.
  Status Add(ByteSpan data, bool stored = false);
  // Keeps the first block's place (before any Add) until AddFirst gives it;
  // Finish needs it given. Until then the first XBLOCK is not written.
  Status HoldFirst();
  Status AddFirst(ByteSpan data);
  // The root: 0 if nothing was added, the block itself if there is one.
  Result<Bid> Finish();

 private:
  Status CheckAdd(size_t size) const;
  Status CloseXBlock();
  Bytes EncodeX(uint8_t level, const std::vector<Bid>& bids, uint64_t total) const;
  void Abort();

  BlockSink& sink_;
  Format format_;
  std::vector<Bid> leaves_;    // data blocks not yet under an XBLOCK
  uint64_t leaves_bytes_ = 0;
  std::vector<Bid> xblocks_;   // XBLOCKs written, for the XXBLOCK
  uint64_t total_ = 0;
  bool finished_ = false;
  // While the first block is held (its BID 0 in leaves_, or here once its
  // XBLOCK filled up, with xblocks_[0] 0 until it is written).
  bool holding_first_ = false;
  std::vector<Bid> first_leaves_;
  uint64_t first_leaves_bytes_ = 0;
};

// A BlocksInOrder over a DataTreeBuilder.
std::unique_ptr<BlocksInOrder> StartDataTree(BlockSink& sink, Format format);

// Writes the subnode tree of `entries` (any order; duplicate NIDs are an
// error). The tree takes over the entries' references. Returns 0 for none.
Result<Bid> WriteSubnodeTree(BlockSink& sink, Format format, std::vector<SubnodeEntry> entries);

// The BIDs an internal block refers to (children to release), after checking
// its header against its size. Data blocks refer to nothing.
Result<std::vector<Bid>> ChildrenOfBlock(Format format, Bid bid, ByteSpan data);

}  // namespace pst::ndb
