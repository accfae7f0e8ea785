// Heap-on-node reader ([MS-PST] 2.3.1).
//
// Every data block of the node is one heap page. Page headers by block index:
//   block 0                  HNHDR        (12 bytes)
//   block 8, 136, 264, ...   HNBITMAPHDR  (66 bytes)
//   any other block          HNPAGEHDR    (2 bytes)
//
// HNHDR (2.3.1.2)            HNBITMAPHDR (2.3.1.4)     HNPAGEHDR (2.3.1.3)
//   0  2  ibHnpm               0  2  ibHnpm              0  2  ibHnpm
//   2  1  bSig = 0xEC          2 64  rgbFillLevel
//   3  1  bClientSig
//   4  4  hidUserRoot
//   8  4  rgbFillLevel
//
// HNPAGEMAP (2.3.1.5), at ibHnpm:
//   0  2               cAlloc
//   2  2               cFree
//   4  2*(cAlloc + 1)  rgibAlloc: item i (1-based) spans
//                      [rgibAlloc[i-1], rgibAlloc[i])
#include "pst/ltp/heap.h"

#include <algorithm>
#include <string>

#include "pst/base/byte_reader.h"
#include "pst/base/hex.h"

namespace pst::ltp {
namespace {

constexpr uint8_t kHeapSignature = 0xEC;
constexpr size_t kFirstHeaderSize = 12;
constexpr size_t kBitmapHeaderSize = 66;
constexpr size_t kPageHeaderSize = 2;

size_t HeaderSizeOf(size_t page_index) {
  if (page_index == 0) return kFirstHeaderSize;
  if (page_index % 128 == 8) return kBitmapHeaderSize;
  return kPageHeaderSize;
}

std::string Where(const ndb::NodeData& node, size_t page) {
  return "heap of node " + Hex(node.nid()) + ", page " + std::to_string(page);
}

Status Corrupt(const ndb::NodeData& node, size_t page, const std::string& what) {
  return Status::Corruption(Where(node, page) + ": " + what);
}

}  // namespace

Result<Heap> Heap::Open(const ndb::NodeData& node) {
  if (node.block_count() == 0) {
    return Status::Corruption("heap of node " + Hex(node.nid()) + ": the node has no data");
  }
  Heap heap(&node);
  PST_ASSIGN_OR_RETURN(auto first, heap.LoadPage(0));
  ByteReader reader(first->data);
  reader.Skip(2);  // ibHnpm, checked by LoadPage
  uint8_t signature = reader.U8();
  heap.client_signature_ = reader.U8();
  heap.user_root_ = reader.U32();
  if (signature != kHeapSignature) {
    return Corrupt(node, 0, "bad signature " + Hex(signature) + " (expected 0xEC)");
  }
  return heap;
}

Result<std::shared_ptr<const Heap::Page>> Heap::LoadPage(size_t index) const {
  for (CacheSlot& slot : cache_) {
    if (slot.index == index) {
      slot.last_use = ++clock_;
      return slot.page;
    }
  }
  if (index >= node_->block_count()) {
    return Corrupt(*node_, index,
                   "the node has only " + std::to_string(node_->block_count()) + " pages");
  }
  auto block = node_->ReadBlock(index);
  if (!block.ok()) return block.status().WithContext(Where(*node_, index));
  auto page = std::make_shared<Page>();
  page->data = std::move(block).value();

  const size_t size = page->data.size();
  const size_t header_size = HeaderSizeOf(index);
  ByteReader reader(page->data);
  const size_t map_offset = reader.U16();
  if (!reader.ok() || size < header_size) {
    return Corrupt(*node_, index,
                   "page of " + std::to_string(size) + " bytes is shorter than its header");
  }
  // The map sits after the items, so never inside the header, and is 2-aligned.
  if (map_offset < header_size || map_offset % 2 != 0 || map_offset > size ||
      size - map_offset < 4) {
    return Corrupt(*node_, index,
                   "page map offset " + std::to_string(map_offset) + " out of range (page size " +
                       std::to_string(size) + ")");
  }
  reader.Seek(map_offset);
  const size_t count = reader.U16();
  reader.U16();  // cFree: informational; freed items simply have zero length
  if ((size - map_offset - 4) / 2 < count + 1) {
    return Corrupt(*node_, index,
                   "page map of " + std::to_string(count) + " items passes the end of the page");
  }
  page->item_starts.resize(count + 1);
  size_t previous = header_size;
  for (size_t i = 0; i <= count; ++i) {
    const size_t start = reader.U16();
    if (start < previous || start > map_offset) {
      return Corrupt(*node_, index,
                     "item offset " + std::to_string(start) + " at map entry " + std::to_string(i) +
                         " is out of order or outside the item area");
    }
    page->item_starts[i] = static_cast<uint16_t>(start);
    previous = start;
  }

  std::shared_ptr<const Page> result = page;
  if (cache_.size() < kMaxCachedPages) {
    cache_.push_back({index, result, ++clock_});
  } else {
    auto oldest = std::min_element(
        cache_.begin(), cache_.end(),
        [](const CacheSlot& a, const CacheSlot& b) { return a.last_use < b.last_use; });
    *oldest = {index, result, ++clock_};
  }
  return result;
}

Result<std::shared_ptr<const Heap::Page>> Heap::PageOf(Hid hid, uint32_t* item) const {
  const size_t page_index = HidPageIndex(hid);
  if (!IsHid(hid) || HidItemIndex(hid) == 0) {
    return Corrupt(*node_, page_index, Hex(hid) + " is not a heap id");
  }
  PST_ASSIGN_OR_RETURN(auto page, LoadPage(page_index));
  *item = HidItemIndex(hid);
  if (*item >= page->item_starts.size()) {
    return Corrupt(*node_, page_index,
                   "heap id " + Hex(hid) + " names item " + std::to_string(*item) +
                       " but the page has " + std::to_string(page->item_starts.size() - 1));
  }
  return page;
}

Result<Bytes> Heap::Item(Hid hid) const {
  if (hid == 0) return Bytes();
  uint32_t item = 0;
  PST_ASSIGN_OR_RETURN(auto page, PageOf(hid, &item));
  auto begin = page->data.begin();
  return Bytes(begin + page->item_starts[item - 1], begin + page->item_starts[item]);
}

Result<size_t> Heap::ItemSize(Hid hid) const {
  if (hid == 0) return size_t{0};
  uint32_t item = 0;
  PST_ASSIGN_OR_RETURN(auto page, PageOf(hid, &item));
  return static_cast<size_t>(page->item_starts[item] - page->item_starts[item - 1]);
}

}  // namespace pst::ltp
