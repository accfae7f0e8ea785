// The store writer's insides, private to the ndb layer: the writable
// database (committed state, allocation maps, B-trees) and its transaction.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pst/ndb/allocation_map.h"
#include "pst/ndb/btree_writer.h"
#include "pst/ndb/data_tree_writer.h"
#include "pst/ndb/identical_blocks.h"
#include "pst/ndb/transaction.h"

namespace pst::ndb {

class TransactionImpl;

// The committed state as callers see it: one object for the life of the
// writable database, reading through whichever reader the last commit
// opened, so references to it (and node data opened from it) stay valid
// across commits. Node data opened before a commit may afterwards report
// blocks that the commit freed as missing.
class CommittedView final : public Database {
 public:
  void Reset(std::unique_ptr<Database> reader) { reader_ = std::move(reader); }
  const Database& reader() const { return *reader_; }

  const Header& header() const override { return reader_->header(); }
  const io::RandomAccessFile& file() const override { return reader_->file(); }
  Result<NodeEntry> FindNode(Nid nid) const override { return reader_->FindNode(nid); }
  Result<BlockEntry> FindBlock(Bid bid) const override { return reader_->FindBlock(bid); }
  Status ForEachNode(const std::function<Status(const NodeEntry&)>& fn) const override {
    return reader_->ForEachNode(fn);
  }
  Status ForEachBlock(const std::function<Status(const BlockEntry&)>& fn) const override {
    return reader_->ForEachBlock(fn);
  }
  Result<Bytes> ReadBlock(Bid bid) const override { return reader_->ReadBlock(bid); }
  Result<Bytes> ReadStoredBlock(Bid bid) const override { return reader_->ReadStoredBlock(bid); }
  Result<std::unique_ptr<NodeData>> OpenNode(Nid nid) const override;
  Result<std::unique_ptr<NodeData>> OpenNodeFromBids(Nid nid, Bid data_bid,
                                                     Bid subnode_bid) const override;

 private:
  std::unique_ptr<Database> reader_;
};

class WritableDatabaseImpl final : public WritableDatabase {
 public:
  static Result<std::unique_ptr<WritableDatabaseImpl>> OpenExisting(
      std::shared_ptr<io::WritableFile> file, const WriteOptions& options);
  static Result<std::unique_ptr<WritableDatabaseImpl>> CreateNew(
      std::shared_ptr<io::WritableFile> file, Format format, CryptMethod crypt,
      const WriteOptions& options);

  ~WritableDatabaseImpl() override;

  const Database& database() const override { return view_; }
  Result<std::unique_ptr<Transaction>> Begin() override;

 private:
  friend class TransactionImpl;

  WritableDatabaseImpl(std::shared_ptr<io::WritableFile> file, const WriteOptions& options,
                       Header header, uint64_t extent);

  // Checks the allocation maps against everything the B-trees reference, or
  // rebuilds them from it; also repairs BID counters that lag behind.
  Status PrepareMaps();
  Status CommitTransaction(TransactionImpl& txn);
  void AbandonTransaction();
  Status WriteHeader(const Header& header);
  Status Poison(const Status& why);

  std::shared_ptr<io::WritableFile> file_;
  WriteOptions options_;
  Header committed_;           // what the file's header says (or will say, while creating)
  bool header_on_disk_ = true;  // false until Create has written the first header
  AllocationMap maps_;
  BTreeWriter nbt_;
  BTreeWriter bbt_;
  CommittedView view_;
  TransactionImpl* active_ = nullptr;
  Status poisoned_;
  bool clear_dlist_ = false;   // a density list at 0x4200 goes stale with our maps
  // Blocks with BIDs below this predate this session: their reference counts
  // come from another writer and may be too low (until counted once).
  Bid foreign_bid_limit_ = 0;
  bool counts_exact_ = true;
  IdenticalBlocks identical_;  // data blocks written this session, to share
};

class TransactionImpl final : public Transaction, private BlockSink {
 public:
  explicit TransactionImpl(WritableDatabaseImpl& db);
  ~TransactionImpl() override;

  Format format() const override { return header_.format; }
  Result<Bid> WriteData(ByteSpan data) override;
  Result<Bid> WriteBlocks(const std::vector<Bytes>& blocks) override;
  std::unique_ptr<BlocksInOrder> StartBlocks() override;
  Result<Bid> WriteStream(uint64_t size, const StreamSource& source) override;
  Result<Bid> WriteStoredStream(uint64_t size, const StreamSource& plain,
                                const StoredStreamSource& stored) override;
  Result<Bid> WriteSubnodeTree(std::vector<SubnodeEntry> entries) override;
  Status AddRef(Bid bid) override;
  Result<bool> TryAddRef(Bid bid) override;
  Status Release(Bid bid) override;
  Result<Nid> AllocateNid(uint8_t nid_type) override;
  Status RaiseNidCounter(uint8_t nid_type, uint32_t index) override;

  Status PutNode(const NodeEntry& entry) override;
  Status DeleteNode(Nid nid) override;
  Result<NodeEntry> FindNode(Nid nid) const override;
  Result<std::unique_ptr<NodeData>> OpenNode(Nid nid) const override;
  Result<std::unique_ptr<NodeData>> OpenNodeFromBids(Nid nid, Bid data_bid,
                                                     Bid subnode_bid) const override;
  Status Commit() override;
  void Abandon() override;

  // For the transaction's read view.
  const Header& header() const { return header_; }
  Result<BlockEntry> FindBlock(Bid bid) const;
  Result<Bytes> ReadBlock(Bid bid) const;
  Status ForEachNode(const std::function<Status(const NodeEntry&)>& fn) const;
  Status ForEachBlock(const std::function<Status(const BlockEntry&)>& fn) const;

 private:
  friend class WritableDatabaseImpl;
  class View;

  // BlockSink
  Result<Bid> PutBlock(ByteSpan data, bool internal) override;
  Result<Bid> PutStoredBlock(ByteSpan stored) override;
  Result<Bid> PutAnyBlock(ByteSpan data, bool internal, bool stored);
  Status Discard(Bid bid) override;

  Status Usable() const;
  // A data tree of `size` bytes from `source`, a block at a time;
  // `stored`: the bytes come encoded by this store's method.
  Result<Bid> WriteChunks(uint64_t size, const StreamSource& source, bool stored);
  // An earlier block with exactly these bytes, now with one more reference
  // for the caller; 0 when there is none to share.
  Result<Bid> ShareIdentical(uint64_t key, ByteSpan data, bool stored);
  Status StoreBlockEntry(const BlockEntry& e);
  Status CheckBlockExists(Bid bid, const char* what) const;
  // Brings the reference counts of blocks from other writers up to the
  // true count (once per session) before one of them could be freed.
  Status CountForeignReferences();
  void NoteNid(Nid nid);
  Status Flush();
  // Writes B-tree pages out early so the trees' pages in memory stay
  // bounded however much the transaction changes.
  Status LimitTreeMemory();

  WritableDatabaseImpl& db_;
  Header header_;  // counters as this transaction moves them
  std::unique_ptr<View> view_;
  bool ended_ = false;
  bool counted_foreign_ = false;
  bool foreign_counts_incomplete_ = false;
  Status broken_;  // a failed step that left the transaction unusable

  // Blocks are written as they come; consecutive ones are gathered here and
  // written together.
  uint64_t pending_offset_ = 0;
  BufferBytes pending_;
};

}  // namespace pst::ndb
