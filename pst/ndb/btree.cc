#include "pst/ndb/btree.h"

#include <algorithm>
#include <string>

#include "pst/base/byte_reader.h"
#include "pst/base/checked_math.h"
#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/ndb/context.h"

namespace pst::ndb {

BTreeReader::BTreeReader(const io::RandomAccessFile* file, Format format, Kind kind,
                         BlockRef root)
    : file_(file), format_(format), kind_(kind), root_(root) {}

Status BTreeReader::PageError(const Page& page, const std::string& msg) const {
  return Status::Corruption(std::string("ndb: ") + name() + " page " + Hex(page.bid) +
                            " at offset " + Hex(page.offset) + ": " + msg);
}

uint64_t BTreeReader::KeyOf(const Page& page, size_t i) const {
  ByteSpan e = page.entry(i);
  // NIDs are 32 bits; Unicode stores them widened to 8 bytes.
  if (kind_ == Kind::kNodes) return DecodeFixed32(e.data());
  return LayoutOf(format_).wide ? DecodeFixed64(e.data()) : DecodeFixed32(e.data());
}

BlockRef BTreeReader::ChildOf(const Page& page, size_t i) const {
  ByteReader r(page.entry(i));
  const bool wide = LayoutOf(format_).wide;
  r.U32or64(wide);  // btkey
  BlockRef ref;
  ref.bid = r.U32or64(wide);
  ref.offset = r.U32or64(wide);
  return ref;
}

Status BTreeReader::CheckPageContents(const Page& page) const {
  const BTreePageMeta& m = page.meta;
  const FormatLayout& l = LayoutOf(format_);
  if (m.level > kMaxLevel) {
    return PageError(page, "cLevel " + std::to_string(m.level) + " exceeds the maximum depth " +
                               std::to_string(kMaxLevel));
  }
  const uint8_t want = m.level > 0                ? BTreeIndexEntrySize(format_)
                       : kind_ == Kind::kNodes    ? NbtLeafEntrySize(format_)
                                                  : BbtLeafEntrySize(format_);
  if (m.entry_size != want) {
    return PageError(page, "cbEnt " + std::to_string(m.entry_size) + " for cLevel " +
                               std::to_string(m.level) + ", expected " + std::to_string(want));
  }
  if (m.count > m.max_count) {
    return PageError(page, "cEnt " + std::to_string(m.count) + " exceeds cEntMax " +
                               std::to_string(m.max_count));
  }
  if (static_cast<size_t>(m.max_count) * m.entry_size > l.btree_entries_size) {
    return PageError(page, "cEntMax " + std::to_string(m.max_count) + " entries of " +
                               std::to_string(m.entry_size) + " bytes do not fit the page");
  }
  for (size_t i = 1; i < m.count; ++i) {
    if (KeyOf(page, i) <= KeyOf(page, i - 1)) {
      return PageError(page, "keys out of order at entry " + std::to_string(i) + " (" +
                                 Hex(KeyOf(page, i - 1)) + " then " + Hex(KeyOf(page, i)) + ")");
    }
  }
  return Status::Ok();
}

Result<BTreeReader::PagePtr> BTreeReader::LoadPage(const BlockRef& ref) const {
  const FormatLayout& l = LayoutOf(format_);
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = cache_.find(ref.offset);
    if (it != cache_.end()) {
      PagePtr page = *it->second;
      lru_.splice(lru_.begin(), lru_, it->second);
      if (page->bid != ref.bid) {
        return Status::Corruption(std::string("ndb: ") + name() + " page " + Hex(ref.bid) +
                                  " at offset " + Hex(ref.offset) + ": trailer names BID " +
                                  Hex(page->bid));
      }
      return page;
    }
  }
  if (ref.offset % l.page_size != 0 || !RangeWithin(ref.offset, l.page_size, file_->Size())) {
    return Status::Corruption(std::string("ndb: ") + name() + " page " + Hex(ref.bid) +
                              " at offset " + Hex(ref.offset) +
                              (ref.offset % l.page_size != 0 ? " is not page-aligned"
                                                             : " lies past the end of the file (" +
                                                                   std::to_string(file_->Size()) +
                                                                   " bytes)"));
  }
  auto page = std::make_shared<Page>();
  page->bid = ref.bid;
  page->offset = ref.offset;
  page->bytes.resize(l.page_size);
  Status read = file_->Read(ref.offset, page->bytes);
  if (!read.ok()) {
    return InContext(read, std::string("ndb: reading ") + name() + " page " + Hex(ref.bid));
  }
  const uint8_t ptype = kind_ == Kind::kNodes ? kPageTypeNbt : kPageTypeBbt;
  const Status trailer = CheckPage(format_, page->bytes, ptype, ref.bid, ref.offset,
                                   kind_ == Kind::kNodes ? "NBT page" : "BBT page");
  DamageLog* log = salvage_.load();
  if (!trailer.ok() && log == nullptr) return trailer;
  page->meta = DecodeBTreePageMeta(format_, page->bytes);
  PST_RETURN_IF_ERROR(CheckPageContents(*page));
  if (!trailer.ok()) {
    // Salvage: the entries hold together, so use them, uncached (see
    // Database::ReadThroughDamage); placement is still checked by the walk.
    log->Add({ref.bid, ref.offset, trailer.message()});
    page->damaged = true;
    return PagePtr(page);
  }

