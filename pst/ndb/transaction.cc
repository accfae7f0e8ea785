// A transaction's block and node operations. Blocks are written to the file
// as they are made (into space the committed state does not use); node and
// block index changes live in the copy-on-write B-trees until Commit.
//
// Reference counts follow what Outlook writes: cRef = references + 1, so a
// block referenced once (by a node, a data tree or a subnode tree, or by the
// caller who just wrote it) has cRef 2, and a block is freed when its last
// reference goes (cRef would drop to 1).
#include <algorithm>
#include <optional>
#include <string>

#include "pst/base/checked_math.h"
#include "pst/base/crc32.h"
#include "pst/base/hex.h"
#include "pst/ndb/block.h"
#include "pst/ndb/crypt.h"
#include "pst/ndb/node_data_impl.h"
#include "pst/ndb/reference_census.h"
#include "pst/ndb/writable_database_impl.h"

namespace pst::ndb {

namespace {

constexpr size_t kMaxPendingWrite = 1 << 20;
constexpr uint16_t kMaxRefCount = 0xFFFF;
// B-tree pages each tree keeps in memory during a transaction (a page takes
// about 600 bytes there).
constexpr size_t kMaxTreePagesInMemory = 4096;

}  // namespace

// What a reader sees through the transaction: the committed store plus
// this transaction's changes.
class TransactionImpl::View final : public Database {
 public:
  explicit View(const TransactionImpl& txn) : txn_(txn) {}
  const Header& header() const override { return txn_.header(); }
  const io::RandomAccessFile& file() const override { return *txn_.db_.file_; }
  Result<NodeEntry> FindNode(Nid nid) const override { return txn_.FindNode(nid); }
  Result<BlockEntry> FindBlock(Bid bid) const override { return txn_.FindBlock(bid); }
  Status ForEachNode(const std::function<Status(const NodeEntry&)>& fn) const override {
    return txn_.ForEachNode(fn);
  }
  Status ForEachBlock(const std::function<Status(const BlockEntry&)>& fn) const override {
    return txn_.ForEachBlock(fn);
  }
  Result<Bytes> ReadBlock(Bid bid) const override { return txn_.ReadBlock(bid); }
  Result<std::unique_ptr<NodeData>> OpenNode(Nid nid) const override {
    PST_ASSIGN_OR_RETURN(NodeEntry e, FindNode(nid));
    return OpenNodeFromBids(e.nid, e.data_bid, e.subnode_bid);
  }
  Result<std::unique_ptr<NodeData>> OpenNodeFromBids(Nid nid, Bid data_bid,
                                                     Bid subnode_bid) const override {
    return TreeNodeData::Open(*this, nid, data_bid, subnode_bid);
  }

