#include "pst/ndb/testing/store_fixture.h"

#include <algorithm>
#include <stdexcept>

#include "pst/base/coding.h"
#include "pst/base/crc32.h"
#include "pst/ndb/block.h"
#include "pst/ndb/crypt.h"
#include "pst/ndb/page.h"

namespace pst::ndb::testing {

namespace {
uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

void PutWide(Bytes& b, uint64_t v, bool wide) {
  const size_t at = b.size();
  b.resize(at + (wide ? 8 : 4));
  if (wide) {
    EncodeFixed64(b.data() + at, v);
  } else {
    EncodeFixed32(b.data() + at, static_cast<uint32_t>(v));
  }
}
}  // namespace

StoreFixture::StoreFixture(Format format, CryptMethod crypt) : format_(format), crypt_(crypt) {}

Bytes StoreFixture::Pattern(size_t size, uint8_t seed) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

Bid StoreFixture::AddDataBlock(ByteSpan data) {
  const Bid bid = next_bid_;
  next_bid_ += 4;
  blocks_[bid] = Bytes(data.begin(), data.end());
  return bid;
}

Bid StoreFixture::AddDataBlock(size_t size, uint8_t seed) {
  return AddDataBlock(Pattern(size, seed));
}

Bid StoreFixture::AddInternalBlock(ByteSpan data) {
  const Bid bid = next_bid_ | 2;
  next_bid_ += 4;
  blocks_[bid] = Bytes(data.begin(), data.end());
  return bid;
}

Bid StoreFixture::AddXBlock(uint8_t level, const std::vector<Bid>& children, uint32_t total) {
  const bool wide = LayoutOf(format_).wide;
  Bytes b = {0x01, level, 0, 0, 0, 0, 0, 0};
  EncodeFixed16(b.data() + 2, static_cast<uint16_t>(children.size()));
  EncodeFixed32(b.data() + 4, total);
  for (Bid c : children) PutWide(b, c, wide);
  return AddInternalBlock(b);
}

Bid StoreFixture::AddSubnodeBlock(uint8_t level, const std::vector<SubnodeEntry>& entries,
                                  uint32_t nid_junk) {
  const bool wide = LayoutOf(format_).wide;
  Bytes b = {0x02, level, 0, 0};
  EncodeFixed16(b.data() + 2, static_cast<uint16_t>(entries.size()));
  if (wide) b.resize(8, 0);
  for (const SubnodeEntry& e : entries) {
    PutWide(b, (static_cast<uint64_t>(nid_junk) << 32) | e.nid, wide);
    PutWide(b, e.data_bid, wide);
    if (level == 0) PutWide(b, e.subnode_bid, wide);
  }
  return AddInternalBlock(b);
}

void StoreFixture::AddNode(Nid nid, Bid data_bid, Bid subnode_bid, Nid parent) {
  nodes_[nid] = NodeEntry{nid, data_bid, subnode_bid, parent};
}

const PageInfo& StoreFixture::Root(bool nodes) const {
  for (const PageInfo& p : pages_) {
    if (p.nodes == nodes) return p;  // roots are recorded first
  }
  throw std::logic_error("no such tree");
}

void StoreFixture::ResealPage(Bytes& file, const PageInfo& page) const {
  const size_t size = LayoutOf(format_).page_size;
  SealPage(format_, page.nodes ? kPageTypeNbt : kPageTypeBbt, page.bid, page.offset,
           std::span<uint8_t>(file.data() + page.offset, size));
}

PageInfo StoreFixture::BuildTree(Bytes& file, bool nodes, std::vector<PendingEntry> entries) {
  const FormatLayout& l = LayoutOf(format_);
  uint8_t level = 0;
  std::vector<PageInfo> built;
  for (;;) {
    const uint8_t entry_size = level > 0 ? BTreeIndexEntrySize(format_)
                               : nodes   ? NbtLeafEntrySize(format_)
                                         : BbtLeafEntrySize(format_);
    const size_t max = l.btree_entries_size / entry_size;
    const size_t cap = page_capacity_ > 0 ? std::min(page_capacity_, max) : max;
    std::vector<PendingEntry> parents;
    std::vector<PageInfo> level_pages;
    size_t i = 0;
    do {
      const size_t n = std::min(cap, entries.size() - i);
      PageInfo info{nodes, level, next_page_bid_++, AlignUp(file.size(), l.page_size)};
      file.resize(info.offset + l.page_size, 0);
      std::span<uint8_t> page(file.data() + info.offset, l.page_size);
      for (size_t k = 0; k < n; ++k) {
        std::copy(entries[i + k].bytes.begin(), entries[i + k].bytes.end(),
                  page.begin() + static_cast<ptrdiff_t>(k * entry_size));
      }
      EncodeBTreePageMeta(format_,
                          BTreePageMeta{static_cast<uint16_t>(n), static_cast<uint16_t>(max),
                                        entry_size, level},
                          page);
      SealPage(format_, nodes ? kPageTypeNbt : kPageTypeBbt, info.bid, info.offset, page);
      Bytes parent;
      PutWide(parent, n > 0 ? entries[i].key : 0, l.wide);
      PutWide(parent, info.bid, l.wide);
      PutWide(parent, info.offset, l.wide);
      parents.push_back({n > 0 ? entries[i].key : 0, parent});
      level_pages.push_back(info);
      i += n;
    } while (i < entries.size());
    built.insert(built.begin(), level_pages.begin(), level_pages.end());
    if (level_pages.size() == 1) {
      // Record the root first, then the rest, for Root().
      pages_.insert(pages_.end(), built.begin(), built.end());
      return level_pages[0];
    }
    entries = std::move(parents);
    ++level;
  }
}

Bytes StoreFixture::Build() {
  const FormatLayout& l = LayoutOf(format_);
  pages_.clear();
  block_offsets_.clear();
  Bytes file(AlignUp(0x4400, l.page_size), 0);

  std::vector<PendingEntry> bbt;
  for (const auto& [bid, data] : blocks_) {
    const uint64_t ib = AlignUp(file.size(), l.block_alignment);
    Bytes image;
    if (format_ == Format::kUnicode4k) {
      // No encoder for 4K blocks in the engine: lay the block out here.
      image.assign(BlockDiskSize(format_, data.size()), 0);
      std::copy(data.begin(), data.end(), image.begin());
      std::span<uint8_t> body(image.data(), data.size());
      if (!IsInternalBid(bid) && !EncodeBlockData(crypt_, bid, body).ok()) {
        throw std::logic_error("unknown crypt method");
      }
      BlockTrailer t;
      t.cb = t.inflated_size = static_cast<uint16_t>(data.size());
      t.bid = bid;
      t.sig = ComputeSig(ib, bid);
      t.crc = PstCrc32(body);
      t.reserved_4k = 2;
      EncodeBlockTrailer(format_, t,
                         std::span<uint8_t>(image.data() + image.size() - l.block_trailer_size,
                                            l.block_trailer_size));
    } else {
      auto encoded = EncodeBlock(format_, crypt_, bid, ib, data);
      if (!encoded.ok()) throw std::logic_error(encoded.status().ToString());
      image = std::move(*encoded);
    }
    file.resize(ib, 0);
    file.insert(file.end(), image.begin(), image.end());
    block_offsets_[bid] = ib;
    PendingEntry e{bid, Bytes(BbtLeafEntrySize(format_))};
    EncodeBlockEntry(format_,
                     BlockEntry{bid, ib, static_cast<uint16_t>(data.size()), 2,
                                static_cast<uint16_t>(data.size())},
                     e.bytes);
    bbt.push_back(std::move(e));
  }
  std::vector<PendingEntry> nbt;
  for (const auto& [nid, node] : nodes_) {
    PendingEntry e{nid, Bytes(NbtLeafEntrySize(format_))};
    EncodeNodeEntry(format_, node, e.bytes);
    nbt.push_back(std::move(e));
  }
  const PageInfo nbt_root = BuildTree(file, true, std::move(nbt));
  const PageInfo bbt_root = BuildTree(file, false, std::move(bbt));

  Header h;
  h.format = format_;
  h.version = DefaultVersion(format_);
  h.client_version = 19;
  h.client_magic = 0x4D53;
  h.crypt_method = crypt_;
  h.next_block_bid = next_bid_;
  h.next_page_bid = next_page_bid_;
  h.root.file_eof = file.size();
  h.root.nbt_root = {nbt_root.bid, nbt_root.offset};
  h.root.bbt_root = {bbt_root.bid, bbt_root.offset};
  h.root.amap_valid = 2;
  auto header = EncodeHeader(h);
  if (!header.ok()) throw std::logic_error(header.status().ToString());
  std::copy(header->begin(), header->end(), file.begin());
  return file;
}

}  // namespace pst::ndb::testing
