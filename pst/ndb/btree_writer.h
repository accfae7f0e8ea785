// Editing the node and block B-trees ([MS-PST] 2.2.2.7.7) copy-on-write.
//
// Page layout as in btree.h: rgentries, then cEnt, cEntMax, cbEnt, cLevel,
// then the page trailer. Entry sizes (cbEnt) and capacities (cEntMax):
//   tree  level  entry     ANSI      Unicode
//   NBT   0      NBTENTRY  16 x 31   32 x 15
//   BBT   0      BBTENTRY  12 x 41   24 x 20
//   both  > 0    BTENTRY   12 x 41   24 x 20   (btkey = first key of the child)
//
// The committed pages are never changed. A page on the way to a change is
// read into memory once ("materialized"); its committed copy is handed to
// the free_page callback, which frees it in the transaction's allocation
// state only. Flush gives every page in memory a new place and a new BID
// and writes it; the new root takes effect when the header says so.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "pst/base/bytes.h"
#include "pst/base/result.h"
#include "pst/io/file.h"
#include "pst/ndb/btree.h"
#include "pst/ndb/header.h"

namespace pst::ndb {

class BTreeWriter {
 public:
  using Kind = BTreeReader::Kind;
  using FreePage = std::function<Status(const BlockRef& page)>;

  // root.bid == 0 starts an empty tree (a new store). The file must outlive
  // the writer.
  BTreeWriter(const io::RandomAccessFile* file, Format format, Kind kind, BlockRef root,
              FreePage free_page);
  ~BTreeWriter();

  // cbEnt of the leaf entries.
  size_t leaf_entry_size() const { return leaf_size_; }
  // The key a leaf entry holds (NID or BID).
  uint64_t LeafKey(ByteSpan entry) const;

  // The leaf entry with this key, or NotFound.
  Result<Bytes> Find(uint64_t key) const;
  // Inserts the entry, or replaces the one with the same key.
  Status Put(ByteSpan entry);
  // NotFound if there is no entry with this key.
  Status Remove(uint64_t key);
  // Every leaf entry in ascending key order.
  Status ForEach(const std::function<Status(ByteSpan entry)>& fn) const;

  bool modified() const { return root_node_ != nullptr || root_.bid != committed_root_.bid; }
  // Writes every page in memory to a new place. `allocate` returns a free
  // 512-byte page; `next_page_bid` is bidNextP, advanced per page.
  // Returns the new root.
  Result<BlockRef> Flush(const std::function<Result<uint64_t>()>& allocate, uint64_t* next_page_bid,
                         const std::function<Status(uint64_t offset, ByteSpan page)>& write);
  // Bounds what a long transaction holds: checked every few hundred
  // changes, once more than `max_pages` pages are in memory every page below
  // the root is written to a new place (as Flush writes them) and let go. A
  // later change reads back the few pages it touches; their place is then
  // freed (it was this transaction's, so nothing committed is touched).
  Status Spill(size_t max_pages, const std::function<Result<uint64_t>()>& allocate, uint64_t* next_page_bid,
               const std::function<Status(uint64_t offset, ByteSpan page)>& write);
  // The flushed tree is now the committed one.
  void Committed(BlockRef root);
  // Drops every change since the last commit.
  void Abandon();

  // Calls fn for every page of the committed tree at root (checked as it is
  // read; cycles and shared pages are Corruption).
  static Status ForEachPage(const io::RandomAccessFile& file, Format format, Kind kind,
                            BlockRef root,
                            const std::function<Status(const BlockRef& page, uint8_t level)>& fn);

 private:
  struct Node;
  using NodePtr = std::unique_ptr<Node>;

  // A page read from the file and checked.
  Result<NodePtr> Load(const BlockRef& ref, int expected_level, uint64_t low, bool bounded_above,
                       uint64_t high) const;
  uint64_t KeyAt(const Node& n, size_t i) const;
  BlockRef ChildRef(const Node& n, size_t i) const;
  void SetIndexEntry(Node& n, size_t i, uint64_t key, const BlockRef& ref) const;
  size_t EntrySize(const Node& n) const;
  size_t Capacity(const Node& n) const;
  size_t Count(const Node& n) const;
  // Index of the last entry whose key <= key, or SIZE_MAX.
  size_t Floor(const Node& n, uint64_t key) const;

  Status MaterializeRoot();
  Result<Node*> Child(Node& n, size_t i);
  Status Insert(Node& n, ByteSpan entry, uint64_t key, NodePtr* sibling);
  Status Erase(Node& n, uint64_t key);
  Status MaybeMerge(Node& n, size_t i);
  NodePtr Split(Node& n, bool appended_last);
  Result<BlockRef> FlushNode(Node& n, const std::function<Result<uint64_t>()>& allocate,
                             uint64_t* next_page_bid,
                             const std::function<Status(uint64_t, ByteSpan)>& write);
  Status Walk(const Node& n, const std::function<Status(ByteSpan)>& fn, int depth) const;
  static size_t PagesBelow(const Node& n);
  Status PageError(const BlockRef& ref, const std::string& msg) const;

  const io::RandomAccessFile* file_;
  Format format_;
  Kind kind_;
  size_t leaf_size_;
  size_t index_size_;
  FreePage free_page_;
  BlockRef committed_root_;
  BlockRef root_;          // the root page when root_node_ is null
  NodePtr root_node_;      // the materialized root, if any
  size_t changes_since_spill_check_ = 0;

  // Pages read lately, by place: after a commit every lookup starts at the
  // committed root, and a read of the output also waits for the writes
  // queued before it. A page is known by its place and its BID (its trailer
  // names both and was checked); BIDs are given anew only after Abandon(),
  // which forgets them all.
  struct ReadPage {
    uint64_t offset = 0;
    Bid bid = 0;
    Bytes bytes;  // empty: no page here
  };
  static constexpr size_t kReadPages = 64;
  mutable std::vector<ReadPage> read_pages_;
};

}  // namespace pst::ndb