 private:
  const TransactionImpl& txn_;
};

Result<std::unique_ptr<NodeData>> CommittedView::OpenNode(Nid nid) const {
  PST_ASSIGN_OR_RETURN(NodeEntry e, FindNode(nid));
  return OpenNodeFromBids(e.nid, e.data_bid, e.subnode_bid);
}

Result<std::unique_ptr<NodeData>> CommittedView::OpenNodeFromBids(Nid nid, Bid data_bid,
                                                                  Bid subnode_bid) const {
  return TreeNodeData::Open(*this, nid, data_bid, subnode_bid);
}

TransactionImpl::TransactionImpl(WritableDatabaseImpl& db)
    : db_(db), header_(db.committed_), view_(std::make_unique<View>(*this)) {}

TransactionImpl::~TransactionImpl() { Abandon(); }

void TransactionImpl::Abandon() {
  if (ended_) return;
  ended_ = true;
  pending_.clear();
  db_.AbandonTransaction();
}

Status TransactionImpl::Usable() const {
  if (ended_) return Status::InvalidArgument("ndb: the transaction has ended");
  if (!broken_.ok()) return broken_.WithContext("ndb: the transaction cannot go on after");
  return Status::Ok();
}

Status TransactionImpl::Flush() {
  if (pending_.empty()) return Status::Ok();
  Status s = db_.file_->WriteBuffer(pending_offset_, pending_);
  pending_.clear();
  if (!s.ok()) broken_ = s;
  return s;
}

Status TransactionImpl::StoreBlockEntry(const BlockEntry& e) {
  Bytes raw(db_.bbt_.leaf_entry_size());
  EncodeBlockEntry(header_.format, e, raw);
  PST_RETURN_IF_ERROR(db_.bbt_.Put(raw));
  return LimitTreeMemory();
}

Status TransactionImpl::LimitTreeMemory() {
  auto allocate = [this]() { return db_.maps_.AllocatePage(); };
  // Blocks still in the write buffer go first: one of them may lie where a
  // page now goes, if it was freed since it was made.
  auto write = [this](uint64_t offset, ByteSpan page) -> Status {
    PST_RETURN_IF_ERROR(Flush());
    return db_.file_->Write(offset, page);
  };
  PST_RETURN_IF_ERROR(db_.bbt_.Spill(kMaxTreePagesInMemory, allocate, &header_.next_page_bid, write));
  return db_.nbt_.Spill(kMaxTreePagesInMemory, allocate, &header_.next_page_bid, write);
}

Result<Bid> TransactionImpl::PutBlock(ByteSpan data, bool internal) {
  return PutAnyBlock(data, internal, false);
}

Result<Bid> TransactionImpl::PutStoredBlock(ByteSpan stored) { return PutAnyBlock(stored, false, true); }

Result<Bid> TransactionImpl::PutAnyBlock(ByteSpan data, bool internal, bool stored) {
  PST_RETURN_IF_ERROR(Usable());
  const FormatLayout& l = LayoutOf(header_.format);
  if (data.size() > l.max_block_data) {
    return Status::InvalidArgument("ndb: a block of " + std::to_string(data.size()) +
                                   " bytes exceeds the maximum of " +
                                   std::to_string(l.max_block_data));
  }
  uint64_t key = 0;
  std::optional<uint32_t> data_crc;
  if (!internal) {
    data_crc = PstCrc32(data);
    // Stored and plain bytes are keyed apart (the same key would only miss).
    const uint64_t content = IdenticalBlocks::KeyOf(*data_crc, data.size());
    key = stored ? ~content : content;
    PST_ASSIGN_OR_RETURN(Bid shared, ShareIdentical(key, data, stored));
    if (shared != 0) return shared;
  }
  const Bid base = header_.next_block_bid;
  if (!l.wide && base + 4 > 0xFFFFFFFFull) {
    return Status::FormatLimit("ndb: block BIDs of the ANSI format are used up");
  }
  const uint64_t disk = BlockDiskSize(header_.format, data.size());
  PST_ASSIGN_OR_RETURN(uint64_t offset, db_.maps_.AllocateBlock(disk));
  header_.next_block_bid = base + 4;
  const Bid bid = internal ? base | 2 : base;
  const CryptMethod method = stored ? CryptMethod::kNone : header_.crypt_method;  // stored: encoded already
  if (!pending_.empty() &&
      (pending_offset_ + pending_.size() != offset || pending_.size() + disk > kMaxPendingWrite)) {
    Status flushed = Flush();
    if (!flushed.ok()) {
      (void)db_.maps_.Free(offset, disk);
      return flushed;
    }
  }
  if (pending_.empty()) {
    pending_offset_ = offset;
    pending_.reserve(kMaxPendingWrite);
  }
  // Made where it will be written from: the block is not copied again.
  const size_t at = pending_.size();
  pending_.resize(at + disk);
  Status encoded = EncodeBlockInto(header_.format, method, bid, offset, data,
                                   std::span<uint8_t>(pending_.data() + at, disk), data_crc);
  if (!encoded.ok()) {
    pending_.resize(at);
    (void)db_.maps_.Free(offset, disk);
    return encoded;
  }
  BlockEntry e;
  e.bid = bid;
  e.offset = offset;
  e.size = static_cast<uint16_t>(data.size());
  e.inflated_size = e.size;
  e.ref_count = 2;  // the caller's reference, plus one (see the top of this file)
  Status s = StoreBlockEntry(e);
  if (!s.ok()) broken_ = s;
  PST_RETURN_IF_ERROR(s);
  if (!internal) db_.identical_.Remember(key, bid);
  return bid;
}

Result<Bid> TransactionImpl::ShareIdentical(uint64_t key, ByteSpan data, bool stored) {
  const Bid candidate = db_.identical_.Candidate(key);
  if (candidate == 0) return Bid{0};
  // Whatever stands in the way of proving the bytes equal only costs the
  // share: the block is then written anew.
  auto entry = FindBlock(candidate);
  if (!entry.ok() || entry->bid != candidate || entry->size != data.size()) return Bid{0};
  auto earlier = ReadBlock(candidate);
  if (!earlier.ok()) return Bid{0};
  if (stored && !EncodeBlockData(header_.crypt_method, candidate, *earlier).ok()) return Bid{0};
  if (!std::equal(earlier->begin(), earlier->end(), data.begin(), data.end())) return Bid{0};
  PST_ASSIGN_OR_RETURN(bool taken, TryAddRef(candidate));
  return taken ? candidate : Bid{0};
}

Result<BlockEntry> TransactionImpl::FindBlock(Bid bid) const {
  const Bid key = bid & ~Bid{1};
  auto raw = db_.bbt_.Find(key);
  if (!raw.ok()) {
    if (raw.status().IsNotFound()) {
      return Status::NotFound("ndb: block " + Hex(key) + " is not in the block index");
    }
    return raw.status().WithContext("looking up block " + Hex(key));
  }
  return DecodeBlockEntry(header_.format, *raw);
}

Result<Bytes> TransactionImpl::ReadBlock(Bid bid) const {
  PST_ASSIGN_OR_RETURN(BlockEntry e, FindBlock(bid));
  const FormatLayout& l = LayoutOf(header_.format);
  if (e.size > l.max_block_data) {
    return Status::Corruption(BlockWhere(e.bid, e.offset) + ": size " + std::to_string(e.size) + " is too large");
  }
  const uint64_t disk = BlockDiskSize(header_.format, e.size);
  if (e.offset % l.block_alignment != 0 || !RangeWithin(e.offset, disk, db_.file_->Size())) {
    // A block still waiting in the write buffer is not in the file yet.
    if (pending_.empty() || e.offset < pending_offset_) {
      return Status::Corruption(BlockWhere(e.bid, e.offset) + " lies outside the file");
    }
  }
  Bytes image(disk);
  if (!pending_.empty() && e.offset >= pending_offset_ &&
      e.offset + disk <= pending_offset_ + pending_.size()) {
    std::copy_n(pending_.begin() + static_cast<ptrdiff_t>(e.offset - pending_offset_), disk,
                image.begin());
  } else {
    PST_RETURN_IF_ERROR(db_.file_->Read(e.offset, image));
  }
  StoredBlock stored{e.bid, e.offset, e.size, e.inflated_size};
  return DecodeBlock(header_.format, header_.crypt_method, stored, image);
}

Status TransactionImpl::ForEachNode(const std::function<Status(const NodeEntry&)>& fn) const {
  const Format f = header_.format;
  return db_.nbt_.ForEach([&](ByteSpan e) { return fn(DecodeNodeEntry(f, e)); });
}

Status TransactionImpl::ForEachBlock(const std::function<Status(const BlockEntry&)>& fn) const {
  const Format f = header_.format;
  return db_.bbt_.ForEach([&](ByteSpan e) { return fn(DecodeBlockEntry(f, e)); });
}

Status TransactionImpl::Discard(Bid bid) {
  PST_ASSIGN_OR_RETURN(BlockEntry e, FindBlock(bid));
  PST_RETURN_IF_ERROR(db_.bbt_.Remove(e.bid));
  return db_.maps_.Free(e.offset, BlockDiskSize(header_.format, e.size));
}

Result<Bid> TransactionImpl::WriteData(ByteSpan data) {
  PST_RETURN_IF_ERROR(Usable());
  const size_t max = LayoutOf(header_.format).max_block_data;
  DataTreeBuilder tree(*this, header_.format);
  for (size_t at = 0; at < data.size(); at += max) {
    PST_RETURN_IF_ERROR(tree.Add(data.subspan(at, std::min(max, data.size() - at))));
  }
  return tree.Finish();
}

Result<Bid> TransactionImpl::WriteBlocks(const std::vector<Bytes>& blocks) {
  PST_RETURN_IF_ERROR(Usable());
  DataTreeBuilder tree(*this, header_.format);
  for (const Bytes& b : blocks) PST_RETURN_IF_ERROR(tree.Add(b));
  return tree.Finish();
}

std::unique_ptr<BlocksInOrder> TransactionImpl::StartBlocks() { return StartDataTree(*this, header_.format); }

Result<Bid> TransactionImpl::WriteStream(uint64_t size, const StreamSource& source) {
  return WriteChunks(size, source, false);
}

Result<Bid> TransactionImpl::WriteChunks(uint64_t size, const StreamSource& source, bool stored) {
  PST_RETURN_IF_ERROR(Usable());
  const size_t max = LayoutOf(header_.format).max_block_data;
  if (size > 0xFFFFFFFFull) {
    return Status::InvalidArgument("ndb: node data of 4 GiB or more cannot be stored");
  }
  DataTreeBuilder tree(*this, header_.format);
  Bytes buffer(std::min<uint64_t>(max, size));
  for (uint64_t at = 0; at < size; at += max) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(max, size - at));
    std::span<uint8_t> chunk(buffer.data(), n);
    PST_RETURN_IF_ERROR(source(at, chunk));
    PST_RETURN_IF_ERROR(tree.Add(chunk, stored));
  }
  return tree.Finish();
}

