#include "pst/ndb/allocation_map.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "pst/base/hex.h"
#include "pst/ndb/header.h"
#include "pst/ndb/page.h"

namespace pst::ndb {

namespace {

// The ANSI map pages have 500 data bytes: 4 bytes of padding, then the bits.
size_t BitsOffset(Format format) { return format == Format::kAnsi ? 4 : 0; }

}  // namespace

const AllocationMap::Bits& AllocationMap::BitsOf(const Region& r) {
  static const Bits kAllUsed = [] {
    Bits b;
    b.fill(0xFF);
    return b;
  }();
  return r.bits ? *r.bits : kAllUsed;
}

AllocationMap::Bits& AllocationMap::MutableBits(Region& r) {
  if (!r.bits) r.bits = std::make_unique<Bits>(BitsOf(r));
  return *r.bits;
}

void AllocationMap::DropIfFull(Region& r) {
  if (r.free_now == 0 && r.committed == nullptr) r.bits.reset();
}

AllocationMap::AllocationMap(Format format, uint64_t extent, uint64_t max_file_size)
    : format_(format), max_file_size_(max_file_size) {
  const uint64_t end = RegionEnd(extent);
  const size_t n = static_cast<size_t>((end - kFirstRegion) / kRegionSize);
  regions_.resize(n);
  for (size_t i = 0; i < n; ++i) {
    Region& r = regions_[i];
    r.bits = std::make_unique<Bits>();
    for (const MapPage& p : MapPagesOf(i)) {
      const uint32_t slot = static_cast<uint32_t>((p.offset - RegionStart(i)) / kSlotSize);
      (*r.bits)[slot >> 3] = 0xFF;
    }
    r.amap_stale = r.maps_stale = true;
    Recount(r);
    free_slots_ += r.free_now;
  }
  committed_regions_ = n;
}

uint64_t AllocationMap::RegionEnd(uint64_t eof) {
  if (eof <= kFirstRegion) return kFirstRegion + kRegionSize;
  const uint64_t n = (eof - kFirstRegion + kRegionSize - 1) / kRegionSize;
  return kFirstRegion + n * kRegionSize;
}

std::vector<AllocationMap::MapPage> AllocationMap::MapPagesOf(uint64_t region) {
  const uint64_t start = RegionStart(region);
  std::vector<MapPage> pages{{start, kPageTypeAMap}};
  if (region % 8 == 0) pages.push_back({start + 0x200, kPageTypePMap});
  if (region >= 128 && (region - 128) % 496 == 0) pages.push_back({start + 0x400, kPageTypeFMap});
  if (region >= 8192 && (region - 8192) % 31744 == 0) {
    pages.push_back({start + 0x400, kPageTypeFPMap});
  }
  return pages;
}

bool AllocationMap::Allocatable(const Region& r, uint32_t slot) const {
  if (Bit(BitsOf(r), slot)) return false;
  return r.committed == nullptr || !Bit(*r.committed, slot);
}

void AllocationMap::Recount(Region& r) {
  uint32_t used = 0;
  uint32_t blocked = 0;
  // A word at a time: without a popcount instruction in the target, each
  // count is a library call (a new region's count was a tenth of a block's
  // allocation).
  static_assert(kBitmapBytes % 8 == 0);
  const Bits& current = BitsOf(r);
  for (size_t i = 0; i < kBitmapBytes; i += 8) {
    uint64_t bits;
    std::memcpy(&bits, current.data() + i, 8);
    uint64_t both = bits;
    if (r.committed) {
      uint64_t committed;
      std::memcpy(&committed, r.committed->data() + i, 8);
      both |= committed;
    }
    used += static_cast<uint32_t>(std::popcount(bits));
    blocked += static_cast<uint32_t>(std::popcount(both));
  }
  r.free_now = kSlotsPerRegion - used;
  r.allocatable = kSlotsPerRegion - blocked;
  r.scan_from = 0;
}

void AllocationMap::SetBits(Region& r, uint32_t first, uint32_t count, bool used, bool both) {
  // A region added since the last commit is all free in the committed
  // state, which so needs no copy of its bits (it would take a second bitmap
  // per region of everything a long transaction writes).
  const bool added = static_cast<size_t>(&r - regions_.data()) >= committed_regions_;
  if (!both && !added && r.committed == nullptr) r.committed = std::make_unique<Bits>(BitsOf(r));
  Bits& current = MutableBits(r);
  // A byte of the bitmap at a time (slot 0 is the byte's high bit).
  for (uint32_t byte = first >> 3; byte * 8 < first + count; ++byte) {
    const uint32_t lo = std::max(first, byte * 8) - byte * 8;
    const uint32_t hi = std::min(first + count, byte * 8 + 8) - byte * 8;
    const uint8_t mask = static_cast<uint8_t>((0xFFu >> lo) & (0xFFu << (8 - hi)));
    uint8_t& bits = current[byte];
    const uint8_t changed = static_cast<uint8_t>(used ? mask & ~bits : mask & bits);
    if (changed == 0) continue;
    // Whole bytes are most of a block's run; the count of the others is a
    // library call where the target has no popcount instruction.
    auto count = [](uint8_t byte) { return byte == 0xFF ? 8u : static_cast<uint32_t>(std::popcount(byte)); };
    const uint32_t n = count(changed);
    bits ^= changed;
    if (used) {
      r.free_now -= n;
      free_slots_ -= n;
      const uint8_t newly_blocked =
          r.committed == nullptr ? changed : static_cast<uint8_t>(changed & ~(*r.committed)[byte]);
      r.allocatable -= count(newly_blocked);
    } else {
      r.free_now += n;
      free_slots_ += n;
      // Space the committed state still uses stays unallocatable.
      if (r.committed == nullptr) r.allocatable += n;
    }
    if (both && r.committed) {
      uint8_t& committed = (*r.committed)[byte];
      committed = static_cast<uint8_t>(used ? committed | changed : committed & ~changed);
    }
  }
  r.amap_stale = true;
  DropIfFull(r);
  if (!used) {
    r.failed_run = UINT32_MAX;
    r.page_failed = false;
    r.scan_from = std::min(r.scan_from, (first >> 6) << 3);
  }
}

Status AllocationMap::Load(const io::RandomAccessFile& file, uint64_t file_eof) {
  for (size_t n = 0; n < regions_.size(); ++n) {
    Region& r = regions_[n];
    r.maps_stale = false;
    for (const MapPage& p : MapPagesOf(n)) {
      if (p.offset + kPageSize > file_eof) {
        return Status::Corruption("ndb: map page " + Hex(p.offset) + " lies past the end of the file");
      }
      Bytes page(kPageSize);
      PST_RETURN_IF_ERROR(file.Read(p.offset, page));
      Status ok = CheckPage(format_, page, p.ptype, p.offset, p.offset, "allocation map page");
      if (p.ptype == kPageTypeAMap) {
        PST_RETURN_IF_ERROR(ok);
        std::copy_n(page.begin() + static_cast<ptrdiff_t>(BitsOffset(format_)), kBitmapBytes,
                    MutableBits(r).begin());
        r.amap_stale = false;
        continue;
      }
      // Deprecated maps: a damaged one, or a PMap with free bits (which old
      // clients might trust over the AMap), is rewritten as all 0xFF.
      const auto bits = ByteSpan(page).subspan(BitsOffset(format_), kBitmapBytes);
      if (!ok.ok() ||
          (p.ptype == kPageTypePMap &&
           !std::all_of(bits.begin(), bits.end(), [](uint8_t b) { return b == 0xFF; }))) {
        r.maps_stale = true;
      }
    }
    for (const MapPage& p : MapPagesOf(n)) {
      const uint32_t slot = static_cast<uint32_t>((p.offset - RegionStart(n)) / kSlotSize);
      if (BitsOf(r)[slot >> 3] != 0xFF) {
        return Status::Corruption("ndb: AMap page " + Hex(RegionStart(n)) +
                                  " does not mark the map page at " + Hex(p.offset) + " as used");
      }
    }
    // Old stores end inside their last region with its tail marked used;
    // that space holds nothing and is given back.
    const uint64_t start = RegionStart(n);
    if (file_eof < start + kRegionSize) {
      const uint32_t first = static_cast<uint32_t>((file_eof - start + kSlotSize - 1) / kSlotSize);
      for (uint32_t s = first; s < kSlotsPerRegion; ++s) {
        MutableBits(r)[s >> 3] &= static_cast<uint8_t>(~(0x80 >> (s & 7)));
      }
      r.amap_stale = true;
    }
  }
  free_slots_ = 0;
  for (Region& r : regions_) {
    Recount(r);
    free_slots_ += r.free_now;
    DropIfFull(r);
  }
  SearchAgainFrom(0);
  return Status::Ok();
}

Status AllocationMap::MarkUsed(uint64_t offset, uint64_t size, const char* what) {
  const std::string where = std::string("ndb: ") + what + " at offset " + Hex(offset);
  if (offset < kFirstRegion || offset % kSlotSize != 0 || size == 0 || size % kSlotSize != 0) {
    return Status::Corruption(where + " (" + std::to_string(size) +
                              " bytes) is not on the 64-byte grid of the data area");
  }
  const uint64_t n = (offset - kFirstRegion) / kRegionSize;
  const uint64_t rel = offset - RegionStart(n);
  if (n >= regions_.size() || rel + size > kRegionSize) {
    return Status::Corruption(where + " lies past the end of the file or across an allocation map");
  }
  Region& r = regions_[n];
  const uint32_t first = static_cast<uint32_t>(rel / kSlotSize);
  const uint32_t count = static_cast<uint32_t>(size / kSlotSize);
  for (uint32_t s = first; s < first + count; ++s) {
    if (Bit(BitsOf(r), s)) {
      return Status::Corruption(where + " overlaps a map page or another page or block");
    }
  }
  SetBits(r, first, count, true, true);
  return Status::Ok();
}

bool AllocationMap::IsUsed(uint64_t offset, uint64_t size) const {
  if (offset < kFirstRegion || offset % kSlotSize != 0 || size == 0) return false;
  const uint64_t n = (offset - kFirstRegion) / kRegionSize;
  const uint64_t rel = offset - RegionStart(n);
  if (n >= committed_regions_ || rel + size > kRegionSize) return false;
  const Region& r = regions_[n];
  const Bits& b = r.committed ? *r.committed : BitsOf(r);
  const uint32_t first = static_cast<uint32_t>(rel / kSlotSize);
  for (uint32_t s = first; s < first + (size + kSlotSize - 1) / kSlotSize; ++s) {
    if (!Bit(b, s)) return false;
  }
  return true;
}

bool AllocationMap::FindRun(Region& r, uint32_t slots, bool page, uint32_t* first) {
  const Bits& bits = BitsOf(r);
  if (page) {
    for (uint32_t j = r.scan_from; j < kBitmapBytes; ++j) {
      if (bits[j] == 0 && (r.committed == nullptr || (*r.committed)[j] == 0)) {
        *first = j * 8;
        return true;
      }
    }
    return false;
  }
  uint32_t run = 0;
  bool full_so_far = true;
  for (uint32_t j = r.scan_from; j < kBitmapBytes; ++j) {
    // A region fills from its start, so most of a search passes full bytes:
    // pass them eight at a time (the bitmap is a whole number of words), and
    // the next search starts after those that lead the bitmap.
    static_assert(kBitmapBytes % 8 == 0);
    if (j % 8 == 0) {
      uint64_t word;
      std::memcpy(&word, bits.data() + j, 8);
      if (r.committed) {
        uint64_t committed;
        std::memcpy(&committed, r.committed->data() + j, 8);
        word |= committed;
      }
      if (word == ~uint64_t{0}) {
        if (full_so_far) r.scan_from = j + 8;
        run = 0;
        j += 7;
        continue;
      }
      full_so_far = false;
    }
    const uint8_t used = r.committed ? static_cast<uint8_t>(bits[j] | (*r.committed)[j]) : bits[j];
    if (used == 0xFF) {
      run = 0;
      continue;
    }
    if (used == 0) {  // eight free slots: the run ends here or goes on
      if (run + 8 >= slots) {
        *first = j * 8 - run;
        return true;
      }
      run += 8;
      continue;
    }
    for (uint32_t k = 0; k < 8; ++k) {
      if (used & (0x80 >> k)) {
        run = 0;
        continue;
      }
      if (++run == slots) {
        *first = j * 8 + k + 1 - slots;
        return true;
      }
    }
  }
  return false;
}

Status AllocationMap::AddRegion() {
  const size_t n = regions_.size();
  const uint64_t end = RegionStart(n) + kRegionSize;
  const uint64_t format_limit = LayoutOf(format_).wide ? UINT64_MAX : 0xFFFFFFFFull;
  if (end > max_file_size_ || end > format_limit) {
    return Status::SizeLimit("ndb: the store cannot grow past " + std::to_string(RegionStart(n)) +
                              " bytes (limit " +
                              std::to_string(std::min(max_file_size_, format_limit)) + " bytes)");
  }
  regions_.emplace_back();
  Region& r = regions_.back();
  r.bits = std::make_unique<Bits>();
  for (const MapPage& p : MapPagesOf(n)) {
    const uint32_t slot = static_cast<uint32_t>((p.offset - RegionStart(n)) / kSlotSize);
    (*r.bits)[slot >> 3] = 0xFF;
  }
  r.amap_stale = r.maps_stale = true;
  Recount(r);
  free_slots_ += r.free_now;
  return Status::Ok();
}

void AllocationMap::SearchAgainFrom(size_t n) {
  search_from_ = std::min(search_from_, n);
  for (size_t& from : run_search_from_) from = std::min(from, n);
}

Result<uint64_t> AllocationMap::Allocate(uint32_t slots, bool page) {
  // Blocks search from where runs of their size may still be free.
  const size_t size_class = std::min<size_t>(slots, run_search_from_.size() - 1);
  const uint32_t class_run = static_cast<uint32_t>(size_class);
  size_t& class_from = run_search_from_[size_class];
  class_from = std::max(class_from, search_from_);
  for (size_t n = page ? search_from_ : class_from;; ++n) {
    if (n == regions_.size()) PST_RETURN_IF_ERROR(AddRegion());
    Region& r = regions_[n];
    if (r.allocatable == 0 && n == search_from_) ++search_from_;
    uint32_t first = 0;
    const bool known_to_fail = page ? r.page_failed : slots >= r.failed_run;
    if (r.allocatable < slots || known_to_fail || !FindRun(r, slots, page, &first)) {
      if (r.allocatable >= slots && !known_to_fail) {
        if (page) {
          r.page_failed = true;
        } else {
          r.failed_run = slots;
        }
      }
      if (!page && n == class_from && (r.allocatable < class_run || r.failed_run <= class_run)) ++class_from;
      continue;
    }
    SetBits(r, first, slots, true, false);
    return RegionStart(n) + uint64_t{first} * kSlotSize;
  }
}

Result<uint64_t> AllocationMap::AllocateBlock(uint64_t size) {
  if (size == 0 || size % kSlotSize != 0 || size > 8192) {
    return Status::InvalidArgument("ndb: cannot allocate " + std::to_string(size) +
                                   " bytes for a block");
  }
  return Allocate(static_cast<uint32_t>(size / kSlotSize), false);
}

Result<uint64_t> AllocationMap::AllocatePage() { return Allocate(8, true); }

Status AllocationMap::Free(uint64_t offset, uint64_t size) {
  auto where = [&] { return "ndb: freeing " + std::to_string(size) + " bytes at " + Hex(offset); };
  if (offset < kFirstRegion || offset % kSlotSize != 0 || size == 0 || size % kSlotSize != 0) {
    return Status::Corruption(where() + ": not on the 64-byte grid of the data area");
  }
  const uint64_t n = (offset - kFirstRegion) / kRegionSize;
  const uint64_t rel = offset - RegionStart(n);
  if (n >= regions_.size() || rel + size > kRegionSize) {
    return Status::Corruption(where() + ": outside the allocation maps");
  }
  Region& r = regions_[n];
  const uint32_t first = static_cast<uint32_t>(rel / kSlotSize);
  const uint32_t count = static_cast<uint32_t>(size / kSlotSize);
  for (uint32_t s = first; s < first + count; ++s) {
    if (!Bit(BitsOf(r), s)) return Status::Corruption(where() + ": the space is not in use");
  }
  for (const MapPage& p : MapPagesOf(n)) {
    if (p.offset < offset + size && offset < p.offset + kPageSize) {
      return Status::Corruption(where() + ": would free the map page at " + Hex(p.offset));
    }
  }
  SetBits(r, first, count, false, false);
  SearchAgainFrom(n);
  return Status::Ok();
}

void AllocationMap::Commit() {
  for (Region& r : regions_) {
    if (r.committed) {
      r.committed.reset();
      r.allocatable = r.free_now;
      r.failed_run = UINT32_MAX;
      r.page_failed = false;
      r.scan_from = 0;
    }
    DropIfFull(r);
  }
  committed_regions_ = regions_.size();
  SearchAgainFrom(0);
}

void AllocationMap::Abandon() {
  while (regions_.size() > committed_regions_) {
    free_slots_ -= regions_.back().free_now;
    regions_.pop_back();
  }
  for (Region& r : regions_) {
    if (!r.committed) continue;
    free_slots_ -= r.free_now;
    r.bits = std::move(r.committed);
    Recount(r);
    DropIfFull(r);
    free_slots_ += r.free_now;
    r.failed_run = UINT32_MAX;
    r.page_failed = false;
  }
  SearchAgainFrom(0);
}

Bytes AllocationMap::EncodeAMap(uint64_t region) const {
  Bytes page(kPageSize, 0);
  const Bits& b = BitsOf(regions_[region]);
  std::copy(b.begin(), b.end(), page.begin() + static_cast<ptrdiff_t>(BitsOffset(format_)));
  const uint64_t at = RegionStart(region);
  SealPage(format_, kPageTypeAMap, at, at, page);
  return page;
}

Bytes AllocationMap::EncodeFilledMap(uint64_t offset, uint8_t ptype) const {
  Bytes page(kPageSize, 0);
  std::fill_n(page.begin() + static_cast<ptrdiff_t>(BitsOffset(format_)), kBitmapBytes, 0xFF);
  SealPage(format_, ptype, offset, offset, page);
  return page;
}

Bytes AllocationMap::ImageOf(const PageToWrite& page) const {
  return page.ptype == kPageTypeAMap ? EncodeAMap(page.region) : EncodeFilledMap(page.offset, page.ptype);
}

std::vector<AllocationMap::PageToWrite> AllocationMap::PagesToWrite() const {
  std::vector<PageToWrite> out;
  for (size_t n = 0; n < regions_.size(); ++n) {
    const Region& r = regions_[n];
    const bool added = n >= committed_regions_;
    if (!r.amap_stale && !r.maps_stale && !added) continue;
    for (const MapPage& p : MapPagesOf(n)) {
      if (p.ptype == kPageTypeAMap) {
        if (r.amap_stale || added) out.push_back({p.offset, added, n, p.ptype});
      } else if (r.maps_stale || added) {
        out.push_back({p.offset, added, n, p.ptype});
      }
    }
  }
  return out;
}

void AllocationMap::MarkWritten() {
  for (Region& r : regions_) r.amap_stale = r.maps_stale = false;
}

void AllocationMap::MarkRewrite(uint64_t region, bool all_maps) {
  if (region >= regions_.size()) return;
  regions_[region].amap_stale = true;
  if (all_maps) regions_[region].maps_stale = true;
}

void AllocationMap::MarkAllRewrite(bool all_maps) {
  for (size_t n = 0; n < regions_.size(); ++n) MarkRewrite(n, all_maps);
}

}  // namespace pst::ndb