  std::lock_guard<std::mutex> lock(mu_);
  lru_.push_front(page);
  cache_[ref.offset] = lru_.begin();
  while (lru_.size() > std::max(kMinCachePages, kCacheBytes / l.page_size)) {
    cache_.erase(lru_.back()->offset);
    lru_.pop_back();
  }
  return PagePtr(page);
}

Status BTreeReader::CheckPlacement(const Page& page, int expected_level, uint64_t low,
                                   uint64_t high, bool bounded_above) const {
  if (expected_level >= 0 && page.meta.level != expected_level) {
    return PageError(page, "cLevel " + std::to_string(page.meta.level) + ", expected " +
                               std::to_string(expected_level) + " below its parent");
  }
  if (page.meta.count == 0) return Status::Ok();
  const uint64_t first = KeyOf(page, 0);
  const uint64_t last = KeyOf(page, page.meta.count - 1);
  if (first < low || (bounded_above && last >= high)) {
    return PageError(page, "keys " + Hex(first) + ".." + Hex(last) +
                               " fall outside the parent entry's range starting at " + Hex(low));
  }
  return Status::Ok();
}

Status BTreeReader::CheckRoot() const {
  PST_ASSIGN_OR_RETURN(PagePtr page, LoadPage(root_));
  return CheckPlacement(*page, -1, 0, 0, false);
}

Result<Bytes> BTreeReader::Find(uint64_t key) const {
  {
    // Lookups mostly come in runs of nearby keys (the blocks of one data
    // tree), often taking turns between two places. A key within a recent
    // leaf's own range can only be in that leaf, which its descent checked.
    // (Only a leaf reached through sound pages is kept: a damaged page is
    // logged at each use.)
    std::lock_guard<std::mutex> lock(mu_);
    for (const PagePtr& leaf : recent_leaves_) {
      const size_t n = leaf == nullptr ? 0 : leaf->meta.count;
      if (n == 0 || key < KeyOf(*leaf, 0) || key > KeyOf(*leaf, n - 1)) continue;
      return EntryIn(*leaf, FloorIndex(n, key, [&](size_t j) { return KeyOf(*leaf, j); }), key);
    }
  }
  BlockRef ref = root_;
  bool sound = true;
  int expected_level = -1;
  uint64_t low = 0;
  uint64_t high = 0;
  bool bounded = false;
  // The level drops by one per step, so this ends within kMaxLevel + 1 pages.
  for (;;) {
    PST_ASSIGN_OR_RETURN(PagePtr page, LoadPage(ref));
    PST_RETURN_IF_ERROR(CheckPlacement(*page, expected_level, low, high, bounded));
    sound = sound && !page->damaged;
    const size_t n = page->meta.count;
    if (n == 0 || KeyOf(*page, 0) > key) return NoEntryFor(key);
    const size_t i = FloorIndex(n, key, [&](size_t j) { return KeyOf(*page, j); });
    if (page->meta.level == 0) {
      if (sound) {
        std::lock_guard<std::mutex> lock(mu_);
        if (recent_leaves_[0] != page) {
          std::move_backward(recent_leaves_.begin(), recent_leaves_.end() - 1, recent_leaves_.end());
          recent_leaves_[0] = page;
        }
      }
      return EntryIn(*page, i, key);
    }
    low = KeyOf(*page, i);
    if (i + 1 < n) {
      high = KeyOf(*page, i + 1);
      bounded = true;
    }
    ref = ChildOf(*page, i);
    expected_level = page->meta.level - 1;
  }
}