Result<Bid> TransactionImpl::WriteStoredStream(uint64_t size, const StreamSource& plain,
                                               const StoredStreamSource& stored) {
  const CryptMethod method = header_.crypt_method;
  const bool takes_stored = stored.read && stored.encoding == method && StoredBytesMoveUnchanged(method);
  return takes_stored ? WriteChunks(size, stored.read, true) : WriteChunks(size, plain, false);
}

Status TransactionImpl::CheckBlockExists(Bid bid, const char* what) const {
  auto e = FindBlock(bid);
  if (e.ok()) return Status::Ok();
  if (e.status().IsNotFound()) {
    return Status::InvalidArgument(std::string("ndb: ") + what + " " + Hex(bid) +
                                   " names no block of the store");
  }
  return e.status();
}

void TransactionImpl::NoteNid(Nid nid) {
  // Keep every counter at least at the highest index in use, so a NID made
  // by hand (a folder's tables share its index) is never handed out again.
  const uint8_t type = NidTypeOf(nid);
  header_.nid_counters[type] = std::max(header_.nid_counters[type], NidIndexOf(nid));
}

Result<Bid> TransactionImpl::WriteSubnodeTree(std::vector<SubnodeEntry> entries) {
  PST_RETURN_IF_ERROR(Usable());
  for (const SubnodeEntry& e : entries) {
    if (e.data_bid != 0) PST_RETURN_IF_ERROR(CheckBlockExists(e.data_bid, "subnode data"));
    if (e.subnode_bid != 0) {
      if (!IsInternalBid(e.subnode_bid)) {
        return Status::InvalidArgument("ndb: subnode tree " + Hex(e.subnode_bid) +
                                       " is not an internal block");
      }
      PST_RETURN_IF_ERROR(CheckBlockExists(e.subnode_bid, "subnode tree"));
    }
  }
  for (const SubnodeEntry& e : entries) NoteNid(e.nid);
  return ndb::WriteSubnodeTree(*this, header_.format, std::move(entries));
}

