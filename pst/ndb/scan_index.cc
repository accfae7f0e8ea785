#include "pst/ndb/scan_index.h"

#include <algorithm>
#include <map>

#include "pst/base/crc32.h"
#include "pst/ndb/block.h"
#include "pst/ndb/page.h"

namespace pst::ndb {
namespace {

constexpr uint64_t kChunk = 1 << 20;  // a multiple of every page size

struct Found {
  NodeEntry entry;
  Bid page = 0;
};

// A block ending at `end` (exclusive), judged by its trailer in `slot`.
std::optional<BlockEntry> BlockEndingAt(const io::RandomAccessFile& file, Format format, uint64_t end,
                                        ByteSpan trailer_bytes) {
  const FormatLayout& l = LayoutOf(format);
  const BlockTrailer t = DecodeBlockTrailer(format, trailer_bytes);
  if (t.bid == 0 || t.cb > l.max_block_data) return std::nullopt;
  const uint64_t disk = BlockDiskSize(format, t.cb);
  if (disk > end) return std::nullopt;
  const uint64_t start = end - disk;
  if (ComputeSig(start, t.bid) != t.sig) return std::nullopt;
  Bytes stored(t.cb);
  if (!file.Read(start, stored).ok() || PstCrc32(stored) != t.crc) return std::nullopt;
  BlockEntry e;
  e.bid = t.bid & ~Bid{1};
  e.offset = start;
  e.size = t.cb;
  e.inflated_size = format == Format::kUnicode4k ? t.inflated_size : t.cb;
  e.ref_count = 1;
  return e;
}

// The entries of an NBT leaf page that passes its checks.
void NodesOfPage(Format format, uint64_t offset, ByteSpan page, std::map<Nid, Found>* nodes) {
  const PageTrailer t = DecodePageTrailer(format, page);
  if (t.ptype != kPageTypeNbt || t.ptype_repeat != kPageTypeNbt) return;
  if (!CheckPage(format, page, kPageTypeNbt, t.bid, offset, "NBT page").ok()) return;
  const BTreePageMeta m = DecodeBTreePageMeta(format, page);
  const size_t entry_size = NbtLeafEntrySize(format);
  if (m.level != 0 || m.entry_size != entry_size ||
      uint64_t{m.count} * entry_size > LayoutOf(format).btree_entries_size) {
    return;
  }
  for (size_t i = 0; i < m.count && nodes->size() < ScanIndex::kMaxNodes; ++i) {
    const NodeEntry e = DecodeNodeEntry(format, page.subspan(i * entry_size, entry_size));
    auto [it, inserted] = nodes->try_emplace(e.nid, Found{e, t.bid});
    if (!inserted && t.bid > it->second.page) it->second = Found{e, t.bid};
  }
}

}  // namespace

Result<std::unique_ptr<ScanIndex>> ScanIndex::Build(const io::RandomAccessFile& file, Format format) {
  const FormatLayout& l = LayoutOf(format);
  auto index = std::make_unique<ScanIndex>();
  std::map<Nid, Found> nodes;
  Bytes chunk;
  const uint64_t size = file.Size();
  for (uint64_t at = 0; at < size; at += kChunk) {
    const uint64_t n = std::min(kChunk, size - at);
    chunk.resize(static_cast<size_t>(n));
    PST_RETURN_IF_ERROR(file.Read(at, chunk));
    const ByteSpan bytes(chunk);
    for (uint64_t page = 0; page + l.page_size <= n; page += l.page_size) {
      NodesOfPage(format, at + page, bytes.subspan(page, l.page_size), &nodes);
    }
    for (uint64_t end = l.block_alignment; end <= n && index->blocks_.size() < kMaxBlocks;
         end += l.block_alignment) {
      auto block = BlockEndingAt(file, format, at + end, bytes.subspan(end - l.block_trailer_size,
                                                                       l.block_trailer_size));
      if (block) index->blocks_.push_back(*block);
    }
  }
  std::stable_sort(index->blocks_.begin(), index->blocks_.end(),
                   [](const BlockEntry& a, const BlockEntry& b) { return a.bid < b.bid; });
  index->nodes_.reserve(nodes.size());
  for (const auto& [nid, found] : nodes) index->nodes_.push_back(found.entry);
  return index;
}

std::optional<BlockEntry> ScanIndex::FindBlock(Bid bid) const {
  const Bid key = bid & ~Bid{1};
  auto it = std::lower_bound(blocks_.begin(), blocks_.end(), key,
                             [](const BlockEntry& e, Bid b) { return e.bid < b; });
  if (it == blocks_.end() || it->bid != key) return std::nullopt;
  return *it;
}

std::optional<NodeEntry> ScanIndex::FindNode(Nid nid) const {
  auto it = std::lower_bound(nodes_.begin(), nodes_.end(), nid,
                             [](const NodeEntry& e, Nid n) { return e.nid < n; });
  if (it == nodes_.end() || it->nid != nid) return std::nullopt;
  return *it;
}

}  // namespace pst::ndb
