// Test support: a real store loaded into memory with the edits the
// corruption tests need, each keeping everything else consistent (pages
// resealed, block trailers and CRCs rewritten) so that a test injects
// exactly one fault.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pst/base/bytes.h"
#include "pst/check/check.h"
#include "pst/ndb/database.h"
#include "pst/ndb/header.h"

namespace pst::check::testing {

// Reads a store of the sample folder into memory.
Bytes LoadSample(const std::string& name);

// "where: severity: what" lines of a report, in report order.
std::vector<std::string> Lines(const CheckReport& report);
// True if some line contains every one of the fragments.
bool HasLine(const CheckReport& report, std::initializer_list<std::string> fragments);

class StoreEditor {
 public:
  explicit StoreEditor(Bytes bytes);

  Bytes& bytes() { return bytes_; }
  ndb::Format format() const { return header_.format; }
  const ndb::Header& header() const { return header_; }
  // Writes the header back with both CRCs recomputed.
  void SetHeader(const ndb::Header& header);

  // Where a B-tree leaf entry lies: its page and index.
  struct EntryPos {
    uint64_t page_offset = 0;
    size_t index = 0;
    uint8_t entry_size = 0;
  };
  std::optional<EntryPos> FindLeaf(bool nodes, uint64_t key) const;
  // Every B-tree page: offset and cLevel.
  std::vector<std::pair<uint64_t, int>> TreePages(bool nodes) const;
  void ResealPage(uint64_t offset);

  ndb::BlockEntry Block(ndb::Bid bid) const;
  void SetBlock(const ndb::BlockEntry& entry);
  ndb::NodeEntry Node(ndb::Nid nid) const;
  void SetNode(const ndb::NodeEntry& entry);

  // A block's data, decoded; and writing data of the same size back.
  Bytes BlockData(ndb::Bid bid) const;
  void SetBlockData(ndb::Bid bid, ByteSpan data);
  // The data blocks of a node's data tree, in order.
  std::vector<ndb::Bid> DataBlocks(ndb::Bid data_bid) const;
  // Replaces the first occurrence of `find` in the decoded data blocks of the
  // node's data tree; false if it does not occur.
  bool ReplaceInNode(ndb::Nid nid, ByteSpan find, ByteSpan replace);

  // AMap bit of the 64-byte slot at offset (ANSI/Unicode); the setter reseals
  // the AMap page and keeps ROOT.cbAMapFree in step unless told otherwise.
  bool AmapBit(uint64_t offset) const;
  void SetAmapBit(uint64_t offset, bool used, bool fix_free_total = true);

  CheckReport Check(const CheckOptions& options = {}) const;

 private:
  uint64_t Get(uint64_t offset, bool wide) const;
  void Put(uint64_t offset, uint64_t value, bool wide);

  Bytes bytes_;
  ndb::Header header_;
};

}  // namespace pst::check::testing