Status TransactionImpl::AddRef(Bid bid) {
  PST_ASSIGN_OR_RETURN(bool taken, TryAddRef(bid));
  if (!taken) {
    return Status::FormatLimit("ndb: block " + Hex(bid & ~Bid{1}) + " cannot take more references");
  }
  return Status::Ok();
}

Result<bool> TransactionImpl::TryAddRef(Bid bid) {
  PST_RETURN_IF_ERROR(Usable());
  PST_ASSIGN_OR_RETURN(BlockEntry e, FindBlock(bid));
  if (e.ref_count == kMaxRefCount) return false;
  ++e.ref_count;
  PST_RETURN_IF_ERROR(StoreBlockEntry(e));
  return true;
}

Status TransactionImpl::CountForeignReferences() {
  if (counted_foreign_ || db_.counts_exact_) return Status::Ok();
  // The census reads the committed store; this transaction's own changes
  // to the counts are deltas on top of it, so corrections add up.
  PST_ASSIGN_OR_RETURN(ReferenceCensus census, ReferenceCensus::Take(db_.view_));
  std::vector<BlockEntry> fixes;
  PST_RETURN_IF_ERROR(db_.view_.ForEachBlock([&](const BlockEntry& e) {
    const uint64_t want = std::min<uint64_t>(census.Count(e.bid) + 1, kMaxRefCount);
    if (e.ref_count < want) {
      BlockEntry fix = e;
      fix.ref_count = static_cast<uint16_t>(want - e.ref_count);  // the delta
      fixes.push_back(fix);
    }
    return Status::Ok();
  }));
  for (const BlockEntry& f : fixes) {
    auto now = FindBlock(f.bid);
    if (!now.ok()) {
      if (now.status().IsNotFound()) continue;
      return now.status();
    }
    now->ref_count = static_cast<uint16_t>(
        std::min<uint64_t>(uint64_t{now->ref_count} + f.ref_count, kMaxRefCount));
    PST_RETURN_IF_ERROR(StoreBlockEntry(*now));
  }
  counted_foreign_ = true;
  foreign_counts_incomplete_ = !census.complete();
  return Status::Ok();
}

