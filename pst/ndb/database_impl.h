// The Database implementation over a RandomAccessFile. Private to the
// ndb layer; others use database.h.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "pst/ndb/btree.h"
#include "pst/ndb/database.h"
#include "pst/ndb/scan_index.h"

namespace pst::ndb {

class DatabaseImpl final : public Database {
 public:
  // Internal blocks (data and subnode tree blocks) are re-read often while
  // walking trees; keep the most recent ones up to this many bytes.
  static constexpr size_t kBlockCacheBytes = 1 << 20;
  // Blocks read ahead for a BlockSequence: at most this many bytes a read.
  static constexpr uint64_t kReadAheadBytes = 256 * 1024;

  DatabaseImpl(std::shared_ptr<const io::RandomAccessFile> file, Header header);

  // Checks what Open promises: both root pages load and pass their checks.
  Status Init();

  const Header& header() const override { return header_; }
  const io::RandomAccessFile& file() const override { return *file_; }
  Result<NodeEntry> FindNode(Nid nid) const override;
  Result<BlockEntry> FindBlock(Bid bid) const override;
  Status ForEachNode(const std::function<Status(const NodeEntry&)>& fn) const override;
  Status ForEachBlock(const std::function<Status(const BlockEntry&)>& fn) const override;
  Result<Bytes> ReadBlock(Bid bid) const override;
  Result<Bytes> ReadStoredBlock(Bid bid) const override;
  Result<Bytes> ReadBlockOf(const BlockEntry& entry, bool stored,
                            BlockSequence* sequence = nullptr) const override;
  void ReadThroughDamage(DamageLog* log) const override;
  DamageLog* damage_log() const override { return salvage_.load(); }
  Result<std::unique_ptr<NodeData>> OpenNode(Nid nid) const override;
  Result<std::unique_ptr<NodeData>> OpenNodeFromBids(Nid nid, Bid data_bid,
                                                     Bid subnode_bid) const override;

 private:
  using BlockPtr = std::shared_ptr<const Bytes>;
  // stored: leave a data block encoded. Internal blocks come from (and go
  // into) the cache; data blocks are read, checked and decoded in one buffer.
  Result<Bytes> LoadBlock(Bid bid, bool stored = false) const;
  // LoadBlock past the cache and the index lookup, with the savings of
  // `sequence` if given (see BlockSequence).
  Result<Bytes> LoadEntry(const BlockEntry& entry, bool stored, BlockSequence* sequence = nullptr) const;
  // The file's bytes at `offset` into `image`: from what `sequence` read
  // ahead, or read along with the blocks it names next that follow them.
  Status ReadImage(uint64_t offset, std::span<uint8_t> image, BlockSequence* sequence) const;
  // Salvage only: the file scanned once for blocks and node entries (see
  // scan_index.h); nullptr when the scan failed.
  const ScanIndex* Scan() const;

  std::shared_ptr<const io::RandomAccessFile> file_;
  Header header_;
  BTreeReader nbt_;
  BTreeReader bbt_;

  mutable std::atomic<DamageLog*> salvage_{nullptr};
  mutable std::once_flag scan_once_;
  mutable std::unique_ptr<ScanIndex> scan_;
  mutable std::mutex mu_;
  mutable std::list<std::pair<Bid, BlockPtr>> lru_;
  mutable std::unordered_map<Bid, std::list<std::pair<Bid, BlockPtr>>::iterator> cache_;
  mutable size_t cached_bytes_ = 0;
};

}  // namespace pst::ndb
