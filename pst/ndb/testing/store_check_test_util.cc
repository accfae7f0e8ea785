#include "pst/ndb/testing/store_check_test_util.h"

#include <algorithm>
#include <map>
#include <tuple>
#include <vector>

#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/ndb/allocation_map.h"
#include "pst/ndb/block.h"
#include "pst/ndb/btree_writer.h"
#include "pst/ndb/page.h"
#include "pst/ndb/reference_census.h"

namespace pst::ndb::testing {

namespace {

constexpr uint64_t kFirst = AllocationMap::kFirstRegion;
constexpr uint64_t kRegion = AllocationMap::kRegionSize;

Status Fail(const std::string& msg) { return Status::Corruption("check: " + msg); }

struct Extent {
  uint64_t offset;
  uint64_t size;
  std::string what;
};

// Reads a node's data and subnodes into `out`, recursively.
Status DigestNode(const NodeData& node, int depth, std::string& out) {
  if (depth > 8) return Fail("subnodes nested too deep");
  Bytes data(static_cast<size_t>(node.size()));
  PST_RETURN_IF_ERROR(node.Read(0, data));
  out += "data " + std::to_string(data.size()) + " [";
  out.append(data.begin(), data.end());
  out += "] blocks " + std::to_string(node.block_count()) + " {";
  PST_RETURN_IF_ERROR(node.ForEachSubnode([&](Nid sub) -> Status {
    PST_ASSIGN_OR_RETURN(auto child, node.OpenSubnode(sub));
    out += " sub " + Hex(sub) + " ";
    return DigestNode(*child, depth + 1, out);
  }));
  out += "}";
  return Status::Ok();
}

}  // namespace

Result<std::string> StoreDigest(const Database& db) {
  std::string out;
  PST_RETURN_IF_ERROR(db.ForEachNode([&](const NodeEntry& e) -> Status {
    out += "\nnode " + Hex(e.nid) + " parent " + Hex(e.parent_nid) + " ";
    PST_ASSIGN_OR_RETURN(auto node, db.OpenNodeFromBids(e.nid, e.data_bid, e.subnode_bid));
    return DigestNode(*node, 0, out).WithContext("node " + Hex(e.nid));
  }));
  return out;
}

Status CheckStore(std::shared_ptr<const io::RandomAccessFile> file, const CheckOptions& options) {
  PST_ASSIGN_OR_RETURN(auto db, Database::Open(file));
  const Header& h = db->header();
  const Format format = h.format;
  const FormatLayout& l = LayoutOf(format);
  const uint64_t eof = h.root.file_eof;
  if (eof != file->Size()) return Fail("ibFileEof " + Hex(eof) + " but the file has " + Hex(file->Size()));
  if (eof < kFirst + kRegion || (eof - kFirst) % kRegion != 0) {
    return Fail("ibFileEof " + Hex(eof) + " is not at the end of an allocation map region");
  }
  const uint64_t regions = (eof - kFirst) / kRegion;
  if (h.root.last_amap_offset != kFirst + (regions - 1) * kRegion) {
    return Fail("ibAMapLast " + Hex(h.root.last_amap_offset) + " is not the last AMap");
  }
  if (h.root.amap_valid != 2) return Fail("fAMapValid is " + std::to_string(h.root.amap_valid));
  if (h.root.pmap_free != 0) return Fail("cbPMapFree is not 0");

  // Everything that takes space.
  std::vector<Extent> used;
  for (uint64_t n = 0; n < regions; ++n) {
    for (const auto& p : AllocationMap::MapPagesOf(n)) used.push_back({p.offset, 512, "map page"});
  }
  uint64_t max_page_bid = 0;
  uint64_t max_block_bid = 0;
  for (auto [kind, root] : {std::pair{BTreeWriter::Kind::kNodes, h.root.nbt_root},
                            std::pair{BTreeWriter::Kind::kBlocks, h.root.bbt_root}}) {
    PST_RETURN_IF_ERROR(BTreeWriter::ForEachPage(*file, format, kind, root,
                                                 [&](const BlockRef& ref, uint8_t) {
                                                   max_page_bid = std::max(max_page_bid, ref.bid);
                                                   used.push_back({ref.offset, 512, "B-tree page " + Hex(ref.bid)});
                                                   return Status::Ok();
                                                 }));
  }
  std::vector<BlockEntry> blocks;
  PST_RETURN_IF_ERROR(db->ForEachBlock([&](const BlockEntry& e) {
    blocks.push_back(e);
    max_block_bid = std::max(max_block_bid, e.bid);
    used.push_back({e.offset, BlockDiskSize(format, e.size), "block " + Hex(e.bid)});
    return Status::Ok();
  }));
  std::sort(used.begin(), used.end(),
            [](const Extent& a, const Extent& b) { return a.offset < b.offset; });
  for (size_t i = 0; i < used.size(); ++i) {
    const Extent& e = used[i];
    if (e.offset < kFirst || e.offset + e.size > eof || e.offset % 64 != 0) {
      return Fail(e.what + " at " + Hex(e.offset) + " lies outside the data area");
    }
    if (i > 0 && used[i - 1].offset + used[i - 1].size > e.offset) {
      return Fail(e.what + " at " + Hex(e.offset) + " overlaps " + used[i - 1].what);
    }
  }
  if (h.next_block_bid <= max_block_bid || h.next_block_bid % 4 != 0) {
    return Fail("bidNextB " + Hex(h.next_block_bid) + " does not exceed block " + Hex(max_block_bid));
  }
  if (h.next_page_bid <= max_page_bid) {
    return Fail("bidNextP " + Hex(h.next_page_bid) + " does not exceed page " + Hex(max_page_bid));
  }

  // The maps against what is in use.
  std::vector<uint8_t> want(static_cast<size_t>(regions * 496), 0);
  for (const Extent& e : used) {
    for (uint64_t s = (e.offset - kFirst) / 64; s < (e.offset - kFirst + e.size + 63) / 64; ++s) {
      const uint64_t region = s / 3968;
      const uint64_t bit = s % 3968;
      want[region * 496 + bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
    }
  }
  uint64_t zero_bits = 0;
  const size_t bits_at = format == Format::kAnsi ? 4 : 0;
  for (uint64_t n = 0; n < regions; ++n) {
    for (const auto& p : AllocationMap::MapPagesOf(n)) {
      Bytes page(512);
      PST_RETURN_IF_ERROR(file->Read(p.offset, page));
      PST_RETURN_IF_ERROR(CheckPage(format, page, p.ptype, p.offset, p.offset, "map page"));
      if (p.ptype != kPageTypeAMap) {
        if (options.exact && std::any_of(page.begin() + bits_at, page.begin() + bits_at + 496,
                                         [](uint8_t b) { return b != 0xFF; })) {
          return Fail("map page at " + Hex(p.offset) + " is not all 0xFF");
        }
        continue;
      }
      for (size_t i = 0; i < 496; ++i) {
        const uint8_t have = page[bits_at + i];
        const uint8_t need = want[n * 496 + i];
        if ((have & need) != need || (options.exact && have != need)) {
          return Fail("AMap " + Hex(p.offset) + " byte " + std::to_string(i) + " is " + Hex(have) +
                      ", the pages and blocks in use make it " + Hex(need));
        }
        zero_bits += static_cast<uint64_t>(8 - __builtin_popcount(have));
      }
    }
  }
  if (h.root.amap_free != zero_bits * 64) {
    return Fail("cbAMapFree " + std::to_string(h.root.amap_free) + " but the AMaps have " +
                std::to_string(zero_bits * 64) + " bytes free");
  }

  // References and counts.
  PST_ASSIGN_OR_RETURN(ReferenceCensus census, ReferenceCensus::Take(*db));
  if (!census.complete()) return Fail("some internal block could not be read");
  for (const BlockEntry& e : blocks) {
    const uint32_t refs = census.Count(e.bid);
    if (options.exact && (refs == 0 || e.ref_count != refs + 1)) {
      return Fail("block " + Hex(e.bid) + " has cRef " + std::to_string(e.ref_count) + " and " +
                  std::to_string(refs) + " references");
    }
    if (e.size > l.max_block_data) return Fail("block " + Hex(e.bid) + " is too large");
  }
  std::array<uint32_t, 32> max_index{};
  PST_RETURN_IF_ERROR(db->ForEachNode([&](const NodeEntry& e) {
    max_index[NidTypeOf(e.nid)] = std::max(max_index[NidTypeOf(e.nid)], NidIndexOf(e.nid));
    return Status::Ok();
  }));
  for (size_t t = 0; t < 32; ++t) {
    if (h.nid_counters[t] < max_index[t]) {
      return Fail("rgnid[" + std::to_string(t) + "] is below a node in use");
    }
  }
  // Every node's data and subnodes read back (dangling BIDs fail here).
  return StoreDigest(*db).status();
}

Status PatchRefCount(io::MemoryFile& file, Bid bid, uint16_t ref_count) {
  PST_ASSIGN_OR_RETURN(auto db, Database::Open(std::make_shared<io::MemoryFile>(file.contents())));
  const Format format = db->format();
  const size_t entry = BbtLeafEntrySize(format);
  bool patched = false;
  PST_RETURN_IF_ERROR(BTreeWriter::ForEachPage(
      file, format, BTreeWriter::Kind::kBlocks, db->header().root.bbt_root,
      [&](const BlockRef& ref, uint8_t level) -> Status {
        if (level != 0) return Status::Ok();
        PST_ASSIGN_OR_RETURN(Bytes page, io::ReadBytes(file, ref.offset, 512));
        const BTreePageMeta m = DecodeBTreePageMeta(format, page);
        for (size_t i = 0; i < m.count; ++i) {
          std::span<uint8_t> e(page.data() + i * entry, entry);
          BlockEntry be = DecodeBlockEntry(format, e);
          if (be.bid != bid) continue;
          be.ref_count = ref_count;
          EncodeBlockEntry(format, be, e);
          SealPage(format, kPageTypeBbt, ref.bid, ref.offset, page);
          patched = true;
          return file.Write(ref.offset, page);
        }
        return Status::Ok();
      }));
  return patched ? Status::Ok() : Status::NotFound("block not in the BBT");
}

std::shared_ptr<io::MemoryFile> CopyOf(const io::MemoryFile& file) {
  return std::make_shared<io::MemoryFile>(file.contents());
}

Result<std::shared_ptr<io::MemoryFile>> LoadFile(const std::string& path) {
  PST_ASSIGN_OR_RETURN(auto f, io::OpenReadOnly(path));
  PST_ASSIGN_OR_RETURN(Bytes bytes, io::ReadBytes(*f, 0, static_cast<size_t>(f->Size())));
  return std::make_shared<io::MemoryFile>(std::move(bytes));
}

}  // namespace pst::ndb::testing
