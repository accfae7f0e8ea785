// Heap-on-node ([MS-PST] 2.3.1): variable-size items in the pages (data
// blocks) of one node, addressed by HID.
#pragma once

#include <cstdint>
#include <memory>

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

class Heap {
 public:
  // Reads and checks the first page's header (signature 0xEC). Pages are
  // loaded on demand and checked when loaded.
  static Result<Heap> Open(const ndb::NodeData& node);

  uint8_t client_signature() const { return client_signature_; }
  Hid user_root() const { return user_root_; }

  // The bytes of one item; HID 0 is an empty item. Errors name the node,
  // page and HID.
  Result<Bytes> Item(Hid hid) const;

  const ndb::NodeData& node() const { return *node_; }

 private:
  explicit Heap(const ndb::NodeData* node) : node_(node) {}
  const ndb::NodeData* node_;
  uint8_t client_signature_ = 0;
  Hid user_root_ = 0;
};

}  // namespace pst::ltp