Result<Bytes> BTreeReader::EntryIn(const Page& leaf, size_t i, uint64_t key) const {
  if (KeyOf(leaf, i) != key) return NoEntryFor(key);
  ByteSpan e = leaf.entry(i);
  return Bytes(e.begin(), e.end());
}

Status BTreeReader::NoEntryFor(uint64_t key) const {
  return Status::NotFound(std::string("ndb: ") + name() + " has no entry for " + Hex(key));
}

Status BTreeReader::Walk(const BlockRef& ref, int expected_level, uint64_t low, uint64_t high,
                         bool bounded_above, std::unordered_set<uint64_t>& visited,
                         const std::function<Status(ByteSpan entry)>& fn, bool& fn_failed,
                         size_t& skipped) const {
  // Only index pages are remembered: levels drop by one per step, so a cycle
  // must pass through an index page, and a leaf reached from two places holds
  // keys outside one of their disjoint ranges unless it is empty (and an empty
  // leaf gives nothing twice). A set of every leaf grew with the store.
  if (expected_level != 0 && !visited.insert(ref.offset).second) {
    return Status::Corruption(std::string("ndb: ") + name() + " page " + Hex(ref.bid) +
                              " at offset " + Hex(ref.offset) +
                              " is reached twice; the tree has a cycle or shared page");
  }
  PST_ASSIGN_OR_RETURN(PagePtr page, LoadPage(ref));
  PST_RETURN_IF_ERROR(CheckPlacement(*page, expected_level, low, high, bounded_above));
  const size_t n = page->meta.count;
  for (size_t i = 0; i < n; ++i) {
    if (page->meta.level == 0) {
      Status s = fn(page->entry(i));
      if (!s.ok()) {
        fn_failed = true;
        return s;
      }
      continue;
    }
    const bool last = i + 1 == n;
    const BlockRef child = ChildOf(*page, i);
    Status s = Walk(child, page->meta.level - 1, KeyOf(*page, i), last ? high : KeyOf(*page, i + 1),
                    last ? bounded_above : true, visited, fn, fn_failed, skipped);
    if (s.ok()) continue;
    // Salvage: a broken subtree costs only its own entries.
    DamageLog* log = salvage_.load();
    if (fn_failed || log == nullptr) return s;
    log->Add({child.bid, child.offset, "entries below this page skipped: " + s.message()});
    ++skipped;
  }
  return Status::Ok();
}

Status BTreeReader::ForEach(const std::function<Status(ByteSpan entry)>& fn, size_t* skipped) const {
  std::unordered_set<uint64_t> visited;
  bool fn_failed = false;
  size_t skipped_here = 0;
  Status s = Walk(root_, -1, 0, 0, false, visited, fn, fn_failed, skipped_here);
  if (skipped != nullptr) *skipped = skipped_here;
  return s;
}

}  // namespace pst::ndb
