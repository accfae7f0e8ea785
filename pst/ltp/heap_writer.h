// HeapWriter: lays out a new heap-on-node in memory, page by page, as the
// data blocks of a property or table context. See heap_writer.cc for the
// page layout.
#pragma once

#include <cstdint>
#include <deque>
#include <set>
#include <vector>

#include "pst/base/bytes.h"
#include "pst/base/result.h"
#include "pst/ltp/heap.h"
#include "pst/ndb/block_writer.h"
#include "pst/ndb/types.h"

namespace pst::ltp {

class HeapWriter {
 public:
  // Largest item a heap holds; larger values go to subnodes.
  static constexpr size_t kMaxItemSize = 3580;
  // hidIndex has 11 bits, hidBlockIndex 16.
  static constexpr size_t kMaxItemsPerPage = 2047;
  static constexpr size_t kMaxPages = 65536;

  HeapWriter(uint8_t client_signature, ndb::Format format);

  // Adds an item on the first page with room for it (a new page when none
  // has), and returns its HID. Items are 1 to kMaxItemSize bytes.
  Result<Hid> Allocate(ByteSpan item);
  // Adds a zero-filled item of `size` bytes, to be filled with Write later
  // (so structures built last can still come first in the heap).
  Result<Hid> Reserve(size_t size);
  // Replaces the bytes of an item with as many new ones.
  Status Write(Hid hid, ByteSpan item);
  // The bytes of an item, valid until the next Allocate or Reserve.
  Result<ByteSpan> Item(Hid hid) const;

  void set_user_root(Hid hid) { user_root_ = hid; }
  size_t page_count() const { return pages_.size() + dropped_; }
  size_t max_page_size() const { return max_page_; }

  // The pages as data blocks: every page but the last is full-size (free
  // space after its page map), the last ends with its page map. The pages
  // are handed over, not copied: the writer is empty afterwards.
  std::vector<Bytes> Finish();

  // From now on, hands each page to `out` once it is complete, in order, so
  // that a big heap is not held whole; FinishInto hands over the rest. Items
  // then go only to the last kOpenPages pages, and a page is complete when
  // it is further back, has no reserved item left unwritten, and the pages
  // whose fill levels it records are complete too. The first page may wait
  // for its reserved items (the header of a table's row index, which points
  // at the root written last) while the pages after it go on.
  void StreamTo(ndb::BlocksInOrder* out) { out_ = out; }
  Status FinishInto();
  static constexpr size_t kOpenPages = 32;

  // The 4-bit fill level recorded for a page with `free_bytes` free.
  static uint8_t FillLevel(size_t free_bytes);

 private:
  // A page as it will be written, up to its items: room for its header,
  // then the items packed in order (one buffer per page, not per item: a
  // table of many rows holds millions of small items).
  struct Page {
    Bytes bytes;
    std::vector<uint16_t> ends;  // where each item ends in `bytes`
    bool encoded = false;        // handed over; only its fill level is kept
    uint8_t level = 0;
  };

  static size_t HeaderSize(size_t page);
  // Where the page map starts: after the items, 2-byte aligned.
  static size_t MapOffset(const Page& p);
  size_t FreeBytes(const Page& p) const;
  bool Fits(size_t page, size_t size) const;
  Status AddPage();
  Result<std::span<uint8_t>> ItemOf(Hid hid);
  // Page `index` as its data block (`last`: ends at its page map).
  Bytes EncodePage(size_t index, bool last);
  bool ItemsFinal(size_t page) const { return out_ && page + kOpenPages < page_count(); }
  // Page `index` (not one of the dropped).
  Page& PageAt(size_t index) { return pages_[index < kKeptFirstPages ? index : index - dropped_]; }
  const Page& PageAt(size_t index) const { return pages_[index < kKeptFirstPages ? index : index - dropped_]; }
  bool HoldsReserved(size_t page) const;
  uint8_t LevelOf(size_t page) const;
  // Hands over the first page once it was held and holds no reserved item
  // (`force`: whatever it holds, as the heap is finished).
  Status GiveHeldFirst(bool force);
  // Hands complete pages to out_.
  Status Emit();

  uint8_t client_;
  size_t max_page_;
  Hid user_root_ = 0;
  // Pages handed to out_ are let go, but for the first eight, whose fill
  // levels the first page records when it goes out last: a table's heap
  // has up to 65,536 pages. pages_ holds the first eight pages, then the
  // pages from the (kKeptFirstPages + dropped_)th on.
  static constexpr size_t kKeptFirstPages = 8;
  std::deque<Page> pages_;
  size_t dropped_ = 0;
  // Pages before this one have been found full for the smallest item seen
  // since; the first-fit search starts here.
  size_t first_open_ = 0;

  ndb::BlocksInOrder* out_ = nullptr;
  size_t emitted_ = 0;             // pages before this one went to out_
  bool first_held_ = false;        // ... but the first, whose place out_ holds
  std::set<Hid> reserved_;  // reserved items not yet written, in page order
};

}  // namespace pst::ltp