Status TransactionImpl::Release(Bid root) {
  PST_RETURN_IF_ERROR(Usable());
  if (root == 0) return Status::InvalidArgument("ndb: release of BID 0");
  // Iterative, so a deep or looping tree in a damaged file cannot exhaust
  // the stack; a freed block leaves the index first, so a loop ends in
  // NotFound.
  std::vector<Bid> work{root & ~Bid{1}};
  while (!work.empty()) {
    const Bid bid = work.back();
    work.pop_back();
    auto found = FindBlock(bid);
    if (!found.ok()) {
      return found.status().IsNotFound()
                 ? Status::Corruption("ndb: release of block " + Hex(bid) +
                                      ", which is not in the block index")
                 : found.status();
    }
    BlockEntry e = *found;
    if (e.ref_count <= 2 && bid < db_.foreign_bid_limit_ && !db_.counts_exact_) {
      PST_RETURN_IF_ERROR(CountForeignReferences());
      PST_ASSIGN_OR_RETURN(e, FindBlock(bid));
      if (foreign_counts_incomplete_ && e.ref_count <= 2) {
        // Some tree could not be read, so this count cannot be trusted:
        // keep the block rather than risk freeing one still in use.
        if (e.ref_count > 1) --e.ref_count;
        PST_RETURN_IF_ERROR(StoreBlockEntry(e));
        continue;
      }
    }
    if (e.ref_count > 2) {
      --e.ref_count;
      PST_RETURN_IF_ERROR(StoreBlockEntry(e));
      continue;
    }
    if (IsInternalBid(bid)) {
      PST_ASSIGN_OR_RETURN(Bytes data, ReadBlock(bid));
      PST_ASSIGN_OR_RETURN(std::vector<Bid> children, ChildrenOfBlock(header_.format, bid, data));
      for (Bid c : children) work.push_back(c & ~Bid{1});
    }
    PST_RETURN_IF_ERROR(db_.bbt_.Remove(bid));
    PST_RETURN_IF_ERROR(db_.maps_.Free(e.offset, BlockDiskSize(header_.format, e.size)));
  }
  return Status::Ok();
}

