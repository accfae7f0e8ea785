// An in-memory node for tests: data blocks and subnodes given as bytes, so
// heaps, property and table contexts can be built by hand, good or broken.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pst/base/bytes.h"
#include "pst/base/checked_math.h"
#include "pst/base/hex.h"
#include "pst/ndb/node.h"

namespace pst::ltp::testing {

class MemoryNode : public ndb::NodeData {
 public:
  explicit MemoryNode(ndb::Nid nid, std::vector<Bytes> blocks = {})
      : nid_(nid), blocks_(std::move(blocks)) {}

  // Tests change blocks and subnodes after building to break them.
  std::vector<Bytes>& blocks() { return blocks_; }
  std::shared_ptr<MemoryNode> AddSubnode(ndb::Nid nid, std::vector<Bytes> blocks) {
    auto sub = std::make_shared<MemoryNode>(nid, std::move(blocks));
    subnodes_[nid] = sub;
    return sub;
  }
  size_t block_reads() const { return block_reads_; }

  ndb::Nid nid() const override { return nid_; }
  uint64_t size() const override {
    uint64_t total = 0;
    for (const Bytes& b : blocks_) total += b.size();
    return total;
  }
  size_t block_count() const override { return blocks_.size(); }
  Result<Bytes> ReadBlock(size_t index) const override {
    if (index >= blocks_.size()) {
      return Status::Corruption("memory node " + Hex(nid_) + " has no block " +
                                std::to_string(index));
    }
    ++block_reads_;
    return blocks_[index];
  }
  Status Read(uint64_t offset, std::span<uint8_t> out) const override {
    if (!RangeWithin(offset, out.size(), size())) {
      return Status::Corruption("read past the end of memory node " + Hex(nid_));
    }
    size_t done = 0;
    for (const Bytes& b : blocks_) {
      if (done == out.size()) break;
      if (offset >= b.size()) {
        offset -= b.size();
        continue;
      }
      const size_t n = std::min<uint64_t>(b.size() - offset, out.size() - done);
      std::copy_n(b.begin() + static_cast<ptrdiff_t>(offset), n, out.begin() + done);
      done += n;
      offset = 0;
    }
    return Status::Ok();
  }
  Result<std::unique_ptr<ndb::NodeData>> OpenSubnode(ndb::Nid nid) const override {
    auto it = subnodes_.find(nid);
    if (it == subnodes_.end()) {
      return Status::NotFound("memory node " + Hex(nid_) + " has no subnode " + Hex(nid));
    }
    return std::unique_ptr<ndb::NodeData>(std::make_unique<Shared>(it->second));
  }
  Status ForEachSubnode(const std::function<Status(ndb::Nid)>& fn) const override {
    for (const auto& [nid, sub] : subnodes_) PST_RETURN_IF_ERROR(fn(nid));
    return Status::Ok();
  }

 private:
  // A handle on a subnode that stays owned by its parent.
  class Shared : public ndb::NodeData {
   public:
    explicit Shared(std::shared_ptr<MemoryNode> node) : node_(std::move(node)) {}
    ndb::Nid nid() const override { return node_->nid(); }
    uint64_t size() const override { return node_->size(); }
    size_t block_count() const override { return node_->block_count(); }
    Result<Bytes> ReadBlock(size_t i) const override { return node_->ReadBlock(i); }
    Status Read(uint64_t o, std::span<uint8_t> out) const override { return node_->Read(o, out); }
    Result<std::unique_ptr<ndb::NodeData>> OpenSubnode(ndb::Nid nid) const override {
      return node_->OpenSubnode(nid);
    }
    Status ForEachSubnode(const std::function<Status(ndb::Nid)>& fn) const override {
      return node_->ForEachSubnode(fn);
    }

   private:
    std::shared_ptr<MemoryNode> node_;
  };

  ndb::Nid nid_;
  std::vector<Bytes> blocks_;
  std::map<ndb::Nid, std::shared_ptr<MemoryNode>> subnodes_;
  mutable size_t block_reads_ = 0;
};

}  // namespace pst::ltp::testing
