// Allocation pass: the map pages ([MS-PST] 2.2.2.7.2-2.2.2.7.6) and the AMap
// bits against the space the store actually uses.
//
// Region n starts with its AMap page at first + n * region:
//              first    page  bitmap (in the page)  slot  region
//   ANSI       0x4400   512   bytes 4..500          64    0x3E000
//   Unicode    0x4400   512   bytes 0..496          64    0x3E000
//   4K         0x22000  4096  bytes 0..4072         512   0xFE8000
// One bit per slot, most significant bit first, 1 = in use; the AMap page
// maps itself. A PMap page follows the AMap of every 8th region (not in 4K
// stores), an FMap the AMap of region 128 + 496j, an FPMap that of region
// 8192 + 31744j (those two placements are derived from the coverage
// arithmetic: no sample store is large enough to show one).
// ROOT.cbAMapFree = slot x (0 bits in all AMaps); ROOT.cbPMapFree is
// deprecated (0, or 512 x the 0 bits of the PMaps in older stores).
// The DList page sits in the page before the first AMap.
//
// Slots marked in use that no page or block occupies are leaked space,
// except where the PMap marks their page free: older clients take space for
// pages from the AMap eight pages at a time and hand it out through the
// PMap, so those slots are reserved, not lost (counted apart).
//
// The comparison runs region by region over the extents (B-tree pages and
// blocks) sorted by offset, so memory stays at one region's slots.
#include <algorithm>
#include <string>

#include "pst/base/coding.h"
#include "pst/base/crc32.h"
#include "pst/base/hex.h"
#include "pst/check/context.h"
#include "pst/ndb/block.h"
#include "pst/ndb/page.h"

namespace pst::check {
namespace {

struct MapLayout {
  uint64_t first;
  uint32_t page;
  uint32_t bits_at;
  uint32_t bits_bytes;
  uint32_t slot;
  uint64_t region;
  bool pmaps;
};

MapLayout MapLayoutOf(ndb::Format format) {
  switch (format) {
    case ndb::Format::kAnsi: return {0x4400, 512, 4, 496, 64, 0x3E000, true};
    case ndb::Format::kUnicode: return {0x4400, 512, 0, 496, 64, 0x3E000, true};
    case ndb::Format::kUnicode4k: return {0x22000, 4096, 0, 4072, 512, 4072ull * 8 * 512, false};
  }
  return {0x4400, 512, 0, 496, 64, 0x3E000, true};
}

enum class ExtentKind : uint8_t { kNbtPage, kBbtPage, kBlock };

struct Extent {
  uint64_t offset = 0;
  uint64_t size = 0;
  ndb::Bid bid = 0;
  ExtentKind kind = ExtentKind::kBlock;
  bool reported = false;  // one finding per extent is enough
};

std::string ExtentName(const Extent& e) {
  const char* what = e.kind == ExtentKind::kNbtPage   ? "NBT page "
                     : e.kind == ExtentKind::kBbtPage ? "BBT page "
                                                      : "block ";
  return what + Hex(e.bid) + " at " + Hex(e.offset);
}

// Owners of a region's slots: an extent index, or one of these.
constexpr int32_t kFree = -1;
constexpr int32_t kMapPage = -2;

const char* MapName(uint8_t ptype) {
  switch (ptype) {
    case ndb::kPageTypeAMap: return "AMap";
    case ndb::kPageTypePMap: return "PMap";
    case ndb::kPageTypeFMap: return "FMap";
    case ndb::kPageTypeFPMap: return "FPMap";
    default: return "DList";
  }
}

class SpaceChecker {
 public:
  explicit SpaceChecker(Context& ctx)
      : ctx_(ctx), map_(MapLayoutOf(ctx.header.format)), eof_(ctx.header.root.file_eof) {
    // Errors about the AMaps' contents are only warnings when ROOT says the
    // maps are invalid: a writer must rebuild them before allocating.
    amap_severity_ = ctx.header.root.amap_valid == 0 ? Severity::kWarning : Severity::kError;
  }

  void Run() {
    CollectExtents();
    const uint64_t end = std::min(eof_, ctx_.file.Size());
    if (end <= map_.first) {
      ctx_.findings.Error("ROOT", "ibFileEof " + Hex(eof_) + " leaves no room for the first AMap "
                                  "at " + Hex(map_.first));
      return;
    }
    // The regions the file holds, and the last one ibFileEof claims.
    const uint64_t count = (end - map_.first - 1) / map_.region + 1;
    const uint64_t last = map_.first + (std::max(eof_, end) - map_.first - 1) / map_.region * map_.region;
    if (ctx_.header.root.last_amap_offset != last) {
      ctx_.findings.Error("ROOT", "ibAMapLast " + Hex(ctx_.header.root.last_amap_offset) +
                                      ", but the last AMap below ibFileEof is at " + Hex(last));
    }
    zero_bits_.assign(count, -1);
    for (uint64_t i = 0; i < count; ++i) Region(i);
    CheckTotals();
    CheckDList();
  }

