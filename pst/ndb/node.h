// NodeData: what the layers above see of a node or subnode: its data stream
// (the blocks of its data tree, in order) and its subnode tree.
//
// The data of a heap-based node (property or table context) is a sequence of
// heap pages, one per data block, so the blocks are reachable one by one;
// other data (attachment bytes, large property values) is read as a stream
// at any offset without loading all of it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "pst/base/bytes.h"
#include "pst/base/result.h"
#include "pst/ndb/types.h"

namespace pst::ndb {

class NodeData {
 public:
  virtual ~NodeData() = default;

  virtual Nid nid() const = 0;

  // Total bytes of the data tree; 0 when the node has no data.
  virtual uint64_t size() const = 0;

  // Number of data blocks (heap pages) in the data tree.
  virtual size_t block_count() const = 0;

  // The decoded bytes of data block `index` (0-based, in stream order).
  virtual Result<Bytes> ReadBlock(size_t index) const = 0;

  // Reads out.size() bytes of the data stream at offset; fails (Corruption)
  // when the range passes size().
  virtual Status Read(uint64_t offset, std::span<uint8_t> out) const = 0;

  // The same bytes as the file keeps them: encoded with stored_encoding(),
  // a method that maps each byte alone (none or permute), so a store of the
  // same method can take them as they are, without decoding and encoding
  // again. Nodes that cannot give their bytes so have no stored_encoding().
  virtual std::optional<CryptMethod> stored_encoding() const { return std::nullopt; }
  virtual Status ReadStored(uint64_t offset, std::span<uint8_t> out) const {
    (void)offset;
    (void)out;
    return Status::NotSupported("ndb: this node gives no bytes as stored");
  }

  // Opens a subnode of this node by NID (only the low 32 bits of stored
  // subnode NIDs count). NotFound if the node has no such subnode.
  virtual Result<std::unique_ptr<NodeData>> OpenSubnode(Nid nid) const = 0;

  // Calls fn for every subnode NID of this node's own subnode tree, in
  // ascending order. Stops at the first error fn returns.
  virtual Status ForEachSubnode(const std::function<Status(Nid)>& fn) const = 0;
};

}  // namespace pst::ndb
