// Reading the node and block B-trees ([MS-PST] 2.2.2.7.7): pages of
// entries sorted by key, intermediate entries (BTENTRY) pointing at child
// pages, leaf entries (NBTENTRY / BBTENTRY) holding the values.
//
// BTENTRY:  btkey (4 ANSI / 8 Unicode), BREF {bid, ib} (8 / 16).
// Leaf keys: NBTENTRY starts with the NID (4 / 8 bytes, compared as 32
// bits), BBTENTRY with the BREF whose bid is the key.
//
// Every page is checked when loaded (trailer, signature, CRC, cEnt, cbEnt,
// sorted keys) and again where it is used (cLevel one below its parent, keys
// inside the parent entry's range, depth capped, no index page visited twice).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "pst/base/bytes.h"
#include "pst/base/result.h"
#include "pst/io/file.h"
#include "pst/ndb/damage_log.h"
#include "pst/ndb/header.h"
#include "pst/ndb/page.h"

namespace pst::ndb {

// Index of the last of `count` sorted keys (key_at(i)) that is at most
// `key`; SIZE_MAX if none is.
template <typename KeyAt>
size_t FloorIndex(size_t count, uint64_t key, const KeyAt& key_at) {
  size_t lo = 0;
  size_t hi = count;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (key_at(mid) <= key) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo == 0 ? SIZE_MAX : lo - 1;
}

class BTreeReader {
 public:
  enum class Kind { kNodes, kBlocks };

  // Deepest tree accepted: a root of cLevel kMaxLevel. Real stores stay
  // below 4; a full 4K-page tree of depth 8 would hold far beyond 2^64 keys.
  static constexpr uint8_t kMaxLevel = 7;
  // Pages kept for lookups: 256 KiB of them, and at least 128 (512 pages of
  // 512 bytes, 128 of 4 KiB). A big store's lookups go all over its index;
  // each page read again is a read of the file. More pages saved few reads
  // and showed in the peak memory of a store of 70,000 folders.
  static constexpr size_t kCacheBytes = 256 << 10;
  static constexpr size_t kMinCachePages = 128;

  BTreeReader(const io::RandomAccessFile* file, Format format, Kind kind, BlockRef root);

  // Loads and checks the root page.
  Status CheckRoot() const;

  // The leaf entry with exactly this key (its cbEnt bytes), or NotFound.
  Result<Bytes> Find(uint64_t key) const;

  // Every leaf entry in ascending key order.
  // Salvage reads skip a damaged subtree instead of failing; `skipped`
  // (if given) counts them.
  Status ForEach(const std::function<Status(ByteSpan entry)>& fn, size_t* skipped = nullptr) const;

  // Salvage reading (see Database::ReadThroughDamage): pages whose trailer
  // is wrong but whose entries hold together are used and logged.
  void ReadThroughDamage(DamageLog* log) const { salvage_.store(log); }

  const char* name() const { return kind_ == Kind::kNodes ? "NBT" : "BBT"; }

 private:
  struct Page {
    Bid bid = 0;
    uint64_t offset = 0;
    BTreePageMeta meta;
    Bytes bytes;
    bool damaged = false;  // used in salvage though its trailer is wrong
    ByteSpan entry(size_t i) const {
      return ByteSpan(bytes).subspan(i * meta.entry_size, meta.entry_size);
    }
  };
  using PagePtr = std::shared_ptr<const Page>;

  // Loads (or takes from the cache) the page at ref and checks what a page
  // shows by itself.
  Result<PagePtr> LoadPage(const BlockRef& ref) const;
  // Checks a loaded page against where it was reached from.
  Status CheckPlacement(const Page& page, int expected_level, uint64_t low, uint64_t high,
                        bool bounded_above) const;
  Status CheckPageContents(const Page& page) const;
  uint64_t KeyOf(const Page& page, size_t i) const;
  // The entry at leaf index i (the floor of key) if it has this key, else NotFound.
  Result<Bytes> EntryIn(const Page& leaf, size_t i, uint64_t key) const;
  Status NoEntryFor(uint64_t key) const;
  BlockRef ChildOf(const Page& page, size_t i) const;
  Status Walk(const BlockRef& ref, int expected_level, uint64_t low, uint64_t high,
              bool bounded_above, std::unordered_set<uint64_t>& visited,
              const std::function<Status(ByteSpan entry)>& fn, bool& fn_failed, size_t& skipped) const;
  Status PageError(const Page& page, const std::string& msg) const;

  const io::RandomAccessFile* file_;
  Format format_;
  Kind kind_;
  BlockRef root_;

  mutable std::atomic<DamageLog*> salvage_{nullptr};
  mutable std::mutex mu_;
  mutable std::list<PagePtr> lru_;  // front = most recently used
  mutable std::unordered_map<uint64_t, std::list<PagePtr>::iterator> cache_;
  // The leaves the last full lookups ended in, latest first.
  mutable std::array<PagePtr, 4> recent_leaves_;
};

}  // namespace pst::ndb
