// Test support: builds small stores byte by byte in memory, so tests can
// make every structure, intact or broken, without a real file.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "pst/base/bytes.h"
#include "pst/ndb/database.h"
#include "pst/ndb/subnode_tree.h"

namespace pst::ndb::testing {

struct PageInfo {
  bool nodes = false;  // NBT (else BBT)
  uint8_t level = 0;
  Bid bid = 0;
  uint64_t offset = 0;
};

class StoreFixture {
 public:
  explicit StoreFixture(Format format, CryptMethod crypt = CryptMethod::kPermute);

  // Blocks hold plain data; Build() encodes data blocks per the crypt method.
  Bid AddDataBlock(ByteSpan data);
  Bid AddDataBlock(size_t size, uint8_t seed);  // pattern bytes seed, seed+1, ...
  Bid AddInternalBlock(ByteSpan data);
  Bid AddXBlock(uint8_t level, const std::vector<Bid>& children, uint32_t lcb_total);
  // SLBLOCK (level 0) or SIBLOCK (level 1, entries' data_bid = child block).
  // nid_junk goes into the upper half of wide NID fields.
  Bid AddSubnodeBlock(uint8_t level, const std::vector<SubnodeEntry>& entries,
                      uint32_t nid_junk = 0);
  // The BID the next internal block will get.
  Bid NextInternalBid() const { return next_bid_ | 2; }
  void AddNode(Nid nid, Bid data_bid, Bid subnode_bid = 0, Nid parent = 0);
  // B-tree pages hold at most this many entries (to force deeper trees).
  void set_page_capacity(size_t n) { page_capacity_ = n; }

  Bytes Build();

  // Layout of the last Build().
  uint64_t BlockOffset(Bid bid) const { return block_offsets_.at(bid); }
  const std::vector<PageInfo>& pages() const { return pages_; }
  const PageInfo& Root(bool nodes) const;
  Format format() const { return format_; }

  // Rewrites a page's trailer (CRC, signature) after a test edited its bytes.
  void ResealPage(Bytes& file, const PageInfo& page) const;

  static Bytes Pattern(size_t size, uint8_t seed);

 private:
  struct PendingEntry {
    uint64_t key;
    Bytes bytes;
  };
  PageInfo BuildTree(Bytes& file, bool nodes, std::vector<PendingEntry> leaves);

  Format format_;
  CryptMethod crypt_;
  Bid next_bid_ = 4;
  Bid next_page_bid_ = 0x100;
  size_t page_capacity_ = 0;
  std::map<Bid, Bytes> blocks_;
  std::map<Nid, NodeEntry> nodes_;
  std::map<Bid, uint64_t> block_offsets_;
  std::vector<PageInfo> pages_;
};

}  // namespace pst::ndb::testing
