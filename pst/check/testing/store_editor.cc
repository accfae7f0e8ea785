#include "pst/check/testing/store_editor.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "pst/base/coding.h"
#include "pst/io/memory_file.h"
#include "pst/ndb/block.h"
#include "pst/ndb/page.h"
#include "pst/testing/samples.h"

namespace pst::check::testing {
namespace {

// Test support misused (a key that is not there, a size that does not fit):
// stop loudly, whatever the build type.
void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "StoreEditor: %s\n", what);
  std::abort();
}

}  // namespace

Bytes LoadSample(const std::string& name) {
  std::ifstream in(test::SamplePath(name), std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> Lines(const CheckReport& report) {
  std::vector<std::string> lines;
  for (const Problem& p : report.problems) {
    lines.push_back(p.where + ": " + SeverityName(p.severity) + ": " + p.what);
  }
  return lines;
}

bool HasLine(const CheckReport& report, std::initializer_list<std::string> fragments) {
  for (const std::string& line : Lines(report)) {
    if (std::all_of(fragments.begin(), fragments.end(),
                    [&](const std::string& f) { return line.find(f) != std::string::npos; })) {
      return true;
    }
  }
  return false;
}

StoreEditor::StoreEditor(Bytes bytes) : bytes_(std::move(bytes)) {
  auto header = ndb::DecodeHeader(ByteSpan(bytes_).first(std::min<size_t>(bytes_.size(), 564)));
  Require(header.ok(), "the sample has no readable header");
  header_ = *header;
}

void StoreEditor::SetHeader(const ndb::Header& header) {
  header_ = header;
  auto encoded = ndb::EncodeHeader(header_);
  Require(encoded.ok(), "header does not encode");
  std::copy(encoded->begin(), encoded->end(), bytes_.begin());
  header_.raw = *encoded;
}

uint64_t StoreEditor::Get(uint64_t offset, bool wide) const {
  return wide ? DecodeFixed64(bytes_.data() + offset) : DecodeFixed32(bytes_.data() + offset);
}

void StoreEditor::Put(uint64_t offset, uint64_t value, bool wide) {
  if (wide) {
    EncodeFixed64(bytes_.data() + offset, value);
  } else {
    EncodeFixed32(bytes_.data() + offset, static_cast<uint32_t>(value));
  }
}

std::optional<StoreEditor::EntryPos> StoreEditor::FindLeaf(bool nodes, uint64_t key) const {
  const ndb::FormatLayout& l = ndb::LayoutOf(format());
  uint64_t offset = nodes ? header_.root.nbt_root.offset : header_.root.bbt_root.offset;
  for (int depth = 0; depth < 8; ++depth) {
    ByteSpan page = ByteSpan(bytes_).subspan(offset, l.page_size);
    const ndb::BTreePageMeta m = ndb::DecodeBTreePageMeta(format(), page);
    auto key_at = [&](size_t i) {
      const uint8_t* p = page.data() + i * m.entry_size;
      return nodes ? DecodeFixed32(p) : (l.wide ? DecodeFixed64(p) : DecodeFixed32(p));
    };
    if (m.level == 0) {
      for (size_t i = 0; i < m.count; ++i) {
        if (key_at(i) == key) return EntryPos{offset, i, m.entry_size};
      }
      return std::nullopt;
    }
    size_t pick = 0;
    for (size_t i = 0; i < m.count && key_at(i) <= key; ++i) pick = i;
    offset = Get(offset + pick * m.entry_size + 2 * (l.wide ? 8 : 4), l.wide);
  }
  return std::nullopt;
}

std::vector<std::pair<uint64_t, int>> StoreEditor::TreePages(bool nodes) const {
  const ndb::FormatLayout& l = ndb::LayoutOf(format());
  std::vector<std::pair<uint64_t, int>> out;
  std::vector<uint64_t> todo{nodes ? header_.root.nbt_root.offset : header_.root.bbt_root.offset};
  while (!todo.empty()) {
    const uint64_t offset = todo.back();
    todo.pop_back();
    ByteSpan page = ByteSpan(bytes_).subspan(offset, l.page_size);
    const ndb::BTreePageMeta m = ndb::DecodeBTreePageMeta(format(), page);
    out.emplace_back(offset, m.level);
    if (m.level == 0) continue;
    for (size_t i = 0; i < m.count; ++i) {
      todo.push_back(Get(offset + i * m.entry_size + 2 * (l.wide ? 8 : 4), l.wide));
    }
  }
  return out;
}

void StoreEditor::ResealPage(uint64_t offset) {
  const ndb::FormatLayout& l = ndb::LayoutOf(format());
  std::span<uint8_t> page(bytes_.data() + offset, l.page_size);
  const ndb::PageTrailer t = ndb::DecodePageTrailer(format(), page);
  ndb::SealPage(format(), t.ptype, t.bid, offset, page);
}

ndb::BlockEntry StoreEditor::Block(ndb::Bid bid) const {
  auto pos = FindLeaf(false, bid);
  Require(pos.has_value(), "no such B-tree entry");
  return ndb::DecodeBlockEntry(
      format(), ByteSpan(bytes_).subspan(pos->page_offset + pos->index * pos->entry_size,
                                         pos->entry_size));
}

void StoreEditor::SetBlock(const ndb::BlockEntry& entry) {
  auto pos = FindLeaf(false, entry.bid);
  Require(pos.has_value(), "no such B-tree entry");
  // Keep the bytes the entry does not model (padding) as they were.
  std::span<uint8_t> bytes(bytes_.data() + pos->page_offset + pos->index * pos->entry_size,
                           pos->entry_size);
  Bytes keep(bytes.begin(), bytes.end());
  ndb::EncodeBlockEntry(format(), entry, bytes);
  if (format() == ndb::Format::kUnicode) std::copy(keep.begin() + 20, keep.end(), bytes.begin() + 20);
  ResealPage(pos->page_offset);
}

ndb::NodeEntry StoreEditor::Node(ndb::Nid nid) const {
  auto pos = FindLeaf(true, nid);
  Require(pos.has_value(), "no such B-tree entry");
  return ndb::DecodeNodeEntry(
      format(), ByteSpan(bytes_).subspan(pos->page_offset + pos->index * pos->entry_size,
                                         pos->entry_size));
}

void StoreEditor::SetNode(const ndb::NodeEntry& entry) {
  auto pos = FindLeaf(true, entry.nid);
  Require(pos.has_value(), "no such B-tree entry");
  ndb::EncodeNodeEntry(format(), entry,
                       std::span<uint8_t>(bytes_.data() + pos->page_offset +
                                              pos->index * pos->entry_size,
                                          pos->entry_size));
  ResealPage(pos->page_offset);
}

Bytes StoreEditor::BlockData(ndb::Bid bid) const {
  const ndb::BlockEntry e = Block(bid);
  ByteSpan image = ByteSpan(bytes_).subspan(e.offset, ndb::BlockDiskSize(format(), e.size));
  auto data = ndb::DecodeBlock(format(), header_.crypt_method,
                               {e.bid, e.offset, e.size, e.inflated_size}, image);
  Require(data.ok(), "block does not decode");
  return *data;
}

void StoreEditor::SetBlockData(ndb::Bid bid, ByteSpan data) {
  const ndb::BlockEntry e = Block(bid);
  Require(data.size() == e.size, "block data changes size");
  auto image = ndb::EncodeBlock(format(), header_.crypt_method, e.bid, e.offset, data);
  Require(image.ok(), "block does not encode");
  std::copy(image->begin(), image->end(), bytes_.begin() + static_cast<ptrdiff_t>(e.offset));
}

std::vector<ndb::Bid> StoreEditor::DataBlocks(ndb::Bid data_bid) const {
  if (!ndb::IsInternalBid(data_bid)) return {data_bid};
  const Bytes x = BlockData(data_bid);
  const bool wide = ndb::LayoutOf(format()).wide;
  std::vector<ndb::Bid> out;
  for (size_t i = 0; i < DecodeFixed16(x.data() + 2); ++i) {
    const uint8_t* p = x.data() + 8 + i * (wide ? 8 : 4);
    const ndb::Bid child = wide ? DecodeFixed64(p) : DecodeFixed32(p);
    for (ndb::Bid b : DataBlocks(child)) out.push_back(b);
  }
  return out;
}

bool StoreEditor::ReplaceInNode(ndb::Nid nid, ByteSpan find, ByteSpan replace) {
  Require(find.size() == replace.size(), "replacement changes size");
  for (ndb::Bid bid : DataBlocks(Node(nid).data_bid)) {
    Bytes data = BlockData(bid);
    auto it = std::search(data.begin(), data.end(), find.begin(), find.end());
    if (it == data.end()) continue;
    std::copy(replace.begin(), replace.end(), it);
    SetBlockData(bid, data);
    return true;
  }
  return false;
}

bool StoreEditor::AmapBit(uint64_t offset) const {
  const uint64_t amap = 0x4400 + (offset - 0x4400) / 0x3E000 * 0x3E000;
  const uint64_t slot = (offset - amap) / 64;
  const size_t at = amap + (format() == ndb::Format::kAnsi ? 4 : 0) + slot / 8;
  return (bytes_[at] & (0x80 >> (slot % 8))) != 0;
}

void StoreEditor::SetAmapBit(uint64_t offset, bool used, bool fix_free_total) {
  if (AmapBit(offset) == used) return;
  const uint64_t amap = 0x4400 + (offset - 0x4400) / 0x3E000 * 0x3E000;
  const uint64_t slot = (offset - amap) / 64;
  const size_t at = amap + (format() == ndb::Format::kAnsi ? 4 : 0) + slot / 8;
  bytes_[at] ^= static_cast<uint8_t>(0x80 >> (slot % 8));
  ResealPage(amap);
  if (fix_free_total) {
    ndb::Header h = header_;
    h.root.amap_free = used ? h.root.amap_free - 64 : h.root.amap_free + 64;
    SetHeader(h);
  }
}

CheckReport StoreEditor::Check(const CheckOptions& options) const {
  io::MemoryFile file(bytes_);
  return CheckStore(file, options);
}

}  // namespace pst::check::testing
