// The allocation maps ([MS-PST] 2.2.2.7.2-2.2.2.7.6) as the writer keeps
// them in memory: which 64-byte slots of the file are in use.
//
// The file after the header area is cut into regions of 0x3E000 bytes
// starting at 0x4400. Region n starts with its AMap page; map pages that
// follow it:
//   page     region n has it when                      at region start +
//   AMap     always                                    0x000
//   PMap     n % 8 == 0                                0x200
//   FMap     n >= 128 and (n - 128) % 496 == 0         0x400
//   FPMap    n >= 8192 and (n - 8192) % 31744 == 0     0x400 (never with an FMap)
// AMap page data: ANSI 4 zero bytes then 496 bytes of bits, Unicode the 496
// bytes of bits; one bit per 64-byte slot of the region, most significant
// bit first, 1 = in use. PMap/FMap/FPMap pages are written all 0xFF after the
// same ANSI padding (deprecated maps: only their presence and CRCs matter).
// Every map page has BID = its offset and wSig 0.
//
// Two states are kept: the committed one (what the file's current header
// describes) and the current one (the transaction's). Space is handed out
// only where both are free, so a transaction never overwrites anything the
// committed state still uses, even space the transaction itself freed.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "pst/base/bytes.h"
#include "pst/base/result.h"
#include "pst/io/file.h"
#include "pst/ndb/types.h"

namespace pst::ndb {

class AllocationMap {
 public:
  static constexpr uint64_t kFirstRegion = 0x4400;
  static constexpr uint64_t kRegionSize = 0x3E000;
  static constexpr uint64_t kSlotSize = 64;
  static constexpr uint32_t kSlotsPerRegion = 3968;
  static constexpr uint32_t kBitmapBytes = 496;
  static constexpr uint64_t kPageSize = 512;

  struct MapPage {
    uint64_t offset = 0;
    uint8_t ptype = 0;
  };

  // An empty map for a store whose regions end at `extent` (a region
  // boundary at or after 0x4400 + one region). The file may not grow past
  // max_file_size. Every region starts with only its map pages in use.
  AllocationMap(Format format, uint64_t extent, uint64_t max_file_size);

  // The smallest region boundary at or after `eof` (at least one region).
  static uint64_t RegionEnd(uint64_t eof);
  // The map pages of region n.
  static std::vector<MapPage> MapPagesOf(uint64_t region);

  // Loads the AMap bits of every region from the file (both states). Slots
  // past `file_eof` (old stores grew in smaller steps) are made free.
  // Corruption if a page fails its checks; the caller then rebuilds.
  Status Load(const io::RandomAccessFile& file, uint64_t file_eof);

  // Marks a range used in both states (rebuilding from the B-trees).
  // Corruption if the range leaves the regions, touches a map page or
  // overlaps something already marked.
  Status MarkUsed(uint64_t offset, uint64_t size, const char* what);
  // True if every slot of the range is in use in the committed state.
  bool IsUsed(uint64_t offset, uint64_t size) const;

  // Space for a block of `size` bytes (a multiple of 64, at most 8192), or
  // for a 512-byte page (aligned to 512). Grows the file by whole regions
  // when nothing fits; OutOfSpace past max_file_size.
  Result<uint64_t> AllocateBlock(uint64_t size);
  Result<uint64_t> AllocatePage();
  // Frees a range in the current state; Corruption if it is not in use.
  Status Free(uint64_t offset, uint64_t size);

  // The current state becomes the committed one / is dropped.
  void Commit();
  void Abandon();

  // Current state figures for the header.
  uint64_t extent() const { return RegionStart(regions_.size()); }
  uint64_t committed_extent() const { return RegionStart(committed_regions_); }
  uint64_t last_amap() const { return RegionStart(regions_.size() - 1); }
  uint64_t free_bytes() const { return free_slots_ * kSlotSize; }

  // Every map page that must be (re)written for the current state: AMaps
  // whose bits differ from the file's, every map page of regions added
  // since the last commit, and pages marked with MarkRewrite. Their images
  // are made one at a time by ImageOf (a large store has thousands).
  struct PageToWrite {
    uint64_t offset = 0;
    bool new_region = false;  // lies past the committed extent
    uint64_t region = 0;
    uint8_t ptype = 0;
  };
  std::vector<PageToWrite> PagesToWrite() const;
  Bytes ImageOf(const PageToWrite& page) const;
  // After PagesToWrite's pages are durable.
  void MarkWritten();
  // Forces a region's map pages (AMap and, with `all_maps`, PMap/FMap/FPMap)
  // to be rewritten at the next commit.
  void MarkRewrite(uint64_t region, bool all_maps);
  void MarkAllRewrite(bool all_maps);

  Bytes EncodeAMap(uint64_t region) const;
  Bytes EncodeFilledMap(uint64_t offset, uint8_t ptype) const;

 private:
  using Bits = std::array<uint8_t, kBitmapBytes>;
  // A region whose every slot is in use holds no bitmap: a big output is
  // almost all full regions, one for each 248 KiB of it.
  struct Region {
    std::unique_ptr<Bits> bits;         // current state; null: every slot in use
    std::unique_ptr<Bits> committed;    // set while the states differ
    bool amap_stale = false;            // file's AMap differs from `bits`
    bool maps_stale = false;            // PMap/FMap/FPMap must be rewritten too
    uint32_t free_now = 0;              // zero bits of `bits`
    uint32_t allocatable = 0;           // zero bits of bits | committed
    uint32_t failed_run = UINT32_MAX;   // block runs this long are known not to fit
    bool page_failed = false;           // no aligned page is known to be free
    uint32_t scan_from = 0;             // bitmap bytes before this (a whole word) are all in use
  };

  static uint64_t RegionStart(uint64_t n) { return kFirstRegion + n * kRegionSize; }
  static bool Bit(const Bits& b, uint32_t slot) { return (b[slot >> 3] >> (7 - (slot & 7))) & 1; }
  static const Bits& BitsOf(const Region& r);
  // The region's own bitmap, made for a full region.
  static Bits& MutableBits(Region& r);
  // Lets a full region's bitmap go.
  static void DropIfFull(Region& r);
  bool Allocatable(const Region& r, uint32_t slot) const;
  void SetBits(Region& r, uint32_t first, uint32_t count, bool used, bool both);
  void Recount(Region& r);
  Status AddRegion();
  Result<uint64_t> Allocate(uint32_t slots, bool page);
  // Finds free slots for a block (or an aligned page); moves r.scan_from
  // past the words it finds full.
  static bool FindRun(Region& r, uint32_t slots, bool page, uint32_t* first);

  Format format_;
  uint64_t max_file_size_;
  std::vector<Region> regions_;
  size_t committed_regions_ = 0;
  uint64_t free_slots_ = 0;
  // Lowers every search start to region n (space there may be free again).
  void SearchAgainFrom(size_t n);

  size_t search_from_ = 0;  // regions before this one have nothing allocatable
  // Regions before run_search_from_[k] are known to have no free run of
  // k slots (a block takes 1 to 128): a big conversion asks for blocks by
  // the thousand, and would otherwise pass every region with a small hole
  // left each time. One start per size, not per power of two: a region with
  // a run of 64 to 99 free slots held the start of every 100-slot search
  // there, and each such search then passed thousands of regions.
  std::array<size_t, 129> run_search_from_{};
};

}  // namespace pst::ndb