Result<Nid> TransactionImpl::AllocateNid(uint8_t nid_type) {
  PST_RETURN_IF_ERROR(Usable());
  if (nid_type >= 32) return Status::InvalidArgument("ndb: NID type " + Hex(nid_type) + " is invalid");
  uint32_t& counter = header_.nid_counters[nid_type];
  if (counter >= (1u << 27) - 1) {
    return Status::FormatLimit("ndb: NIDs of type " + Hex(nid_type) + " are used up");
  }
  ++counter;
  return MakeNid(nid_type, counter);
}

Status TransactionImpl::RaiseNidCounter(uint8_t nid_type, uint32_t index) {
  PST_RETURN_IF_ERROR(Usable());
  if (nid_type >= 32 || index >= (1u << 27)) {
    return Status::InvalidArgument("ndb: NID counter " + Hex(nid_type) + " cannot reach " + Hex(index));
  }
  uint32_t& counter = header_.nid_counters[nid_type];
  if (counter < index) counter = index;
  return Status::Ok();
}

Status TransactionImpl::PutNode(const NodeEntry& entry) {
  PST_RETURN_IF_ERROR(Usable());
  if (entry.nid == 0) return Status::InvalidArgument("ndb: node with NID 0");
  if (entry.data_bid != 0) PST_RETURN_IF_ERROR(CheckBlockExists(entry.data_bid, "node data"));
  if (entry.subnode_bid != 0) {
    if (!IsInternalBid(entry.subnode_bid)) {
      return Status::InvalidArgument("ndb: subnode tree " + Hex(entry.subnode_bid) + " of node " +
                                     Hex(entry.nid) + " is not an internal block");
    }
    PST_RETURN_IF_ERROR(CheckBlockExists(entry.subnode_bid, "subnode tree"));
  }
  std::optional<NodeEntry> old;
  auto found = FindNode(entry.nid);
  if (found.ok()) {
    old = *found;
  } else if (!found.status().IsNotFound()) {
    return found.status();
  }
  Bytes raw(db_.nbt_.leaf_entry_size());
  EncodeNodeEntry(header_.format, entry, raw);
  PST_RETURN_IF_ERROR(db_.nbt_.Put(raw));
  NoteNid(entry.nid);
  if (old) {
    if (old->data_bid != 0) PST_RETURN_IF_ERROR(Release(old->data_bid));
    if (old->subnode_bid != 0) PST_RETURN_IF_ERROR(Release(old->subnode_bid));
  }
  return Status::Ok();
}

Status TransactionImpl::DeleteNode(Nid nid) {
  PST_RETURN_IF_ERROR(Usable());
  PST_ASSIGN_OR_RETURN(NodeEntry e, FindNode(nid));
  PST_RETURN_IF_ERROR(db_.nbt_.Remove(nid));
  if (e.data_bid != 0) PST_RETURN_IF_ERROR(Release(e.data_bid));
  if (e.subnode_bid != 0) PST_RETURN_IF_ERROR(Release(e.subnode_bid));
  return Status::Ok();
}

Result<NodeEntry> TransactionImpl::FindNode(Nid nid) const {
  auto raw = db_.nbt_.Find(nid);
  if (!raw.ok()) {
    if (raw.status().IsNotFound()) {
      return Status::NotFound("ndb: node " + Hex(nid) + " is not in the node index");
    }
    return raw.status().WithContext("looking up node " + Hex(nid));
  }
  return DecodeNodeEntry(header_.format, *raw);
}

Result<std::unique_ptr<NodeData>> TransactionImpl::OpenNode(Nid nid) const {
  return view_->OpenNode(nid);
}

Result<std::unique_ptr<NodeData>> TransactionImpl::OpenNodeFromBids(Nid nid, Bid data_bid,
                                                                    Bid subnode_bid) const {
  return view_->OpenNodeFromBids(nid, data_bid, subnode_bid);
}

Status TransactionImpl::Commit() {
  PST_RETURN_IF_ERROR(Usable());
  Status s = Flush();
  if (s.ok()) s = db_.CommitTransaction(*this);
  if (!s.ok() && !ended_) {
    db_.AbandonTransaction();
  }
  ended_ = true;
  return s;
}

}  // namespace pst::ndb
