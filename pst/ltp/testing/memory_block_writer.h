// An in-memory BlockWriter for tests of the LTP writers: keeps every block
// it is given with its reference count, opens what was written as NodeData
// for the real readers, and can be told to fail its n-th write so that
// tests see the writers give back what they took.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "pst/base/bytes.h"
#include "pst/base/checked_math.h"
#include "pst/base/hex.h"
#include "pst/ndb/block_writer.h"
#include "pst/ndb/header.h"
#include "pst/ndb/node.h"

namespace pst::ltp::testing {

class MemoryBlockWriter : public ndb::BlockWriter {
 public:
  explicit MemoryBlockWriter(ndb::Format format) : format_(format) {}

  ndb::Format format() const override { return format_; }

  Result<ndb::Bid> WriteData(ByteSpan data) override {
    if (data.empty()) return ndb::Bid{0};
    std::vector<Bytes> blocks;
    const size_t max = MaxBlockData();
    for (size_t at = 0; at < data.size(); at += max) {
      const size_t n = std::min(max, data.size() - at);
      blocks.emplace_back(data.begin() + static_cast<ptrdiff_t>(at),
                          data.begin() + static_cast<ptrdiff_t>(at + n));
    }
    return WriteBlocks(blocks);
  }

  Result<ndb::Bid> WriteBlocks(const std::vector<Bytes>& blocks) override {
    if (blocks.empty()) return ndb::Bid{0};
    for (const Bytes& b : blocks) {
      if (b.size() > MaxBlockData()) {
        return Status::InvalidArgument("block of " + std::to_string(b.size()) +
                                       " bytes does not fit one block");
      }
    }
    PST_RETURN_IF_ERROR(CountWrite());
    std::vector<ndb::Bid> leaves;
    for (const Bytes& b : blocks) {
      Stored s;
      s.data = b;
      leaves.push_back(Add(std::move(s), false));
    }
    if (leaves.size() == 1) return leaves[0];
    Stored tree;
    tree.children = std::move(leaves);
    return Add(std::move(tree), true);
  }

  Result<ndb::Bid> WriteStream(uint64_t size, const ndb::StreamSource& source) override {
    if (size == 0) return ndb::Bid{0};
    std::vector<Bytes> blocks;
    for (uint64_t at = 0; at < size; at += MaxBlockData()) {
      Bytes b(static_cast<size_t>(std::min<uint64_t>(MaxBlockData(), size - at)));
      PST_RETURN_IF_ERROR(source(at, b));
      blocks.push_back(std::move(b));
    }
    return WriteBlocks(blocks);
  }

