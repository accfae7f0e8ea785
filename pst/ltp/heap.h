// Heap-on-node ([MS-PST] 2.3.1): variable-size items in the pages (data
// blocks) of one node, addressed by HID.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "pst/base/bytes.h"
#include "pst/base/result.h"
#include "pst/ndb/node.h"

namespace pst::ltp {

using Hid = uint32_t;

enum HeapClient : uint8_t {
  kHeapClientTable = 0x7C,
  kHeapClientBth = 0xB5,
  kHeapClientProperties = 0xBC,
};

// HID fields: bits 0-4 type (always 0), 5-15 item index (1-based), 16-31
// page (block) index.
constexpr bool IsHid(uint32_t hnid) { return (hnid & 0x1F) == 0; }
constexpr uint32_t HidItemIndex(Hid hid) { return (hid >> 5) & 0x7FF; }
constexpr uint32_t HidPageIndex(Hid hid) { return hid >> 16; }
constexpr Hid MakeHid(uint32_t page, uint32_t item) { return (page << 16) | ((item & 0x7FF) << 5); }

class Heap {
 public:
  // Reads and checks the first page's header (signature 0xEC). Pages are
  // loaded on demand and checked when loaded.
  static Result<Heap> Open(const ndb::NodeData& node);

  uint8_t client_signature() const { return client_signature_; }
  Hid user_root() const { return user_root_; }
  size_t page_count() const { return node_->block_count(); }

  // The bytes of one item; HID 0 is an empty item. Errors name the node,
  // page and HID.
  Result<Bytes> Item(Hid hid) const;
  // The size of one item without copying it.
  Result<size_t> ItemSize(Hid hid) const;

  const ndb::NodeData& node() const { return *node_; }

  // Pages kept in memory at once; a heap has up to 65536 pages.
  static constexpr size_t kMaxCachedPages = 16;

 private:
  struct Page {
    Bytes data;
    std::vector<uint16_t> item_starts;  // rgibAlloc: cAlloc + 1 offsets
  };
  struct CacheSlot {
    size_t index = 0;
    std::shared_ptr<const Page> page;
    uint64_t last_use = 0;
  };

  explicit Heap(const ndb::NodeData* node) : node_(node) {}

  Result<std::shared_ptr<const Page>> LoadPage(size_t index) const;
  Result<std::shared_ptr<const Page>> PageOf(Hid hid, uint32_t* item) const;

  const ndb::NodeData* node_;
  uint8_t client_signature_ = 0;
  Hid user_root_ = 0;
  // Not thread-safe: a heap is used by one thread at a time.
  mutable std::vector<CacheSlot> cache_;
  mutable uint64_t clock_ = 0;
};

}  // namespace pst::ltp
