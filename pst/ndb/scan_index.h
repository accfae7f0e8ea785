// ScanIndex: blocks and node entries found by reading the whole file rather
// than through the B-trees — what a salvage read falls back on when a B-tree
// page is lost (zeroed, cut off, or no longer holding together).
//
// A block is known by the trailer that ends its block-aligned run (see
// block.h): cb, a BID whose signature matches the run's offset
// (wSig = ComputeSig(ib, bid)), and a CRC over the cb stored bytes.
// Node entries come from NBT leaf pages (ptype 0x81, cLevel 0) that pass
// every check of their trailer. Older copies of pages stay in free space, so
// a NID found on several pages takes the entry of the page with the highest
// BID: pages get ever higher BIDs, so that is the newest.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "pst/base/result.h"
#include "pst/io/file.h"
#include "pst/ndb/database.h"

namespace pst::ndb {

class ScanIndex {
 public:
  // Caps on what a scan keeps (what lies beyond is not found).
  static constexpr size_t kMaxBlocks = size_t{1} << 22;
  static constexpr size_t kMaxNodes = size_t{1} << 21;

  // One pass over the file, read in bounded chunks.
  static Result<std::unique_ptr<ScanIndex>> Build(const io::RandomAccessFile& file, Format format);

  std::optional<BlockEntry> FindBlock(Bid bid) const;  // bit 0 ignored
  std::optional<NodeEntry> FindNode(Nid nid) const;
  // Ascending by NID.
  const std::vector<NodeEntry>& nodes() const { return nodes_; }
  size_t block_count() const { return blocks_.size(); }

 private:
  std::vector<BlockEntry> blocks_;  // ascending by BID
  std::vector<NodeEntry> nodes_;
};

}  // namespace pst::ndb