 private:
  void CollectExtents() {
    extents_.reserve(ctx_.pages.size() + ctx_.blocks.size());
    for (const PageRecord& p : ctx_.pages) {
      extents_.push_back({p.offset, ctx_.layout().page_size, p.bid,
                          p.ptype == ndb::kPageTypeNbt ? ExtentKind::kNbtPage
                                                       : ExtentKind::kBbtPage});
    }
    for (const BlockRecord& b : ctx_.blocks) {
      if (b.kind == BlockKind::kUnread) continue;  // misplaced: reported by the block pass
      extents_.push_back({b.offset, ndb::BlockDiskSize(ctx_.header.format, b.size), b.bid,
                          ExtentKind::kBlock});
    }
    std::sort(extents_.begin(), extents_.end(),
              [](const Extent& a, const Extent& b) { return a.offset < b.offset; });
    for (Extent& e : extents_) {
      if (e.offset < map_.first) {
        ctx_.findings.Error(ExtentName(e), "lies in the header area before the first AMap");
        e.reported = true;
      }
    }
  }

  // Reads a map page; its bytes, or empty when it is not there.
  Bytes ReadMapPage(uint64_t offset, uint8_t ptype, bool required) {
    const std::string where = std::string(MapName(ptype)) + " page at " + Hex(offset);
    Bytes page(map_.page);
    if (offset + map_.page > ctx_.file.Size() || !ctx_.file.Read(offset, page).ok()) {
      ctx_.findings.Error(where, "lies past the end of the file");
      return {};
    }
    const ndb::PageTrailer t = ndb::DecodePageTrailer(ctx_.header.format, page);
    if (t.ptype != ptype || t.ptype_repeat != ptype) {
      if (required) {
        ctx_.findings.Error(where, "page type " + Hex(t.ptype) + "/" + Hex(t.ptype_repeat) +
                                       ", expected " + Hex(ptype));
      } else {
        ctx_.findings.Warning(where, "page type " + Hex(t.ptype) + "/" + Hex(t.ptype_repeat) +
                                         ": no " + MapName(ptype) + " where one is expected");
      }
      return {};
    }
    ++ctx_.report->counts.pages;
    if (t.bid != offset) {
      ctx_.findings.Error(where, "trailer names BID " + Hex(t.bid) + ", expected its offset");
    }
    if (t.sig != 0) ctx_.findings.Error(where, "signature " + Hex(t.sig) + ", expected 0");
    const uint32_t crc = PstCrc32(ByteSpan(page).first(map_.page - ctx_.layout().page_trailer_size));
    if (t.crc != crc) {
      // With the maps marked invalid a writer may have been cut off while
      // rewriting this page in place; the next one rebuilds it.
      ctx_.findings.Add(amap_severity_, where,
                        "CRC " + Hex(t.crc) + " does not match the computed " + Hex(crc));
    }
    return page;
  }

  static bool Bit(ByteSpan bits, size_t i) { return (bits[i / 8] & (0x80 >> (i % 8))) != 0; }

  // Whether the PMap of the current group of regions marks the 512-byte
  // page holding `at` free: such pages were set aside in the AMap for page
  // allocation and count as reserved, not in use.
  bool PageReserved(uint64_t at) const {
    if (pmap_bits_.empty() || at < pmap_base_) return false;
    const uint64_t page = (at - pmap_base_) / 512;
    return page < pmap_bits_.size() * 8 && !Bit(pmap_bits_, page);
  }

  // Marks the slots of [offset, offset + size) inside the region as owned;
  // a slot already owned means two things share space.
  void Own(uint64_t region_start, uint64_t offset, uint64_t size, int32_t owner,
           const std::string& name) {
    const uint64_t region_end = region_start + map_.region;
    const uint64_t from = std::max(offset, region_start);
    const uint64_t to = std::min(offset + size, region_end);
    for (uint64_t at = from; at < to; at += map_.slot) {
      int32_t& slot = owners_[(at - region_start) / map_.slot];
      if (slot != kFree) {
        if (owner >= 0 && !extents_[owner].reported) {
          extents_[owner].reported = true;
          ctx_.findings.Error(name, "shares the slot at " + Hex(at) + " with " +
                                        (slot >= 0 ? ExtentName(extents_[slot])
                                                   : std::string("a map page")));
        }
        continue;
      }
      slot = owner;
    }
  }