  Result<ndb::Bid> WriteSubnodeTree(std::vector<ndb::SubnodeEntry> entries) override {
    if (entries.empty()) return ndb::Bid{0};
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.nid < b.nid; });
    for (size_t i = 1; i < entries.size(); ++i) {
      if (entries[i].nid == entries[i - 1].nid) {
        return Status::InvalidArgument("subnode " + Hex(entries[i].nid) + " given twice");
      }
    }
    PST_RETURN_IF_ERROR(CountWrite());
    Stored s;
    s.subnodes = std::move(entries);
    return Add(std::move(s), true);
  }

  Status AddRef(ndb::Bid bid) override {
    auto it = blocks_.find(bid);
    if (it == blocks_.end()) return Status::NotFound("no block " + Hex(bid));
    ++it->second.refs;
    return Status::Ok();
  }

  Result<bool> TryAddRef(ndb::Bid bid) override {
    PST_RETURN_IF_ERROR(AddRef(bid));
    return true;
  }

  Status Release(ndb::Bid bid) override {
    auto it = blocks_.find(bid);
    if (it == blocks_.end()) return Status::NotFound("no block " + Hex(bid));
    if (--it->second.refs > 0) return Status::Ok();
    Stored gone = std::move(it->second);
    blocks_.erase(it);
    for (ndb::Bid child : gone.children) PST_RETURN_IF_ERROR(Release(child));
    for (const auto& e : gone.subnodes) {
      if (e.data_bid) PST_RETURN_IF_ERROR(Release(e.data_bid));
      if (e.subnode_bid) PST_RETURN_IF_ERROR(Release(e.subnode_bid));
    }
    return Status::Ok();
  }

  Result<ndb::Nid> AllocateNid(uint8_t nid_type) override {
    if (nid_type > 0x1F) return Status::InvalidArgument("bad NID type");
    return ndb::MakeNid(nid_type, ++nid_counters_[nid_type]);
  }

  // ---- for tests ----

  // The n-th write call from now (1 = the next) fails with an I/O error.
  void FailWrite(int n) { fail_in_ = n; }
  size_t live_blocks() const { return blocks_.size(); }
  int refs(ndb::Bid bid) const {
    auto it = blocks_.find(bid);
    return it == blocks_.end() ? 0 : it->second.refs;
  }
  // The leaf data blocks of a data tree, in order.
  std::vector<Bytes> DataBlocks(ndb::Bid bid) const {
    std::vector<Bytes> out;
    auto it = blocks_.find(bid);
    if (bid == 0 || it == blocks_.end()) return out;
    if (it->second.children.empty() && it->second.subnodes.empty()) {
      out.push_back(it->second.data);
      return out;
    }
    for (ndb::Bid c : it->second.children) out.push_back(blocks_.at(c).data);
    return out;
  }
  std::vector<ndb::SubnodeEntry> Subnodes(ndb::Bid bid) const {
    auto it = blocks_.find(bid);
    if (bid == 0 || it == blocks_.end()) return {};
    return it->second.subnodes;
  }

  // A node over written blocks, read through the reader's interface.
  std::unique_ptr<ndb::NodeData> Open(ndb::Nid nid, ndb::Bid data_bid,
                                      ndb::Bid subnode_bid) const {
    return std::make_unique<Node>(this, nid, data_bid, subnode_bid);
  }

 private:
  struct Stored {
    Bytes data;
    std::vector<ndb::Bid> children;        // a data tree over leaf blocks
    std::vector<ndb::SubnodeEntry> subnodes;  // a subnode tree
    int refs = 1;
  };

  class Node : public ndb::NodeData {
   public:
    Node(const MemoryBlockWriter* w, ndb::Nid nid, ndb::Bid data, ndb::Bid sub)
        : w_(w), nid_(nid), sub_(sub), blocks_(w->DataBlocks(data)) {}
    ndb::Nid nid() const override { return nid_; }
    uint64_t size() const override {
      uint64_t n = 0;
      for (const Bytes& b : blocks_) n += b.size();
      return n;
    }
    size_t block_count() const override { return blocks_.size(); }
    Result<Bytes> ReadBlock(size_t index) const override {
      if (index >= blocks_.size()) return Status::Corruption("no block " + std::to_string(index));
      return blocks_[index];
    }
    Status Read(uint64_t offset, std::span<uint8_t> out) const override {
      if (!RangeWithin(offset, out.size(), size())) {
        return Status::Corruption("read past the end of node " + Hex(nid_));
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
      for (const auto& e : w_->Subnodes(sub_)) {
        if (e.nid == nid) return w_->Open(nid, e.data_bid, e.subnode_bid);
      }
      return Status::NotFound("node " + Hex(nid_) + " has no subnode " + Hex(nid));
    }
    Status ForEachSubnode(const std::function<Status(ndb::Nid)>& fn) const override {
      for (const auto& e : w_->Subnodes(sub_)) PST_RETURN_IF_ERROR(fn(e.nid));
      return Status::Ok();
    }

   private:
    const MemoryBlockWriter* w_;
    ndb::Nid nid_;
    ndb::Bid sub_;
    std::vector<Bytes> blocks_;
  };

  size_t MaxBlockData() const { return ndb::LayoutOf(format_).max_block_data; }

  Status CountWrite() {
    if (fail_in_ > 0 && --fail_in_ == 0) return Status::IOError("injected write failure");
    return Status::Ok();
  }

  ndb::Bid Add(Stored s, bool internal) {
    next_bid_ += 4;
    const ndb::Bid bid = next_bid_ | (internal ? 2 : 0);
    blocks_[bid] = std::move(s);
    return bid;
  }

  ndb::Format format_;
  std::map<ndb::Bid, Stored> blocks_;
  ndb::Bid next_bid_ = 0;
  uint32_t nid_counters_[32] = {0x400, 0x400, 0x400, 0x400, 0x400, 0x400, 0x400, 0x400,
                                0x400, 0x400, 0x400, 0x400, 0x400, 0x400, 0x400, 0x400,
                                0x400, 0x400, 0x400, 0x400, 0x400, 0x400, 0x400, 0x400,
                                0x400, 0x400, 0x400, 0x400, 0x400, 0x400, 0x400, 0x400};
  int fail_in_ = 0;
};

}  // namespace pst::ltp::testing
