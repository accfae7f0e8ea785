#include "pst/ltp/value_stream.h"

#include <algorithm>
#include <string>

#include "pst/base/checked_math.h"
#include "pst/base/hex.h"

namespace pst::ltp {
namespace {

Status RangeError(uint64_t offset, size_t length, uint64_t size) {
  return Status::InvalidArgument("value read of " + std::to_string(length) + " bytes at " +
                                 std::to_string(offset) + " passes the value's " +
                                 std::to_string(size) + " bytes");
}

class MemoryValueStream : public ValueStream {
 public:
  explicit MemoryValueStream(Bytes data) : data_(std::move(data)) {}
  uint64_t size() const override { return data_.size(); }
  Status Read(uint64_t offset, std::span<uint8_t> out) const override {
    if (!RangeWithin(offset, out.size(), data_.size())) {
      return RangeError(offset, out.size(), data_.size());
    }
    std::copy_n(data_.begin() + static_cast<ptrdiff_t>(offset), out.size(), out.begin());
    return Status::Ok();
  }

 private:
  Bytes data_;
};

class NodeValueStream : public ValueStream {
 public:
  explicit NodeValueStream(std::unique_ptr<ndb::NodeData> node) : node_(std::move(node)) {}
  uint64_t size() const override { return node_->size(); }
  Status Read(uint64_t offset, std::span<uint8_t> out) const override {
    if (!RangeWithin(offset, out.size(), node_->size())) {
      return RangeError(offset, out.size(), node_->size());
    }
    return node_->Read(offset, out);
  }
  std::optional<ndb::CryptMethod> stored_encoding() const override { return node_->stored_encoding(); }
  Status ReadStored(uint64_t offset, std::span<uint8_t> out) const override {
    if (!RangeWithin(offset, out.size(), node_->size())) {
      return RangeError(offset, out.size(), node_->size());
    }
    return node_->ReadStored(offset, out);
  }

 private:
  std::unique_ptr<ndb::NodeData> node_;
};

}  // namespace

std::unique_ptr<ValueStream> MakeMemoryValueStream(Bytes data) {
  return std::make_unique<MemoryValueStream>(std::move(data));
}

std::unique_ptr<ValueStream> MakeNodeValueStream(std::unique_ptr<ndb::NodeData> node) {
  return std::make_unique<NodeValueStream>(std::move(node));
}

}  // namespace pst::ltp