  void Region(uint64_t index) {
    const uint64_t start = map_.first + index * map_.region;
    owners_.assign(map_.bits_bytes * 8, kFree);
    Bytes amap = ReadMapPage(start, ndb::kPageTypeAMap, true);
    Own(start, start, map_.page, kMapPage, "AMap");
    uint64_t next_page = start + map_.page;
    if (map_.pmaps && index % 8 == 0) {
      Bytes pmap = ReadMapPage(next_page, ndb::kPageTypePMap, true);
      pmap_bits_.clear();
      pmap_base_ = start;
      if (!pmap.empty()) {
        Own(start, next_page, map_.page, kMapPage, "PMap");
        ByteSpan bits = ByteSpan(pmap).subspan(map_.bits_at, map_.bits_bytes);
        for (uint8_t b : bits) pmap_zero_bits_ += 8 - static_cast<uint64_t>(__builtin_popcount(b));
        pmap_bits_.assign(bits.begin(), bits.end());
      }
      next_page += map_.page;
    }
    const bool fmap = index >= 128 && (index - 128) % 496 == 0;
    const bool fpmap = index >= 8192 && (index - 8192) % 31744 == 0;
    if (map_.pmaps && (fmap || fpmap) && next_page < eof_) {
      const uint8_t ptype = fmap ? ndb::kPageTypeFMap : ndb::kPageTypeFPMap;
      if (!ReadMapPage(next_page, ptype, false).empty()) {
        Own(start, next_page, map_.page, kMapPage, MapName(ptype));
      }
    }

    // Extents are at most one block long, so any that reaches into this
    // region starts less than a block before it.
    const uint64_t back = ctx_.layout().max_block_size;
    auto it = std::lower_bound(extents_.begin(), extents_.end(), start > back ? start - back : 0,
                               [](const Extent& e, uint64_t v) { return e.offset < v; });
    for (; it != extents_.end() && it->offset < start + map_.region; ++it) {
      if (it->offset + it->size <= start || it->offset < map_.first) continue;
      Own(start, it->offset, it->size, static_cast<int32_t>(it - extents_.begin()), ExtentName(*it));
    }
    if (amap.empty()) return;

    ByteSpan bits = ByteSpan(amap).subspan(map_.bits_at, map_.bits_bytes);
    int64_t zeros = 0;
    for (uint8_t b : bits) zeros += 8 - __builtin_popcount(b);
    zero_bits_[index] = zeros;

    const std::string where = "AMap page at " + Hex(start);
    uint64_t leaked = 0, runs = 0, first_leak = 0, reserved = 0;
    bool in_run = false;
    for (size_t s = 0; s < owners_.size(); ++s) {
      const uint64_t at = start + s * map_.slot;
      if (at >= eof_) break;  // old stores mark the slots past their end as used
      const bool used = Bit(bits, s);
      const int32_t owner = owners_[s];
      if (owner >= 0 && PageReserved(at) && !extents_[owner].reported) {
        extents_[owner].reported = true;
        ctx_.findings.Warning(ExtentName(extents_[owner]),
                              "lies in a page the PMap marks free: a client still using PMaps "
                              "could place a page over it");
      }
      if (owner == kFree && used && PageReserved(at)) {
        ++reserved;  // taken from the AMap for pages, not yet used: not lost
        in_run = false;
        continue;
      }
      if (owner != kFree && !used) {
        if (owner >= 0 && !extents_[owner].reported) {
          extents_[owner].reported = true;
          ctx_.findings.Add(amap_severity_, ExtentName(extents_[owner]),
                            "is marked free in the AMap at " + Hex(start) +
                                " (slot at " + Hex(at) + "): a writer could overwrite it");
        } else if (owner == kMapPage) {
          ctx_.findings.Add(amap_severity_, where, "map page at " + Hex(at) + " is marked free");
        }
      }
      const bool leak = owner == kFree && used;
      if (leak) {
        if (leaked == 0) first_leak = at;
        ++leaked;
        if (!in_run) ++runs;
      }
      in_run = leak;
    }
    ctx_.report->counts.reserved_bytes += reserved * map_.slot;
    // Pages and blocks of an unreadable part of a tree are unknown, so their
    // space would look leaked.
    if (leaked > 0 && ctx_.nbt_complete && ctx_.bbt_complete) {
      ctx_.report->counts.leaked_bytes += leaked * map_.slot;
      // Note: leaked space costs room until the store is compacted, and
      // nothing else; Outlook leaves it too.
      ctx_.findings.Note(where, std::to_string(leaked) + " slots (" +
                                       std::to_string(leaked * map_.slot) + " bytes) in " +
                                       std::to_string(runs) + " runs from " + Hex(first_leak) +
                                       " are marked in use but hold no page or block: leaked space");
    }
  }

