// Opening a store at the node-database level and reading its blocks.
//
// NBTENTRY ([MS-PST] 2.2.2.7.7.4), ANSI 16 / Unicode 32 bytes:
//   nid 4/8 (NID widened), bidData 4/8, bidSub 4/8, nidParent 4, (Unicode) dwPadding 4
// BBTENTRY ([MS-PST] 2.2.2.7.7.3), ANSI 12 / Unicode 24 bytes:
//   BREF 8/16, cb 2, cRef 2, (Unicode) dwPadding 4
// In the 4K variant the BBTENTRY is BREF 16, cb 2, cbInflated 2, cRef 2, 2 unused.
#include "pst/ndb/database.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "pst/base/byte_reader.h"
#include "pst/base/checked_math.h"
#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/base/id_set.h"
#include "pst/ndb/context.h"
#include "pst/ndb/block.h"
#include "pst/ndb/crypt.h"
#include "pst/ndb/database_impl.h"
#include "pst/ndb/node_data_impl.h"
#include "pst/ndb/page.h"

namespace pst::ndb {

NodeEntry DecodeNodeEntry(Format format, ByteSpan entry) {
  ByteReader r(entry);
  const bool wide = LayoutOf(format).wide;
  NodeEntry e;
  e.nid = static_cast<Nid>(r.U32or64(wide));
  e.data_bid = r.U32or64(wide);
  e.subnode_bid = r.U32or64(wide);
  e.parent_nid = r.U32();
  return e;
}

BlockEntry DecodeBlockEntry(Format format, ByteSpan entry) {
  ByteReader r(entry);
  const bool wide = LayoutOf(format).wide;
  BlockEntry e;
  e.bid = r.U32or64(wide);
  e.offset = r.U32or64(wide);
  e.size = r.U16();
  if (format == Format::kUnicode4k) {
    e.inflated_size = r.U16();
  } else {
    e.inflated_size = e.size;
  }
  e.ref_count = r.U16();
  return e;
}

void EncodeNodeEntry(Format format, const NodeEntry& e, std::span<uint8_t> entry) {
  uint8_t* p = entry.data();
  std::fill_n(p, NbtLeafEntrySize(format), 0);
  if (LayoutOf(format).wide) {
    EncodeFixed64(p, e.nid);
    EncodeFixed64(p + 8, e.data_bid);
    EncodeFixed64(p + 16, e.subnode_bid);
    EncodeFixed32(p + 24, e.parent_nid);
  } else {
    EncodeFixed32(p, e.nid);
    EncodeFixed32(p + 4, static_cast<uint32_t>(e.data_bid));
    EncodeFixed32(p + 8, static_cast<uint32_t>(e.subnode_bid));
    EncodeFixed32(p + 12, e.parent_nid);
  }
}

void EncodeBlockEntry(Format format, const BlockEntry& e, std::span<uint8_t> entry) {
  uint8_t* p = entry.data();
  std::fill_n(p, BbtLeafEntrySize(format), 0);
  if (LayoutOf(format).wide) {
    EncodeFixed64(p, e.bid);
    EncodeFixed64(p + 8, e.offset);
    p += 16;
  } else {
    EncodeFixed32(p, static_cast<uint32_t>(e.bid));
    EncodeFixed32(p + 4, static_cast<uint32_t>(e.offset));
    p += 8;
  }
  EncodeFixed16(p, e.size);
  if (format == Format::kUnicode4k) {
    EncodeFixed16(p + 2, e.inflated_size);
    EncodeFixed16(p + 4, e.ref_count);
  } else {
    EncodeFixed16(p + 2, e.ref_count);
  }
}

Result<std::unique_ptr<Database>> Database::Open(
    std::shared_ptr<const io::RandomAccessFile> file, DamageLog* salvage) {
  if (file == nullptr) return Status::InvalidArgument("ndb: no file to open");
  const uint64_t want = 564;
  const size_t n = static_cast<size_t>(file->Size() < want ? file->Size() : want);
  Bytes head(n);
  PST_RETURN_IF_ERROR(file->Read(0, head));
  PST_ASSIGN_OR_RETURN(Header header, DecodeHeader(head));
  auto db = std::make_unique<DatabaseImpl>(std::move(file), std::move(header));
  db->ReadThroughDamage(salvage);
  PST_RETURN_IF_ERROR(db->Init());
  return std::unique_ptr<Database>(std::move(db));
}

DatabaseImpl::DatabaseImpl(std::shared_ptr<const io::RandomAccessFile> file, Header header)
    : file_(std::move(file)),
      header_(std::move(header)),
      nbt_(file_.get(), header_.format, BTreeReader::Kind::kNodes, header_.root.nbt_root),
      bbt_(file_.get(), header_.format, BTreeReader::Kind::kBlocks, header_.root.bbt_root) {}

Status DatabaseImpl::Init() {
  Status nbt = nbt_.CheckRoot();
  Status bbt = nbt.ok() ? bbt_.CheckRoot() : nbt;
  if (bbt.ok() || salvage_.load() == nullptr) return bbt;
  // Salvage: a root page that is lost (cut off, overwritten) leaves the
  // scan of the file, if that finds the store object's node at least.
  const ScanIndex* scan = Scan();
  if (scan == nullptr || !scan->FindNode(kNidMessageStore)) return bbt;
  salvage_.load()->Add({0, 0, "B-tree root unreadable, the file is read by a scan: " + bbt.message()});
  return Status::Ok();
}

const ScanIndex* DatabaseImpl::Scan() const {
  std::call_once(scan_once_, [this] {
    auto scan = ScanIndex::Build(*file_, format());
    if (scan.ok()) scan_ = std::move(scan).value();
  });
  return scan_.get();
}

Result<NodeEntry> DatabaseImpl::FindNode(Nid nid) const {
  auto entry = nbt_.Find(nid);
  DamageLog* log = salvage_.load();
  if (!entry.ok() && log != nullptr && entry.status().code() == Status::Code::kCorruption) {
    // Salvage: the path to the entry is damaged; a scan may still know it.
    const ScanIndex* scan = Scan();
    if (auto found = scan ? scan->FindNode(nid) : std::nullopt) {
      log->Add({found->data_bid, 0, "node " + Hex(nid) + " found by a scan of the file: " +
                                        entry.status().message()});
      return *found;
    }
  }
  if (!entry.ok()) {
    if (entry.status().IsNotFound()) {
      return Status::NotFound("ndb: node " + Hex(nid) + " is not in the node index");
    }
    return InContext(entry.status(), "ndb: looking up node " + Hex(nid));
  }
  return DecodeNodeEntry(format(), *entry);
}

Result<BlockEntry> DatabaseImpl::FindBlock(Bid bid) const {
  const Bid key = bid & ~Bid{1};
  auto entry = bbt_.Find(key);
  DamageLog* log = salvage_.load();
  if (!entry.ok() && log != nullptr && entry.status().code() != Status::Code::kIOError) {
    // Salvage: a block a node names exists; the scan finds it by its trailer.
    const ScanIndex* scan = Scan();
    if (auto found = scan ? scan->FindBlock(key) : std::nullopt) {
      log->Add({key, found->offset, "block found by a scan of the file: " + entry.status().message()});
      return *found;
    }
  }
  if (!entry.ok()) {
    if (entry.status().IsNotFound()) {
      return Status::NotFound("ndb: block " + Hex(key) + " is not in the block index");
    }
    return InContext(entry.status(), "ndb: looking up block " + Hex(key));
  }
  return DecodeBlockEntry(format(), *entry);
}

Status DatabaseImpl::ForEachNode(const std::function<Status(const NodeEntry&)>& fn) const {
  const Format f = format();
  DamageLog* log = salvage_.load();
  if (log == nullptr) return nbt_.ForEach([&](ByteSpan e) { return fn(DecodeNodeEntry(f, e)); });
  // Salvage: what the walk skipped (a damaged page, a lost root) comes from
  // the scan, for the NIDs the walk did not give; those come last. (The
  // NIDs given are kept in a set of about a bit each: a store may hold
  // millions of nodes, and every salvaging conversion walks them all.)
  IdSet seen;
  size_t skipped = 0;
  bool fn_failed = false;
  Status walk = nbt_.ForEach(
      [&](ByteSpan e) {
        const NodeEntry entry = DecodeNodeEntry(f, e);
        seen.Insert(entry.nid);
        Status s = fn(entry);
        fn_failed = !s.ok();
        return s;
      },
      &skipped);
  if (fn_failed) return walk;
  if (walk.ok() && skipped == 0) return walk;
  const ScanIndex* scan = Scan();
  if (scan == nullptr) return walk;
  for (const NodeEntry& e : scan->nodes()) {
    if (seen.Contains(e.nid)) continue;
    // Older copies of pages still list deleted nodes. Where the live tree
    // can still be searched for the NID it has the last word, and a deleted
    // node's data block has left the block index too.
    if (nbt_.Find(e.nid).status().IsNotFound()) continue;
    if (e.data_bid != 0 && bbt_.Find(e.data_bid & ~Bid{1}).status().IsNotFound()) continue;
    PST_RETURN_IF_ERROR(fn(e));
  }
  return Status::Ok();
}

Status DatabaseImpl::ForEachBlock(const std::function<Status(const BlockEntry&)>& fn) const {
  const Format f = format();
  return bbt_.ForEach([&](ByteSpan e) { return fn(DecodeBlockEntry(f, e)); });
}

Result<Bytes> DatabaseImpl::LoadBlock(Bid bid, bool stored) const {
  const Bid key = bid & ~Bid{1};
  if (IsInternalBid(key)) {  // only internal blocks are kept (below)
    std::lock_guard<std::mutex> lock(mu_);
    auto it = cache_.find(key);
    if (it != cache_.end()) {
      lru_.splice(lru_.begin(), lru_, it->second);
      return Bytes(*it->second->second);
    }
  }
  if (key == 0) return Status::NotFound("ndb: BID 0 names no block");
  PST_ASSIGN_OR_RETURN(BlockEntry entry, FindBlock(key));
  return LoadEntry(entry, stored);
}

Result<Bytes> DatabaseImpl::LoadEntry(const BlockEntry& entry, bool stored,
                                      BlockSequence* sequence) const {
  const Bid key = entry.bid & ~Bid{1};
  const FormatLayout& l = LayoutOf(format());
  auto where = [&] { return BlockWhere(key, entry.offset); };
  if (entry.size > l.max_block_data || entry.inflated_size > l.max_block_data) {
    return Status::Corruption(where() + ": size " + std::to_string(entry.size) + "/" +
                              std::to_string(entry.inflated_size) +
                              " exceeds the largest block of the format");
  }
  const uint64_t disk = BlockDiskSize(format(), entry.size);
  if (entry.offset % l.block_alignment != 0) {
    return Status::Corruption(where() + " is not aligned to " + std::to_string(l.block_alignment) +
                              " bytes");
  }
  if (!RangeWithin(entry.offset, disk, file_->Size())) {
    return Status::Corruption(where() + ": " + std::to_string(disk) +
                              " bytes pass the end of the file (" +
                              std::to_string(file_->Size()) + " bytes)");
  }
  // Resizing the spare buffer, of about a block's size, zeroes next to nothing.
  Bytes image = sequence != nullptr ? std::move(sequence->spare) : Bytes();
  image.resize(static_cast<size_t>(disk));
  Status read = ReadImage(entry.offset, image, sequence);
  if (!read.ok()) return InContext(read, where());
  StoredBlock block{key, entry.offset, entry.size, entry.inflated_size};
  DamageLog* log = salvage_.load();
  std::string damage;
  // Internal blocks are never encoded, so the cache below holds the same
  // bytes either way.
  PST_ASSIGN_OR_RETURN(Bytes data, DecodeBlock(format(), stored ? CryptMethod::kNone : crypt_method(),
                                               block, std::move(image), log != nullptr ? &damage : nullptr));
  if (!damage.empty()) log->Add({key, entry.offset, damage});
  if (IsInternalBid(key) && damage.empty()) {
    std::lock_guard<std::mutex> lock(mu_);
    if (cache_.find(key) == cache_.end()) {
      auto ptr = std::make_shared<const Bytes>(data);
      lru_.emplace_front(key, ptr);
      cache_[key] = lru_.begin();
      cached_bytes_ += ptr->size();
      while (cached_bytes_ > kBlockCacheBytes && !lru_.empty()) {
        cached_bytes_ -= lru_.back().second->size();
        cache_.erase(lru_.back().first);
        lru_.pop_back();
      }
    }
  }
  return data;
}

Status DatabaseImpl::ReadImage(uint64_t offset, std::span<uint8_t> image,
                               BlockSequence* sequence) const {
  if (sequence == nullptr) return file_->Read(offset, image);
  BufferBytes& ahead = sequence->ahead;
  const uint64_t ahead_offset = sequence->ahead_offset;
  if (offset >= ahead_offset && offset - ahead_offset <= ahead.size() &&
      image.size() <= ahead.size() - (offset - ahead_offset)) {
    std::memcpy(image.data(), ahead.data() + (offset - ahead_offset), image.size());
    return Status::Ok();
  }
  // One read for the run of next blocks that lie back to back after this
  // one: a read of the file costs far more than copying a block.
  const FormatLayout& l = LayoutOf(format());
  uint64_t end = offset + image.size();
  for (const BlockEntry& next : sequence->next) {
    if (next.offset != end || next.size > l.max_block_data) break;
    const uint64_t next_end = end + BlockDiskSize(format(), next.size);
    if (next_end - offset > kReadAheadBytes || next_end > file_->Size()) break;
    end = next_end;
  }
  ahead.clear();
  if (end == offset + image.size()) return file_->Read(offset, image);
  ahead.resize(static_cast<size_t>(end - offset));
  if (!file_->Read(offset, ahead).ok()) {
    // Let the block's own read give the error, or find its bytes after all.
    ahead.clear();
    return file_->Read(offset, image);
  }
  sequence->ahead_offset = offset;
  std::memcpy(image.data(), ahead.data(), image.size());
  return Status::Ok();
}

void DatabaseImpl::ReadThroughDamage(DamageLog* log) const {
  salvage_.store(log);
  nbt_.ReadThroughDamage(log);
  bbt_.ReadThroughDamage(log);
}

Result<Bytes> DatabaseImpl::ReadBlock(Bid bid) const { return LoadBlock(bid); }

Result<Bytes> Database::ReadStoredBlock(Bid bid) const {
  PST_ASSIGN_OR_RETURN(Bytes data, ReadBlock(bid));
  if (!IsInternalBid(bid)) PST_RETURN_IF_ERROR(EncodeBlockData(crypt_method(), bid, data));
  return data;
}

Result<Bytes> DatabaseImpl::ReadStoredBlock(Bid bid) const {
  // A compressed block of an encoded 4K store would come back inflated,
  // which is not the stored form.
  if (format() == Format::kUnicode4k && crypt_method() != CryptMethod::kNone) {
    return Status::NotSupported("ndb: blocks of an encoded 4K store are not given as stored");
  }
  return LoadBlock(bid, true);
}

Result<Bytes> DatabaseImpl::ReadBlockOf(const BlockEntry& entry, bool stored,
                                        BlockSequence* sequence) const {
  // Internal blocks go through the cache; ReadStoredBlock refuses what it must.
  const bool refused = stored && format() == Format::kUnicode4k && crypt_method() != CryptMethod::kNone;
  if (IsInternalBid(entry.bid) || refused) return Database::ReadBlockOf(entry, stored);
  return LoadEntry(entry, stored, sequence);
}

Result<std::unique_ptr<NodeData>> DatabaseImpl::OpenNode(Nid nid) const {
  PST_ASSIGN_OR_RETURN(NodeEntry entry, FindNode(nid));
  return OpenNodeFromBids(entry.nid, entry.data_bid, entry.subnode_bid);
}

Result<std::unique_ptr<NodeData>> DatabaseImpl::OpenNodeFromBids(Nid nid, Bid data_bid,
                                                                 Bid subnode_bid) const {
  return TreeNodeData::Open(*this, nid, data_bid, subnode_bid);
}

}  // namespace pst::ndb
