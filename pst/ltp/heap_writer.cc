// Heap-on-node pages as written ([MS-PST] 2.3.1). Each page is one data
// block of the node:
//
//   page 0                   HNHDR (12)
//     0  2  ibHnpm           offset of the page map
//     2  1  bSig             0xEC
//     3  1  bClientSig       0x7C table, 0xB5 BTH, 0xBC property context
//     4  4  hidUserRoot
//     8  4  rgbFillLevel     pages 0-7, 4 bits each, low nibble first
//   pages 8, 136, 264, ...   HNBITMAPHDR (66): ibHnpm (2), rgbFillLevel (64)
//                            for this page and the 127 after it
//   other pages              HNPAGEHDR (2): ibHnpm
//
//   items, packed from the end of the header
//   HNPAGEMAP at ibHnpm (2-byte aligned)
//     0  2  cAlloc
//     2  2  cFree            0: a new heap frees nothing
//     4  2*(cAlloc+1) rgibAlloc  start of each item, then the end of the last
//
// Outlook fills a page before starting the next, leaves every page but the
// last at full block size (free space after the map) and ends the last page
// at its map; so do we.
#include "pst/ltp/heap_writer.h"

#include <algorithm>
#include <string>

#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/ndb/header.h"

namespace pst::ltp {
namespace {

constexpr size_t kHnHdrSize = 12;
constexpr size_t kBitmapHdrSize = 66;
constexpr size_t kPageHdrSize = 2;
constexpr uint8_t kHeapSignature = 0xEC;

bool IsBitmapPage(size_t page) { return page % 128 == 8; }

// Bytes of a page map for n items.
size_t MapSize(size_t n) { return 4 + 2 * (n + 1); }

}  // namespace

HeapWriter::HeapWriter(uint8_t client_signature, ndb::Format format)
    : client_(client_signature),
      max_page_(ndb::LayoutOf(format).max_block_data) {
  (void)AddPage();
}

size_t HeapWriter::HeaderSize(size_t page) {
  if (page == 0) return kHnHdrSize;
  return IsBitmapPage(page) ? kBitmapHdrSize : kPageHdrSize;
}

size_t HeapWriter::MapOffset(const Page& p) {
  const size_t end = p.bytes.size();
  return end + (end % 2);
}

size_t HeapWriter::FreeBytes(const Page& p) const {
  const size_t used = MapOffset(p) + MapSize(p.ends.size());
  return used >= max_page_ ? 0 : max_page_ - used;
}

bool HeapWriter::Fits(size_t page, size_t size) const {
  const Page& p = PageAt(page);
  if (p.ends.size() >= kMaxItemsPerPage) return false;
  const size_t end = p.bytes.size() + size;
  return end + (end % 2) + MapSize(p.ends.size() + 1) <= max_page_;
}

Status HeapWriter::AddPage() {
  Page& p = pages_.emplace_back();
  p.bytes.reserve(max_page_);
  p.bytes.resize(HeaderSize(page_count() - 1), 0);
  return out_ ? Emit() : Status::Ok();
}

namespace {

Status CheckItemSize(size_t size) {
  if (size == 0 || size > HeapWriter::kMaxItemSize) {
    return Status::InvalidArgument("heap item of " + std::to_string(size) +
                                   " bytes (a heap holds items of 1 to " +
                                   std::to_string(HeapWriter::kMaxItemSize) + " bytes)");
  }
  return Status::Ok();
}

}  // namespace

Result<Hid> HeapWriter::Allocate(ByteSpan item) {
  PST_RETURN_IF_ERROR(CheckItemSize(item.size()));
  size_t page = first_open_;
  while (page < page_count() && (ItemsFinal(page) || !Fits(page, item.size()))) ++page;
  if (page == page_count()) {
    if (page_count() >= kMaxPages) {
      return Status::FormatLimit("heap is full: " + std::to_string(kMaxPages) + " pages");
    }
    PST_RETURN_IF_ERROR(AddPage());
  }
  Page& p = PageAt(page);
  p.bytes.insert(p.bytes.end(), item.begin(), item.end());
  p.ends.push_back(static_cast<uint16_t>(p.bytes.size()));
  // Pages that cannot take even a one-byte item are never searched again.
  while (first_open_ < page_count() && (ItemsFinal(first_open_) || !Fits(first_open_, 1))) ++first_open_;
  return MakeHid(static_cast<uint32_t>(page), static_cast<uint32_t>(p.ends.size()));
}

Result<Hid> HeapWriter::Reserve(size_t size) {
  PST_RETURN_IF_ERROR(CheckItemSize(size));
  Bytes zeros(size, 0);
  PST_ASSIGN_OR_RETURN(Hid hid, Allocate(zeros));
  reserved_.insert(hid);
  return hid;
}

Result<std::span<uint8_t>> HeapWriter::ItemOf(Hid hid) {
  const uint32_t page = HidPageIndex(hid);
  const uint32_t index = HidItemIndex(hid);
  if (!IsHid(hid) || page >= page_count() || index == 0) {
    return Status::InvalidArgument("heap has no item " + Hex(hid));
  }
  if (page < emitted_ && !(page == 0 && first_held_)) {
    return Status::InvalidArgument("heap item " + Hex(hid) + " was written out already");
  }
  if (index > PageAt(page).ends.size()) return Status::InvalidArgument("heap has no item " + Hex(hid));
  Page& p = PageAt(page);
  const size_t start = index == 1 ? HeaderSize(page) : p.ends[index - 2];
  return std::span<uint8_t>(p.bytes.data() + start, p.ends[index - 1] - start);
}

Status HeapWriter::Write(Hid hid, ByteSpan item) {
  PST_ASSIGN_OR_RETURN(std::span<uint8_t> target, ItemOf(hid));
  if (target.size() != item.size()) {
    return Status::InvalidArgument("heap item " + Hex(hid) + " has " +
                                   std::to_string(target.size()) + " bytes, not " +
                                   std::to_string(item.size()));
  }
  std::copy(item.begin(), item.end(), target.begin());
  if (reserved_.erase(hid) == 0 || !out_) return Status::Ok();
  PST_RETURN_IF_ERROR(GiveHeldFirst(false));
  return Emit();
}

Result<ByteSpan> HeapWriter::Item(Hid hid) const {
  PST_ASSIGN_OR_RETURN(std::span<uint8_t> item, const_cast<HeapWriter*>(this)->ItemOf(hid));
  return ByteSpan(item);
}

uint8_t HeapWriter::FillLevel(size_t free_bytes) {
  // Lower bounds of the free space for levels 0 (empty) to 14; 15 = full.
  static constexpr size_t kAtLeast[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768,
                                        512,  256,  128,  64,   32,   16,   8};
  for (uint8_t level = 0; level < 15; ++level) {
    if (free_bytes >= kAtLeast[level]) return level;
  }
  return 15;
}

Bytes HeapWriter::EncodePage(size_t index, bool last) {
  Page& p = PageAt(index);
  const uint8_t own_level = FillLevel(FreeBytes(p));
  const size_t map = MapOffset(p);
  Bytes page = std::move(p.bytes);
  page.resize(map + MapSize(p.ends.size()), 0);
  EncodeFixed16(page.data(), static_cast<uint16_t>(map));
  EncodeFixed16(page.data() + map, static_cast<uint16_t>(p.ends.size()));
  uint8_t* entry = page.data() + map + 4;
  EncodeFixed16(entry, static_cast<uint16_t>(HeaderSize(index)));
  for (uint16_t end : p.ends) EncodeFixed16(entry += 2, end);
  if (!last) page.resize(max_page_, 0);

  // Fill levels of the pages this header describes: this one and later ones,
  // all still held.
  size_t count = 0, field = 0;
  if (index == 0) {
    page[2] = kHeapSignature;
    page[3] = client_;
    EncodeFixed32(page.data() + 4, user_root_);
    count = 8, field = 8;
  } else if (IsBitmapPage(index)) {
    count = 128, field = 2;
  }
  for (size_t k = 0; k < count && index + k < page_count(); ++k) {
    const uint8_t level = k == 0 ? own_level : LevelOf(index + k);
    page[field + k / 2] |= static_cast<uint8_t>(k % 2 == 0 ? level : level << 4);
  }
  p = Page();
  p.encoded = true;
  p.level = own_level;
  return page;
}

uint8_t HeapWriter::LevelOf(size_t page) const {
  const Page& p = PageAt(page);
  return p.encoded ? p.level : FillLevel(FreeBytes(p));
}

bool HeapWriter::HoldsReserved(size_t page) const {
  auto first = reserved_.lower_bound(MakeHid(static_cast<uint32_t>(page), 0));
  return first != reserved_.end() && HidPageIndex(*first) == page;
}

Status HeapWriter::Emit() {
  for (; emitted_ < page_count(); ++emitted_) {
    const size_t index = emitted_;
    // Its fill levels are final once the last page it describes takes no
    // more items (and then so does the page itself).
    const size_t described = index == 0 ? 8 : IsBitmapPage(index) ? 128 : 1;
    if (!ItemsFinal(index + described - 1)) break;
    if (HoldsReserved(index)) {
      if (index != 0) break;
      PST_RETURN_IF_ERROR(out_->HoldFirst());
      first_held_ = true;
      continue;
    }
    PST_RETURN_IF_ERROR(out_->Add(EncodePage(index, false)));
    if (index >= kKeptFirstPages) {
      // Pages go out in order, so this one is the first after the kept ones.
      pages_.erase(pages_.begin() + static_cast<std::ptrdiff_t>(kKeptFirstPages));
      ++dropped_;
    }
  }
  return Status::Ok();
}

Status HeapWriter::GiveHeldFirst(bool force) {
  if (!first_held_ || (!force && HoldsReserved(0))) return Status::Ok();
  first_held_ = false;
  // Held only while later pages went out, so never the last page.
  return out_->AddFirst(EncodePage(0, false));
}

Status HeapWriter::FinishInto() {
  PST_RETURN_IF_ERROR(GiveHeldFirst(true));
  for (; emitted_ < page_count(); ++emitted_) {
    PST_RETURN_IF_ERROR(out_->Add(EncodePage(emitted_, emitted_ + 1 == page_count())));
  }
  return Status::Ok();
}

std::vector<Bytes> HeapWriter::Finish() {
  std::vector<Bytes> blocks;
  blocks.reserve(page_count());
  for (size_t index = 0; index < page_count(); ++index) blocks.push_back(EncodePage(index, index + 1 == page_count()));
  pages_.clear();
  dropped_ = 0;
  reserved_.clear();
  first_open_ = 0;
  (void)AddPage();
  return blocks;
}

}  // namespace pst::ltp