  void CheckTotals() {
    uint64_t zeros = 0;
    for (int64_t z : zero_bits_) {
      if (z < 0) return;  // an AMap could not be read: no total to compare
      zeros += static_cast<uint64_t>(z);
    }
    const ndb::Root& root = ctx_.header.root;
    // Warning: the total only says how much room is left; no allocation is
    // placed by it, and the bits it should sum are what a writer trusts.
    if (root.amap_free != zeros * map_.slot) {
      ctx_.findings.Warning("ROOT",
                        "cbAMapFree " + std::to_string(root.amap_free) + ", but the AMaps have " +
                            std::to_string(zeros) + " free slots (" +
                            std::to_string(zeros * map_.slot) + " bytes)");
    }
    if (root.pmap_free != 0 && root.pmap_free != pmap_zero_bits_ * 512) {
      ctx_.findings.Warning("ROOT", "cbPMapFree " + std::to_string(root.pmap_free) +
                                        " is neither 0 nor the PMaps' " +
                                        std::to_string(pmap_zero_bits_ * 512) + " free bytes");
    }
  }

  // The DList ([MS-PST] 2.2.2.7.4) is optional and rebuilt by Outlook when
  // damaged, so what is wrong with it is only a warning.
  void CheckDList() {
    const uint64_t offset = map_.first - map_.page;
    Bytes page(map_.page);
    if (!ctx_.file.Read(offset, page).ok()) return;
    const ndb::PageTrailer t = ndb::DecodePageTrailer(ctx_.header.format, page);
    if (t.ptype != ndb::kPageTypeDList && t.ptype_repeat != ndb::kPageTypeDList) return;
    const std::string where = "DList page at " + Hex(offset);
    ++ctx_.report->counts.pages;
    if (t.ptype != t.ptype_repeat) {
      ctx_.findings.Warning(where, "page type " + Hex(t.ptype) + "/" + Hex(t.ptype_repeat));
      return;
    }
    const uint16_t sig = ndb::ComputeSig(offset, t.bid);
    if (t.sig != sig) ctx_.findings.Warning(where, "signature " + Hex(t.sig) + ", expected " + Hex(sig));
    const size_t data = map_.page - ctx_.layout().page_trailer_size;
    const uint32_t crc = PstCrc32(ByteSpan(page).first(data));
    if (t.crc != crc) {
      ctx_.findings.Warning(where, "CRC " + Hex(t.crc) + " does not match the computed " + Hex(crc));
      return;
    }
    if (ctx_.header.format == ndb::Format::kUnicode4k) return;  // entry layout not known
    const size_t capacity = ctx_.header.format == ndb::Format::kAnsi ? 120 : 119;
    const uint8_t entries = page[1];
    const uint32_t current = DecodeFixed32(page.data() + 4);
    if (entries > capacity) {
      ctx_.findings.Warning(where, "cEntDList " + std::to_string(entries) + " exceeds the " +
                                       std::to_string(capacity) + " entries a page holds");
      return;
    }
    if (entries > 0 && current >= zero_bits_.size()) {
      ctx_.findings.Warning(where, "ulCurrentPage " + std::to_string(current) + " names no AMap");
    }
    for (size_t i = 0; i < entries; ++i) {
      const uint32_t e = DecodeFixed32(page.data() + 8 + 4 * i);
      const uint32_t amap = e & 0xFFFFF;
      const uint32_t free = e >> 20;
      if (amap >= zero_bits_.size()) {
        ctx_.findings.Warning(where, "entry " + std::to_string(i) + " names AMap " +
                                         std::to_string(amap) + " of " +
                                         std::to_string(zero_bits_.size()));
      } else if (zero_bits_[amap] >= 0 && free != static_cast<uint64_t>(zero_bits_[amap])) {
        ctx_.findings.Warning(where, "entry " + std::to_string(i) + " gives AMap " +
                                         std::to_string(amap) + " " + std::to_string(free) +
                                         " free slots, the AMap has " +
                                         std::to_string(zero_bits_[amap]));
      }
    }
  }

  Context& ctx_;
  const MapLayout map_;
  const uint64_t eof_;
  Severity amap_severity_;
  std::vector<Extent> extents_;
  std::vector<int32_t> owners_;
  std::vector<int64_t> zero_bits_;  // per AMap; -1 = unreadable
  uint64_t pmap_zero_bits_ = 0;
  Bytes pmap_bits_;         // the PMap covering the current region, if read
  uint64_t pmap_base_ = 0;  // start of the first region it covers
};

}  // namespace

void CheckSpace(Context& ctx) { SpaceChecker(ctx).Run(); }

}  // namespace pst::check
