// Opening and creating stores for update, and committing transactions.
//
// Commit order. The header is the one switch between the old state and the
// new one; everything else is arranged so that whatever prefix of our
// writes reaches the disk, the file opens as before or as after:
//  1. During the transaction new blocks were written, and at commit the new
//     B-tree pages and the map pages of regions the file grows by; all of
//     them into space the committed state does not use (space freed by a
//     transaction is reused only after the commit that frees it). Nothing
//     the old header reaches has changed.
//  2. If map pages of the old state must change (they live at fixed places
//     and are rewritten in place): the header is written again with the OLD
//     roots and fAMapValid = 0, then sync. A reader still sees the old
//     state; a writer (ours, or Outlook) rebuilds the maps from the B-trees
//     before allocating. Then the map pages are rewritten and a stale
//     density list is cleared.
//  3. Sync: blocks, pages and maps are durable before the header names them.
//  4. The header with the new roots, counters, ibFileEof, ibAMapLast,
//     cbAMapFree and fAMapValid = 2; sync.
// A kill before the step-2 header leaves the old header and maps; between
// the two headers the old roots with maps marked invalid; after step 4 the
// new state. If a write fails past step 2 the writer puts the step-2
// header back (best effort) and refuses further transactions: the store
// must be opened again. dwUnique changes with every header written.
//
// The one gap this cannot close is a torn header write (a Unicode header
// spans two 512-byte sectors); Outlook has the same exposure.
#include <algorithm>
#include <string>

#include "pst/base/hex.h"
#include "pst/ndb/block.h"
#include "pst/ndb/page.h"
#include "pst/ndb/writable_database_impl.h"

