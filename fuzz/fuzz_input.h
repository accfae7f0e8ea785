// What the layer fuzz targets share: cutting one input into the pieces a
// layer reads (heap pages, blocks, subnodes). Pieces are separated by a
// four-byte marker rather than length-prefixed, so that the fuzzer's
// insertions and deletions keep the rest of an input meaningful; the seed
// cutter (seed_cutter.cc) writes inputs in the same form.
//
//   input   := piece ( "\xF0" "PST" piece )*
//   a piece that starts "SN" + 4-byte NID (little-endian) begins a subnode;
//   the pieces after it, up to the next such piece, are its further blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "pst/base/bytes.h"
#include "pst/base/coding.h"
#include "pst/ltp/testing/memory_node.h"

namespace pst::fuzz {

inline constexpr uint8_t kSeparator[4] = {0xF0, 'P', 'S', 'T'};
// Bounds that keep every run small and fast.
inline constexpr size_t kMaxPieces = 64;
inline constexpr size_t kMaxSubnodes = 16;

inline std::vector<Bytes> SplitPieces(const uint8_t* data, size_t size) {
  std::vector<Bytes> pieces;
  size_t start = 0;
  for (size_t i = 0; i + sizeof(kSeparator) <= size && pieces.size() + 1 < kMaxPieces; ++i) {
    // Byte by byte rather than memcmp: libFuzzer traces every memcmp call,
    // which made splitting a quarter of a run.
    if (data[i] != kSeparator[0] || data[i + 1] != kSeparator[1] || data[i + 2] != kSeparator[2] ||
        data[i + 3] != kSeparator[3]) {
      continue;
    }
    pieces.emplace_back(data + start, data + i);
    i += sizeof(kSeparator) - 1;
    start = i + 1;
  }
  pieces.emplace_back(data + start, data + size);
  return pieces;
}

inline bool IsSubnodeStart(const Bytes& piece) {
  return piece.size() >= 6 && piece[0] == 'S' && piece[1] == 'N';
}

// A node whose data blocks are the pieces up to the first subnode start;
// each subnode start opens a subnode (one level: nested subnodes are the
// data and subnode tree target's business).
inline std::shared_ptr<ltp::testing::MemoryNode> NodeFromPieces(ndb::Nid nid,
                                                                const std::vector<Bytes>& pieces) {
  auto node = std::make_shared<ltp::testing::MemoryNode>(nid);
  std::shared_ptr<ltp::testing::MemoryNode> current = node;
  size_t subnodes = 0;
  for (const Bytes& piece : pieces) {
    if (IsSubnodeStart(piece) && subnodes < kMaxSubnodes) {
      ++subnodes;
      current = node->AddSubnode(DecodeFixed32(piece.data() + 2),
                                 {Bytes(piece.begin() + 6, piece.end())});
      continue;
    }
    current->blocks().push_back(piece);
  }
  return node;
}

// A MemoryNode handle the layers can own while the fuzz target keeps the node.
class NodeHandle : public ndb::NodeData {
 public:
  explicit NodeHandle(std::shared_ptr<ltp::testing::MemoryNode> node) : node_(std::move(node)) {}
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
  std::shared_ptr<ltp::testing::MemoryNode> node_;
};

inline std::unique_ptr<ndb::NodeData> OwnedNode(ndb::Nid nid, const uint8_t* data, size_t size) {
  return std::make_unique<NodeHandle>(NodeFromPieces(nid, SplitPieces(data, size)));
}

}  // namespace pst::fuzz
