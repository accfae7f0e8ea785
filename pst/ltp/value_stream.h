// A property value read in pieces, so that large bodies and attachments never
// need to be in memory at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "pst/base/bytes.h"
#include "pst/base/status.h"
#include "pst/ndb/node.h"

namespace pst::ltp {

class ValueStream {
 public:
  virtual ~ValueStream() = default;
  virtual uint64_t size() const = 0;
  // Reads out.size() bytes at offset; fails when the range passes size().
  virtual Status Read(uint64_t offset, std::span<uint8_t> out) const = 0;
  // The bytes as the store keeps them, where it can give them so (see
  // ndb::NodeData::ReadStored).
  virtual std::optional<ndb::CryptMethod> stored_encoding() const { return std::nullopt; }
  virtual Status ReadStored(uint64_t offset, std::span<uint8_t> out) const {
    (void)offset;
    (void)out;
    return Status::NotSupported("ltp: this value gives no bytes as stored");
  }
};

// A stream over bytes held in memory (values stored in a heap item).
std::unique_ptr<ValueStream> MakeMemoryValueStream(Bytes data);

// A stream over the whole data of a node (a subnode holding a large value).
std::unique_ptr<ValueStream> MakeNodeValueStream(std::unique_ptr<ndb::NodeData> node);

}  // namespace pst::ltp
