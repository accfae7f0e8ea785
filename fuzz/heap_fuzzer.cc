// libFuzzer target: the heap-on-node and the BTHs kept in it. The input is
// a node's heap pages (pieces as in fuzz/fuzz_input.h); every item of every
// page is read, and a BTH is opened at the user root and at every item.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "pst/ltp/bth.h"
#include "pst/ltp/heap.h"

namespace {

using namespace pst;

constexpr uint32_t kMaxItemsPerPage = 64;
constexpr size_t kMaxPages = 8;
constexpr size_t kMaxRecords = 4096;

void WalkBth(const ltp::Heap& heap, ltp::Hid hid) {
  auto bth = ltp::Bth::Open(heap, hid);
  if (!bth.ok()) return;
  size_t records = 0;
  Bytes last_key;
  (void)bth->ForEach([&](ByteSpan key, ByteSpan) {
    last_key.assign(key.begin(), key.end());
    return ++records < kMaxRecords ? Status::Ok() : Status::Cancelled("enough");
  });
  if (!last_key.empty()) (void)bth->Find(last_key);
  (void)bth->Find(uint64_t{0x3001});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto node = fuzz::OwnedNode(0x21, data, size);
  auto heap = ltp::Heap::Open(*node);
  if (!heap.ok()) return 0;
  if (heap->user_root() != 0) {
    (void)heap->Item(heap->user_root());
    WalkBth(*heap, heap->user_root());
  }
  for (uint32_t page = 0; page < node->block_count() && page < kMaxPages; ++page) {
    for (uint32_t item = 1; item <= kMaxItemsPerPage; ++item) {
      const ltp::Hid hid = ltp::MakeHid(page, item);
      if (!heap->ItemSize(hid).ok()) break;
      (void)heap->Item(hid);
      WalkBth(*heap, hid);
    }
  }
  return 0;
}
