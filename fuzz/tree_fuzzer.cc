// libFuzzer target: a node's data tree (data blocks, XBLOCKs, XXBLOCKs) and
// subnode tree (SLBLOCKs, SIBLOCKs) read through the engine's node reader,
// over decoded blocks held in memory.
//
// Input (pieces as in fuzz_input.h): the first piece is control: format
// (byte 0: 0 ANSI, else Unicode), the piece index of the node's data tree
// root (byte 1) and of its subnode tree root (byte 2; 0 = none). Piece i
// (i >= 1) is the block with BID 4 * i; BIDs with bit 1 set (internal
// blocks) name the same pieces, so trees the fuzzer writes can point
// anywhere.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "fuzz/memory_database.h"

namespace {

using namespace pst;

constexpr size_t kMaxStreamRead = 16 * 1024;  // bytes of each node's stream read
constexpr int kMaxDepth = 4;
constexpr size_t kMaxNodes = 16;

ndb::Bid BidOf(const std::vector<Bytes>& pieces, uint8_t index) {
  if (index == 0 || index >= pieces.size()) return 0;
  const Bytes& p = pieces[index];
  const bool internal = !p.empty() && (p[0] == 0x01 || p[0] == 0x02);
  return ndb::Bid{4} * index | (internal ? 2 : 0);
}

void ReadNode(const ndb::NodeData& node, int depth, size_t& opened) {
  for (size_t i = 0; i < node.block_count() && i < 64; ++i) (void)node.ReadBlock(i);
  Bytes chunk(4096);
  for (uint64_t at = 0; at < node.size() && at < kMaxStreamRead; at += chunk.size()) {
    const uint64_t n = std::min<uint64_t>(chunk.size(), node.size() - at);
    if (!node.Read(at, std::span<uint8_t>(chunk).first(n)).ok()) break;
  }
  if (depth >= kMaxDepth) return;
  std::vector<ndb::Nid> subnodes;
  (void)node.ForEachSubnode([&](ndb::Nid nid) {
    subnodes.push_back(nid);
    return subnodes.size() < kMaxNodes ? Status::Ok() : Status::Cancelled("enough");
  });
  for (ndb::Nid nid : subnodes) {
    if (++opened > kMaxNodes) return;
    auto sub = node.OpenSubnode(nid);
    if (sub.ok()) ReadNode(**sub, depth + 1, opened);
  }
  (void)node.OpenSubnode(0x671);  // a lookup that may miss
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<Bytes> pieces = fuzz::SplitPieces(data, size);
  if (pieces[0].size() < 3) return 0;
  const Bytes& control = pieces[0];
  fuzz::MemoryDatabase db(control[0] == 0 ? ndb::Format::kAnsi : ndb::Format::kUnicode);
  for (size_t i = 1; i < pieces.size(); ++i) {
    db.AddBlock(ndb::Bid{4} * i, pieces[i]);
    db.AddBlock(ndb::Bid{4} * i | 2, pieces[i]);
  }
  auto node = db.OpenNodeFromBids(0x21, BidOf(pieces, control[1]), BidOf(pieces, control[2]));
  if (!node.ok()) return 0;
  size_t opened = 0;
  ReadNode(**node, 0, opened);
  return 0;
}