namespace pst::ndb {

namespace {

constexpr uint64_t kDListOffset = 0x4200;
constexpr uint16_t kClientVersion = 19;

Status Unsupported(const Header& h) {
  if (h.format == Format::kUnicode4k) {
    return Status::NotSupported("ndb: updating stores with 4 KiB pages is not supported");
  }
  if (h.client_magic != 0x4D53) {
    return Status::NotSupported("ndb: only personal folders (PST) files can be updated");
  }
  return Status::Ok();
}

}  // namespace

Result<std::unique_ptr<WritableDatabase>> WritableDatabase::Open(
    std::shared_ptr<io::WritableFile> file, const WriteOptions& options) {
  PST_ASSIGN_OR_RETURN(auto db, WritableDatabaseImpl::OpenExisting(std::move(file), options));
  return std::unique_ptr<WritableDatabase>(std::move(db));
}

Result<std::unique_ptr<WritableDatabase>> WritableDatabase::Create(
    std::shared_ptr<io::WritableFile> file, Format format, CryptMethod crypt,
    const WriteOptions& options) {
  PST_ASSIGN_OR_RETURN(auto db,
                       WritableDatabaseImpl::CreateNew(std::move(file), format, crypt, options));
  return std::unique_ptr<WritableDatabase>(std::move(db));
}

WritableDatabaseImpl::WritableDatabaseImpl(std::shared_ptr<io::WritableFile> file,
                                           const WriteOptions& options, Header header,
                                           uint64_t extent)
    : file_(std::move(file)),
      options_(options),
      committed_(std::move(header)),
      maps_(committed_.format, extent, options.max_file_size),
      nbt_(file_.get(), committed_.format, BTreeWriter::Kind::kNodes, committed_.root.nbt_root,
           [this](const BlockRef& p) { return maps_.Free(p.offset, AllocationMap::kPageSize); }),
      bbt_(file_.get(), committed_.format, BTreeWriter::Kind::kBlocks, committed_.root.bbt_root,
           [this](const BlockRef& p) { return maps_.Free(p.offset, AllocationMap::kPageSize); }) {}

WritableDatabaseImpl::~WritableDatabaseImpl() {
  if (active_ != nullptr) {
    active_->ended_ = true;  // detach: the transaction can do nothing more
    AbandonTransaction();
  }
}

Result<std::unique_ptr<WritableDatabaseImpl>> WritableDatabaseImpl::OpenExisting(
    std::shared_ptr<io::WritableFile> file, const WriteOptions& options) {
  if (file == nullptr) return Status::InvalidArgument("ndb: no file to open");
  const size_t n = static_cast<size_t>(std::min<uint64_t>(file->Size(), 564));
  Bytes head(n);
  PST_RETURN_IF_ERROR(file->Read(0, head));
  PST_ASSIGN_OR_RETURN(Header header, DecodeHeader(head));
  PST_RETURN_IF_ERROR(Unsupported(header));
  const uint64_t eof = header.root.file_eof;
  if (eof < AllocationMap::kFirstRegion + 2 * AllocationMap::kPageSize || eof > file->Size()) {
    return Status::Corruption("ndb: file header: ibFileEof " + Hex(eof) + " does not fit the file (" +
                              std::to_string(file->Size()) + " bytes)");
  }
  std::unique_ptr<WritableDatabaseImpl> db(
      new WritableDatabaseImpl(file, options, std::move(header), eof));
  PST_ASSIGN_OR_RETURN(auto reader, Database::Open(file));
  db->view_.Reset(std::move(reader));
  PST_RETURN_IF_ERROR(db->PrepareMaps());
  Bytes dlist(AllocationMap::kPageSize);
  PST_RETURN_IF_ERROR(file->Read(kDListOffset, dlist));
  db->clear_dlist_ = std::any_of(dlist.begin(), dlist.end(), [](uint8_t b) { return b != 0; });
  db->foreign_bid_limit_ = db->committed_.next_block_bid;
  db->counts_exact_ = false;
  return db;
}

Status WritableDatabaseImpl::PrepareMaps() {
  const Format format = committed_.format;
  const uint64_t eof = committed_.root.file_eof;
  const FormatLayout& l = LayoutOf(format);
  bool valid = committed_.root.amap_valid != 0;
  if (valid && !maps_.Load(*file_, eof).ok()) valid = false;

  // Everything the B-trees reference must be marked in use; when the maps
  // say otherwise (or are marked invalid) they are rebuilt from this walk.
  uint64_t max_page_bid = 0;
  uint64_t max_block_bid = 0;
  auto walk = [&](const std::function<Status(uint64_t, uint64_t, const char*)>& use) -> Status {
    for (const auto& tree : {std::pair{BTreeWriter::Kind::kNodes, committed_.root.nbt_root},
                             std::pair{BTreeWriter::Kind::kBlocks, committed_.root.bbt_root}}) {
      // Named copies: a lambda may not capture structured bindings before clang 16.
      const BTreeWriter::Kind kind = tree.first;
      const BlockRef root = tree.second;
      PST_RETURN_IF_ERROR(BTreeWriter::ForEachPage(
          *file_, format, kind, root, [&](const BlockRef& ref, uint8_t) {
            max_page_bid = std::max(max_page_bid, ref.bid);
            return use(ref.offset, AllocationMap::kPageSize,
                       kind == BTreeWriter::Kind::kNodes ? "NBT page" : "BBT page");
          }));
    }
    return view_.ForEachBlock([&](const BlockEntry& e) -> Status {
      max_block_bid = std::max(max_block_bid, e.bid);
      if (e.size > l.max_block_data) {
        return Status::Corruption("ndb: block " + Hex(e.bid) + " has size " +
                                  std::to_string(e.size) + ", more than a block holds");
      }
      return use(e.offset, BlockDiskSize(format, e.size), "block");
    });
  };
  if (valid) {
    PST_RETURN_IF_ERROR(walk([&](uint64_t offset, uint64_t size, const char*) {
      if (!maps_.IsUsed(offset, size)) valid = false;
      return Status::Ok();
    }));
  }
  if (!valid) {
    maps_ = AllocationMap(format, eof, options_.max_file_size);
    Status s = walk([&](uint64_t offset, uint64_t size, const char* what) {
      return maps_.MarkUsed(offset, size, what);
    });
    if (!s.ok()) return s.WithContext("ndb: the store cannot be updated");
    maps_.MarkAllRewrite(true);
  }
  // Counters that lag behind what is in use would hand out a BID twice.
  committed_.next_block_bid =
      std::max<uint64_t>((committed_.next_block_bid + 3) & ~uint64_t{3}, (max_block_bid | 3) + 1);
  committed_.next_page_bid = std::max(committed_.next_page_bid, max_page_bid + 1);
  return Status::Ok();
}

Result<std::unique_ptr<WritableDatabaseImpl>> WritableDatabaseImpl::CreateNew(
    std::shared_ptr<io::WritableFile> file, Format format, CryptMethod crypt,
    const WriteOptions& options) {
  if (file == nullptr) return Status::InvalidArgument("ndb: no file to create the store in");
  if (options.max_file_size < AllocationMap::kFirstRegion + AllocationMap::kRegionSize) {
    return Status::SizeLimit("ndb: a store needs at least " +
                             std::to_string(AllocationMap::kFirstRegion + AllocationMap::kRegionSize) +
                             " bytes; the size limit is " + std::to_string(options.max_file_size));
  }
  if (file->Size() != 0) {
    return Status::InvalidArgument("ndb: a new store needs an empty file; " + file->Name() +
                                   " has " + std::to_string(file->Size()) + " bytes");
  }
  if (crypt != CryptMethod::kNone && crypt != CryptMethod::kPermute &&
      crypt != CryptMethod::kCyclic) {
    return Status::InvalidArgument("ndb: unknown encoding " + Hex(static_cast<uint8_t>(crypt)));
  }
  Header h;
  h.format = format;
  h.version = DefaultVersion(format);
  h.client_version = kClientVersion;
  h.client_magic = 0x4D53;  // "SM"
  h.crypt_method = crypt;
  PST_RETURN_IF_ERROR(Unsupported(h));
  h.next_block_bid = 4;  // bidIndex 1: BID 0 means "no block"
  h.next_page_bid = 1;
  h.unique = 0;
  // Each counter holds the last index handed out ([MS-PST] 2.2.2.6).
  h.nid_counters.fill(0x400);
  h.nid_counters[kNidTypeSearchFolder] = 0x4000;
  h.nid_counters[kNidTypeNormalMessage] = 0x10000;
  h.nid_counters[kNidTypeAssocMessage] = 0x8000;
  std::unique_ptr<WritableDatabaseImpl> db(
      new WritableDatabaseImpl(std::move(file), options, std::move(h), 0));
  db->header_on_disk_ = false;
  // An empty transaction writes the maps, the two empty B-tree roots and the
  // header.
  PST_ASSIGN_OR_RETURN(auto txn, db->Begin());
  PST_RETURN_IF_ERROR(txn->Commit());
  return db;
}

Result<std::unique_ptr<Transaction>> WritableDatabaseImpl::Begin() {
  if (!poisoned_.ok()) {
    return poisoned_.WithContext("ndb: an earlier commit failed; open the store again");
  }
  if (active_ != nullptr) {
    return Status::InvalidArgument("ndb: a transaction is already open on this store");
  }
  auto txn = std::make_unique<TransactionImpl>(*this);
  active_ = txn.get();
  return std::unique_ptr<Transaction>(std::move(txn));
}

void WritableDatabaseImpl::AbandonTransaction() {
  if (active_ == nullptr) return;
  active_ = nullptr;
  maps_.Abandon();
  nbt_.Abandon();
  bbt_.Abandon();
  // Blocks written past the committed end are garbage now. After a failed
  // commit the header on disk may name more, so then nothing is cut.
  if (poisoned_.ok() && header_on_disk_ && file_->Size() > maps_.committed_extent()) {
    (void)file_->Truncate(maps_.committed_extent());
  }
}

Status WritableDatabaseImpl::WriteHeader(const Header& header) {
  PST_ASSIGN_OR_RETURN(Bytes bytes, EncodeHeader(header));
  return file_->Write(0, bytes);
}

Status WritableDatabaseImpl::Poison(const Status& why) {
  poisoned_ = why;
  // Put back a header that names the old state with maps marked invalid:
  // whatever the map pages hold now, the next writer rebuilds them.
  Header h1 = committed_;
  h1.root.amap_valid = 0;
  h1.unique = committed_.unique + 1;
  if (header_on_disk_ && WriteHeader(h1).ok()) (void)file_->Sync();
  return why;
}

Status WritableDatabaseImpl::CommitTransaction(TransactionImpl& txn) {
  if (!poisoned_.ok()) return poisoned_;
  Header h = txn.header_;
  auto allocate = [this]() { return maps_.AllocatePage(); };
  auto write = [this](uint64_t offset, ByteSpan bytes) { return file_->Write(offset, bytes); };
  uint64_t next_page = h.next_page_bid;
  PST_ASSIGN_OR_RETURN(BlockRef nbt_root, nbt_.Flush(allocate, &next_page, write));
  PST_ASSIGN_OR_RETURN(BlockRef bbt_root, bbt_.Flush(allocate, &next_page, write));
  h.next_page_bid = next_page;
  h.root.nbt_root = nbt_root;
  h.root.bbt_root = bbt_root;
  h.root.file_eof = maps_.extent();
  h.root.last_amap_offset = maps_.last_amap();
  h.root.amap_free = maps_.free_bytes();
  h.root.pmap_free = 0;
  h.root.amap_valid = 2;
  h.unique = committed_.unique + 2;  // +1 is the interim header's

  const std::vector<AllocationMap::PageToWrite> pages = maps_.PagesToWrite();
  bool in_place = clear_dlist_;
  for (const auto& p : pages) {
    if (p.new_region || !header_on_disk_) {
      PST_RETURN_IF_ERROR(file_->Write(p.offset, maps_.ImageOf(p)));
    } else {
      in_place = true;
    }
  }
  if (file_->Size() != maps_.extent()) PST_RETURN_IF_ERROR(file_->Truncate(maps_.extent()));

  if (in_place && header_on_disk_) {
    Header h1 = committed_;
    h1.root.amap_valid = 0;
    h1.unique = committed_.unique + 1;
    Status s = WriteHeader(h1);
    if (s.ok()) s = file_->Sync();
    for (const auto& p : pages) {
      if (s.ok() && !p.new_region) s = file_->Write(p.offset, maps_.ImageOf(p));
    }
    if (s.ok() && clear_dlist_) s = file_->Write(kDListOffset, Bytes(AllocationMap::kPageSize, 0));
    if (s.ok()) s = file_->Sync();
    if (!s.ok()) return Poison(s);
  } else {
    PST_RETURN_IF_ERROR(file_->Sync());
  }
  PST_ASSIGN_OR_RETURN(Bytes encoded, EncodeHeader(h));
  Status s = file_->Write(0, encoded);
  if (s.ok()) s = file_->Sync();
  if (!s.ok()) {
    if (!header_on_disk_) return s;  // a new file: there is no old state to keep
    return Poison(s);
  }

  h.raw = std::move(encoded);
  committed_ = std::move(h);
  header_on_disk_ = true;
  maps_.Commit();
  maps_.MarkWritten();
  nbt_.Committed(nbt_root);
  bbt_.Committed(bbt_root);
  clear_dlist_ = false;
  if (txn.counted_foreign_ && !txn.foreign_counts_incomplete_) counts_exact_ = true;
  active_ = nullptr;
  txn.ended_ = true;
  auto reader = Database::Open(file_);
  if (!reader.ok()) return Poison(reader.status().WithContext("ndb: reading back the commit"));
  view_.Reset(std::move(*reader));
  return Status::Ok();
}

}  // namespace pst::ndb
