// The node and block indexes and block reading, over stores built byte by
// byte: intact trees of several levels, and every kind of damage a page or
// block can have.
#include "pst/ndb/database.h"

#include <gtest/gtest.h>

#include "pst/base/coding.h"
#include "pst/io/memory_file.h"
#include "pst/ndb/page.h"
#include "pst/ndb/testing/store_fixture.h"
#include "pst/testing/status_matchers.h"

namespace pst::ndb {
namespace {

using testing::PageInfo;
using testing::StoreFixture;

Result<std::unique_ptr<Database>> OpenBytes(Bytes bytes) {
  return Database::Open(std::make_shared<io::MemoryFile>(std::move(bytes)));
}

// Walks both indexes and reads every block; the first error.
Status WalkAll(const Database& db) {
  PST_RETURN_IF_ERROR(db.ForEachNode([](const NodeEntry&) { return Status::Ok(); }));
  return db.ForEachBlock([&](const BlockEntry& e) { return db.ReadBlock(e.bid).status(); });
}

void ExpectError(const Status& s, const std::string& text) {
  ASSERT_FALSE(s.ok()) << "expected an error naming " << text;
  EXPECT_NE(s.message().find(text), std::string::npos) << s.ToString();
}

// A store with `n` nodes, each with its own data block, and small leaf pages
// so both trees get several levels.
StoreFixture ManyNodes(Format f, size_t n, size_t page_capacity) {
  StoreFixture fx(f);
  for (size_t i = 0; i < n; ++i) {
    const Bid b = fx.AddDataBlock(10 + i % 50, static_cast<uint8_t>(i));
    fx.AddNode(MakeNid(kNidTypeNormalMessage, static_cast<uint32_t>(0x10000 + 3 * i)), b, 0,
               0x8022);
  }
  fx.set_page_capacity(page_capacity);
  return fx;
}

class DatabaseFormatTest : public ::testing::TestWithParam<Format> {};

TEST_P(DatabaseFormatTest, FindsAndIteratesEveryEntryInOrder) {
  StoreFixture fx = ManyNodes(GetParam(), 300, 4);
  auto db = OpenBytes(fx.Build());
  ASSERT_OK(db);
  EXPECT_EQ((*db)->format(), GetParam());
  size_t max_level = 0;
  for (const PageInfo& p : fx.pages()) max_level = std::max<size_t>(max_level, p.level);
  EXPECT_GE(max_level, 2u);

  std::vector<Nid> nids;
  ASSERT_OK((*db)->ForEachNode([&](const NodeEntry& e) {
                   nids.push_back(e.nid);
                   EXPECT_EQ(e.parent_nid, 0x8022u);
                   return Status::Ok();
                 }));
  ASSERT_EQ(nids.size(), 300u);
  EXPECT_TRUE(std::is_sorted(nids.begin(), nids.end()));
  for (size_t i = 0; i < 300; ++i) {
    const Nid nid = MakeNid(kNidTypeNormalMessage, static_cast<uint32_t>(0x10000 + 3 * i));
    auto e = (*db)->FindNode(nid);
    ASSERT_OK(e);
    EXPECT_EQ(e->nid, nid);
    auto block = (*db)->ReadBlock(e->data_bid | 1);  // bit 0 is ignored
    ASSERT_OK(block);
    EXPECT_EQ(*block, StoreFixture::Pattern(10 + i % 50, static_cast<uint8_t>(i)));
  }
  // Keys before the first, between two, and after the last.
  for (uint32_t index : {0x100u, 0x10001u, 0x10000u + 3 * 299 + 1}) {
    auto e = (*db)->FindNode(MakeNid(kNidTypeNormalMessage, index));
    EXPECT_EQ(e.status().code(), Status::Code::kNotFound) << e.status().ToString();
  }
  std::vector<Bid> bids;
  ASSERT_OK((*db)->ForEachBlock([&](const BlockEntry& e) {
                   bids.push_back(e.bid);
                   EXPECT_EQ(e.offset, fx.BlockOffset(e.bid));
                   EXPECT_EQ(e.ref_count, 2);
                   return Status::Ok();
                 }));
  EXPECT_EQ(bids.size(), 300u);
  EXPECT_TRUE(std::is_sorted(bids.begin(), bids.end()));
  EXPECT_EQ((*db)->FindBlock(0x7777770).status().code(), Status::Code::kNotFound);
  EXPECT_EQ((*db)->ReadBlock(0).status().code(), Status::Code::kNotFound);
}

INSTANTIATE_TEST_SUITE_P(AllFormats, DatabaseFormatTest,
                         ::testing::Values(Format::kAnsi, Format::kUnicode, Format::kUnicode4k));

TEST(DatabaseTest, EmptyTreesOpenAndIterateNothing) {
  StoreFixture fx(Format::kUnicode);
  auto db = OpenBytes(fx.Build());
  ASSERT_OK(db);
  size_t n = 0;
  EXPECT_OK((*db)->ForEachNode([&](const NodeEntry&) { ++n; return Status::Ok(); }));
  EXPECT_EQ(n, 0u);
  EXPECT_TRUE((*db)->FindNode(0x21).status().IsNotFound());
}

// The page of the given tree and level; the first one found.
const PageInfo& PageAt(const StoreFixture& fx, bool nodes, uint8_t level) {
  for (const PageInfo& p : fx.pages()) {
    if (p.nodes == nodes && p.level == level) return p;
  }
  throw std::logic_error("no page");
}

// Edits a page's metadata (cEnt, cEntMax, cbEnt, cLevel) and reseals it.
void EditMeta(Bytes& file, const StoreFixture& fx, const PageInfo& p,
              const std::function<void(BTreePageMeta&)>& edit) {
  const size_t size = LayoutOf(fx.format()).page_size;
  std::span<uint8_t> page(file.data() + p.offset, size);
  BTreePageMeta m = DecodeBTreePageMeta(fx.format(), page);
  edit(m);
  EncodeBTreePageMeta(fx.format(), m, page);
  fx.ResealPage(file, p);
}

TEST(DatabaseTest, DamagedPagesGiveErrorsNamingThePage) {
  for (Format f : {Format::kAnsi, Format::kUnicode}) {
    SCOPED_TRACE(FormatName(f));
    StoreFixture fx = ManyNodes(f, 120, 4);
    const Bytes good = fx.Build();
    const FormatLayout& l = LayoutOf(f);
    const PageInfo nbt_root = fx.Root(true);
    const PageInfo bbt_leaf = PageAt(fx, false, 0);
    const PageInfo nbt_mid = PageAt(fx, true, 1);
    ASSERT_GE(nbt_root.level, 2);

    {  // A bit flip in a root page: the store does not open.
      Bytes b = good;
      b[nbt_root.offset + 3] ^= 1;
      auto db = OpenBytes(b);
      ExpectError(db.status(), "CRC");
      ExpectError(db.status(), "NBT page");
    }
    {  // A leaf page of the wrong type.
      Bytes b = good;
      b[bbt_leaf.offset + l.page_size - l.page_trailer_size] = kPageTypeNbt;
      auto db = OpenBytes(b);
      ASSERT_OK(db);
      ExpectError(WalkAll(**db), "page type");
    }
    {  // cEnt above cEntMax.
      Bytes b = good;
      EditMeta(b, fx, bbt_leaf, [](BTreePageMeta& m) { m.count = m.max_count + 1; });
      auto db = OpenBytes(b);
      ASSERT_OK(db);
      ExpectError(WalkAll(**db), "exceeds cEntMax");
    }
    {  // cEntMax larger than the page holds.
      Bytes b = good;
      EditMeta(b, fx, bbt_leaf, [](BTreePageMeta& m) { m.max_count = 200; });
      auto db = OpenBytes(b);
      ASSERT_OK(db);
      ExpectError(WalkAll(**db), "do not fit");
    }
    {  // Wrong entry size.
      Bytes b = good;
      EditMeta(b, fx, bbt_leaf, [](BTreePageMeta& m) { m.entry_size = 8; });
      auto db = OpenBytes(b);
      ASSERT_OK(db);
      ExpectError(WalkAll(**db), "cbEnt");
    }
    {  // An absurd root level.
      Bytes b = good;
      EditMeta(b, fx, nbt_root, [](BTreePageMeta& m) { m.level = 200; });
      ExpectError(OpenBytes(b).status(), "cLevel 200");
    }
    {  // A middle page claiming the level of its parent.
      Bytes b = good;
      EditMeta(b, fx, nbt_mid, [](BTreePageMeta& m) { m.level = 2; });
      auto db = OpenBytes(b);
      ASSERT_OK(db);
      ExpectError(WalkAll(**db), "below its parent");
    }
    {  // Two entries of a leaf swapped: out of order.
      Bytes b = good;
      const PageInfo leaf = PageAt(fx, true, 0);
      const size_t es = NbtLeafEntrySize(f);
      std::swap_ranges(b.begin() + static_cast<ptrdiff_t>(leaf.offset),
                       b.begin() + static_cast<ptrdiff_t>(leaf.offset + es),
                       b.begin() + static_cast<ptrdiff_t>(leaf.offset + es));
      fx.ResealPage(b, leaf);
      auto db = OpenBytes(b);
      ASSERT_OK(db);
      ExpectError(WalkAll(**db), "out of order");
    }
    // An index page whose second entry points at its first child: from the
    // root, a middle page reached twice; from a middle page, a leaf whose keys
    // lie outside the second entry's range.
    for (const auto& [page, expect] :
         {std::pair{nbt_root, "reached twice"}, std::pair{nbt_mid, "outside the parent"}}) {
      Bytes b = good;
      const size_t es = BTreeIndexEntrySize(f);
      const size_t w = l.wide ? 8 : 4;
      std::copy_n(b.begin() + static_cast<ptrdiff_t>(page.offset + w), 2 * w,
                  b.begin() + static_cast<ptrdiff_t>(page.offset + es + w));
      fx.ResealPage(b, page);
      auto db = OpenBytes(b);
      ASSERT_OK(db);
      ExpectError((*db)->ForEachNode([](const NodeEntry&) { return Status::Ok(); }), expect);
    }
    {  // A child page that lies past the end of the file, or off the page grid.
      for (uint64_t where : {uint64_t{good.size()} + 0x10000, nbt_root.offset + 8}) {
        Bytes b = good;
        const size_t w = l.wide ? 8 : 4;
        const size_t at = nbt_root.offset + 2 * w;  // first entry's BREF.ib
        if (l.wide) {
          EncodeFixed64(b.data() + at, where);
        } else {
          EncodeFixed32(b.data() + at, static_cast<uint32_t>(where));
        }
        fx.ResealPage(b, nbt_root);
        auto db = OpenBytes(b);
        ASSERT_OK(db);
        Status s = db.value()->ForEachNode([](const NodeEntry&) { return Status::Ok(); });
        ASSERT_FALSE(s.ok());
        EXPECT_TRUE(s.message().find("past the end") != std::string::npos ||
                    s.message().find("not page-aligned") != std::string::npos)
            << s.ToString();
      }
    }
  }
}

TEST(DatabaseTest, RootPagesOutsideTheFileFailTheOpen) {
  StoreFixture fx(Format::kUnicode);
  fx.AddNode(0x21, fx.AddDataBlock(20, 1));
  Bytes b = fx.Build();
  auto h = DecodeHeader(b);
  ASSERT_OK(h);
  h->root.bbt_root.offset = 0x7FFFFFFFFFFFFE00ull;
  auto enc = EncodeHeader(*h);
  ASSERT_OK(enc);
  std::copy(enc->begin(), enc->end(), b.begin());
  auto db = OpenBytes(b);
  ExpectError(db.status(), "past the end");
  ExpectError(db.status(), "BBT page");

  // Cut short: the trees are at the end, so the open fails cleanly.
  Bytes cut = fx.Build();
  cut.resize(cut.size() - 700);
  EXPECT_FALSE(OpenBytes(cut).ok());
  cut.resize(600);
  EXPECT_FALSE(OpenBytes(cut).ok());
}

// Locates the BBT leaf entry of bid in a store with a single BBT page.
size_t BbtEntryOffset(const StoreFixture& fx, const Bytes& file, Bid bid) {
  const PageInfo& leaf = fx.Root(false);
  EXPECT_EQ(leaf.level, 0);
  const size_t es = BbtLeafEntrySize(fx.format());
  for (size_t at = leaf.offset;; at += es) {
    if (DecodeBlockEntry(fx.format(), ByteSpan(file).subspan(at, es)).bid == bid) return at;
  }
}

TEST(DatabaseTest, DamagedBlocksGiveErrorsNamingTheBlock) {
  for (Format f : {Format::kAnsi, Format::kUnicode}) {
    SCOPED_TRACE(FormatName(f));
    StoreFixture fx(f, CryptMethod::kCyclic);
    const Bid a = fx.AddDataBlock(100, 1);
    const Bid b = fx.AddDataBlock(3000, 2);
    fx.AddNode(0x21, a);
    const Bytes good = fx.Build();
    const size_t es = BbtLeafEntrySize(f);
    auto edit_entry = [&](Bytes& file, Bid bid, const std::function<void(BlockEntry&)>& edit) {
      const size_t at = BbtEntryOffset(fx, file, bid);
      BlockEntry e = DecodeBlockEntry(f, ByteSpan(file).subspan(at, es));
      edit(e);
      EncodeBlockEntry(f, e, std::span<uint8_t>(file.data() + at, es));
      fx.ResealPage(file, fx.Root(false));
    };
    {
      auto db = OpenBytes(good);
      ASSERT_OK(db);
      ASSERT_OK(WalkAll(**db));
      auto data = (*db)->ReadBlock(b);
      ASSERT_OK(data);
      EXPECT_EQ(*data, StoreFixture::Pattern(3000, 2));
    }
    {  // A flipped data byte: the CRC over the stored bytes catches it.
      Bytes file = good;
      file[fx.BlockOffset(b) + 1000] ^= 0x20;
      auto db = OpenBytes(file);
      ASSERT_OK(db);
      auto r = (*db)->ReadBlock(b);
      ExpectError(r.status(), "CRC");
      ExpectError(r.status(), "block " + std::string(b == 8 ? "0x8" : "0xC"));
    }
    {  // The index places the block past the end of the file.
      Bytes file = good;
      edit_entry(file, b, [&](BlockEntry& e) { e.offset = file.size() - 64; });
      auto db = OpenBytes(file);
      ASSERT_OK(db);
      ExpectError((*db)->ReadBlock(b).status(), "end of the file");
    }
    {  // The index places the block off the 64-byte grid.
      Bytes file = good;
      edit_entry(file, b, [](BlockEntry& e) { e.offset += 8; });
      auto db = OpenBytes(file);
      ASSERT_OK(db);
      ExpectError((*db)->ReadBlock(b).status(), "aligned");
    }
    {  // The index and the trailer disagree on the size.
      Bytes file = good;
      edit_entry(file, b, [](BlockEntry& e) { e.size -= 1; });
      auto db = OpenBytes(file);
      ASSERT_OK(db);
      ExpectError((*db)->ReadBlock(b).status(), "cb");
    }
    {  // A size larger than any block.
      Bytes file = good;
      edit_entry(file, b, [](BlockEntry& e) { e.size = 9000; });
      auto db = OpenBytes(file);
      ASSERT_OK(db);
      ExpectError((*db)->ReadBlock(b).status(), "exceeds");
    }
    {  // The index points at the other block: its trailer names another BID.
      Bytes file = good;
      const uint64_t other = fx.BlockOffset(a);
      edit_entry(file, b, [&](BlockEntry& e) {
        e.offset = other;
        e.size = 100;
      });
      auto db = OpenBytes(file);
      ASSERT_OK(db);
      ExpectError((*db)->ReadBlock(b).status(), "names BID");
    }
  }
}

}  // namespace
}  // namespace pst::ndb
