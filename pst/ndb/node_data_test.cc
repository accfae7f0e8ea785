// Nodes as seen from above: data trees (single block, XBLOCK, XXBLOCK),
// streaming reads in bounded memory, and subnode trees.
#include <gtest/gtest.h>

#include <atomic>

#include "pst/io/memory_file.h"
#include "pst/ndb/block.h"
#include "pst/ndb/database.h"
#include "pst/ndb/testing/store_fixture.h"
#include "pst/testing/status_matchers.h"

namespace pst::ndb {
namespace {

using testing::StoreFixture;

// Counts the reads and bytes read through it, to show what a read costs;
// a read that touches [fail_from, fail_to) fails as a bad disk would.
class CountingFile final : public io::RandomAccessFile {
 public:
  explicit CountingFile(Bytes data) : inner_(std::move(data)) {}
  Status Read(uint64_t offset, std::span<uint8_t> out) const override {
    ++reads_;
    bytes_read_ += out.size();
    if (offset < fail_to && offset + out.size() > fail_from) return Status::IOError("bad sector");
    return inner_.Read(offset, out);
  }
  uint64_t Size() const override { return inner_.Size(); }
  std::string Name() const override { return "<counting>"; }
  uint64_t bytes_read() const { return bytes_read_; }
  uint64_t reads() const { return reads_; }

  uint64_t fail_from = 0;
  uint64_t fail_to = 0;

 private:
  io::MemoryFile inner_;
  mutable std::atomic<uint64_t> bytes_read_{0};
  mutable std::atomic<uint64_t> reads_{0};
};

Result<std::unique_ptr<Database>> OpenBytes(Bytes bytes) {
  return Database::Open(std::make_shared<io::MemoryFile>(std::move(bytes)));
}

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

void ExpectError(const Status& s, const std::string& text) {
  ASSERT_FALSE(s.ok()) << "expected an error naming " << text;
  EXPECT_NE(s.message().find(text), std::string::npos) << s.ToString();
}

// Reads the whole stream in pieces of every awkward size and compares.
void ExpectStream(const NodeData& node, const Bytes& want) {
  ASSERT_EQ(node.size(), want.size());
  for (size_t piece : {size_t{1}, size_t{7}, size_t{299}, size_t{4096}, want.size()}) {
    if (piece == 0) continue;
    Bytes got(want.size());
    for (size_t at = 0; at < want.size(); at += piece) {
      const size_t n = std::min(piece, want.size() - at);
      ASSERT_OK(node.Read(at, std::span<uint8_t>(got.data() + at, n))) << at;
    }
    EXPECT_EQ(got, want) << "piece " << piece;
  }
}

class NodeDataFormatTest : public ::testing::TestWithParam<Format> {};

TEST_P(NodeDataFormatTest, DataTreesOfEveryDepthStreamAndSplitIntoBlocks) {
  StoreFixture fx(GetParam());
  // Uneven block sizes: a reader may not assume non-last blocks are full.
  const std::vector<Bytes> x1 = {StoreFixture::Pattern(300, 1), StoreFixture::Pattern(8000, 2),
                                 StoreFixture::Pattern(17, 3)};
  const std::vector<Bytes> x2 = {StoreFixture::Pattern(5000, 4), StoreFixture::Pattern(1, 5)};
  std::vector<Bid> b1, b2;
  for (const Bytes& b : x1) b1.push_back(fx.AddDataBlock(b));
  for (const Bytes& b : x2) b2.push_back(fx.AddDataBlock(b));
  const Bid xb1 = fx.AddXBlock(1, b1, 300 + 8000 + 17);
  const Bid xb2 = fx.AddXBlock(1, b2, 5001);
  const Bid xxb = fx.AddXBlock(2, {xb1, xb2}, 300 + 8000 + 17 + 5001);
  fx.AddNode(0x21, b1[0]);
  fx.AddNode(0x61, xb1);
  fx.AddNode(0x122, xxb);
  fx.AddNode(0x12D, 0);
  auto db = OpenBytes(fx.Build());
  ASSERT_OK(db);

  auto single = (*db)->OpenNode(0x21);
  ASSERT_OK(single);
  EXPECT_EQ((*single)->nid(), 0x21u);
  EXPECT_EQ((*single)->block_count(), 1u);
  ExpectStream(**single, x1[0]);

  auto xblock = (*db)->OpenNode(0x61);
  ASSERT_OK(xblock);
  ASSERT_EQ((*xblock)->block_count(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    auto b = (*xblock)->ReadBlock(i);
    ASSERT_OK(b);
    EXPECT_EQ(*b, x1[i]);
  }
  ExpectStream(**xblock, Concat(x1));

  auto xx = (*db)->OpenNode(0x122);
  ASSERT_OK(xx);
  ASSERT_EQ((*xx)->block_count(), 5u);
  std::vector<Bytes> all = x1;
  all.insert(all.end(), x2.begin(), x2.end());
  for (size_t i : {size_t{4}, size_t{0}, size_t{3}, size_t{2}}) {  // out of order on purpose
    auto b = (*xx)->ReadBlock(i);
    ASSERT_OK(b);
    EXPECT_EQ(*b, all[i]);
  }
  ExpectStream(**xx, Concat(all));
  EXPECT_EQ((*xx)->ReadBlock(5).status().code(), Status::Code::kInvalidArgument);
  Bytes one(2);
  ExpectError((*xx)->Read((*xx)->size() - 1, one), "passes its size");
  EXPECT_OK((*xx)->Read((*xx)->size(), std::span<uint8_t>()));

  auto empty = (*db)->OpenNode(0x12D);
  ASSERT_OK(empty);
  EXPECT_EQ((*empty)->size(), 0u);
  EXPECT_EQ((*empty)->block_count(), 0u);
  EXPECT_TRUE((*empty)->OpenSubnode(0x3F).status().IsNotFound());
}

INSTANTIATE_TEST_SUITE_P(AllFormats, NodeDataFormatTest,
                         ::testing::Values(Format::kAnsi, Format::kUnicode, Format::kUnicode4k));

TEST(NodeDataTest, BrokenDataTreesAreRefused) {
  StoreFixture fx(Format::kUnicode);
  const Bid a = fx.AddDataBlock(100, 1);
  const Bid b = fx.AddDataBlock(200, 2);
  const Bid good_x = fx.AddXBlock(1, {a, b}, 300);
  struct Case {
    Nid nid;
    Bid data;
    const char* expect;
  };
  const Case cases[] = {
      {0x21, fx.AddXBlock(1, {a, b}, 301), "lcbTotal"},
      {0x41, fx.AddXBlock(1, {a, good_x}, 300), "wrong for cLevel 1"},
      {0x61, fx.AddXBlock(2, {a}, 100), "wrong for cLevel 2"},
      {0x81, fx.AddXBlock(3, {a}, 100), "cLevel 3"},
      {0xA1, fx.AddXBlock(1, {}, 0), "cEnt 0"},
      {0xC1, fx.AddXBlock(2, {good_x, good_x}, 601), "lcbTotal"},
      {0xE1, fx.AddInternalBlock(Bytes{0x02, 0x01, 0x01, 0x00}), "not an XBLOCK"},
      {0x101, fx.AddInternalBlock(Bytes{0x01, 0x01, 0x40, 0x00, 0, 0, 0, 0, 1, 2}), "does not fit"},
      {0x121, 0x7777774, "not in the block index"},
  };
  for (const Case& c : cases) fx.AddNode(c.nid, c.data);
  auto db = OpenBytes(fx.Build());
  ASSERT_OK(db);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expect);
    auto node = (*db)->OpenNode(c.nid);
    ExpectError(node.status(), c.expect);
    EXPECT_NE(node.status().message().find("node 0x"), std::string::npos);
  }
}

TEST(NodeDataTest, XBlockInsideAnXXBlockIsCheckedWhenReached) {
  StoreFixture fx(Format::kAnsi);
  const Bid a = fx.AddDataBlock(100, 1);
  const Bid b = fx.AddDataBlock(200, 2);
  const Bid ok = fx.AddXBlock(1, {a}, 100);
  // Claims 250 bytes, its one block has 200: the XXBLOCK total agrees with
  // the claim, so only loading the XBLOCK shows the damage.
  const Bid lying = fx.AddXBlock(1, {b}, 250);
  fx.AddNode(0x21, fx.AddXBlock(2, {ok, lying}, 350));
  auto db = OpenBytes(fx.Build());
  ASSERT_OK(db);
  auto node = (*db)->OpenNode(0x21);
  ASSERT_OK(node);
  Bytes buf(10);
  EXPECT_OK((*node)->Read(0, buf));
  ExpectError((*node)->Read(120, buf), "lcbTotal");
  ExpectError((*node)->ReadBlock(1).status(), "lcbTotal");
}

TEST(NodeDataTest, StreamingReadsOnlyWhatTheyNeed) {
  StoreFixture fx(Format::kUnicode);
  std::vector<Bid> xblocks;
  std::vector<Bytes> parts;
  for (int x = 0; x < 4; ++x) {
    std::vector<Bid> kids;
    for (int k = 0; k < 10; ++k) {
      parts.push_back(StoreFixture::Pattern(8000, static_cast<uint8_t>(x * 10 + k)));
      kids.push_back(fx.AddDataBlock(parts.back()));
    }
    xblocks.push_back(fx.AddXBlock(1, kids, 80000));
  }
  fx.AddNode(0x21, fx.AddXBlock(2, xblocks, 320000));
  auto file = std::make_shared<CountingFile>(fx.Build());
  auto db = Database::Open(file);
  ASSERT_OK(db);
  auto node = (*db)->OpenNode(0x21);
  ASSERT_OK(node);
  EXPECT_EQ((*node)->size(), 320000u);
  const uint64_t before = file->bytes_read();
  Bytes buf(10);
  ASSERT_OK((*node)->Read(200005, buf));
  const uint64_t cost = file->bytes_read() - before;
  // One XBLOCK, one data block and a few index pages, not 320 KB.
  EXPECT_LT(cost, 16u * 1024) << cost;
  const Bytes all = Concat(parts);
  EXPECT_TRUE(std::equal(buf.begin(), buf.end(), all.begin() + 200005));
}

TEST(NodeDataTest, ReadingOnTakesTheBlocksThatFollowInOneRead) {
  StoreFixture fx(Format::kAnsi);
  std::vector<Bid> kids;
  std::vector<Bytes> parts;
  for (int k = 0; k < 60; ++k) {
    parts.push_back(StoreFixture::Pattern(8000, static_cast<uint8_t>(k)));
    kids.push_back(fx.AddDataBlock(parts.back()));
  }
  fx.AddNode(0x21, fx.AddXBlock(1, kids, 60 * 8000));
  const Bytes all = Concat(parts);
  auto file = std::make_shared<CountingFile>(fx.Build());
  const uint64_t disk = BlockDiskSize(Format::kAnsi, 8000);
  ASSERT_EQ(fx.BlockOffset(kids[1]), fx.BlockOffset(kids[0]) + disk);  // back to back
  auto db = Database::Open(file);
  ASSERT_OK(db);
  auto node = (*db)->OpenNode(0x21);
  ASSERT_OK(node);

  const uint64_t before = file->reads();
  const uint64_t bytes_before = file->bytes_read();
  Bytes got(all.size());
  for (size_t at = 0; at < all.size(); at += 4096) {
    const size_t n = std::min<size_t>(4096, all.size() - at);
    ASSERT_OK((*node)->Read(at, std::span<uint8_t>(got.data() + at, n))) << at;
  }
  EXPECT_EQ(got, all);
  EXPECT_LE(file->reads() - before, 10u);  // 60 blocks
  EXPECT_EQ(file->bytes_read() - bytes_before, 60u * disk);  // nothing read twice or for nothing

  // A bad sector under block 40: reading on from block 39 offers it ahead,
  // the run read fails, and the blocks before it still read; block 40 then
  // reports the error.
  file->fail_from = fx.BlockOffset(kids[40]) + 100;
  file->fail_to = file->fail_from + 1;
  auto again = (*db)->OpenNode(0x21);
  ASSERT_OK(again);
  for (size_t k = 0; k < 40; ++k) {
    auto block = (*again)->ReadBlock(k);
    ASSERT_OK(block) << k;
    EXPECT_EQ(*block, parts[k]) << k;
  }
  EXPECT_EQ((*again)->ReadBlock(40).status().code(), Status::Code::kIOError);
  auto after = (*again)->ReadBlock(41);
  ASSERT_OK(after);
  EXPECT_EQ(*after, parts[41]);
}

TEST(NodeDataTest, SubnodesAreFoundListedAndNested) {
  for (Format f : {Format::kAnsi, Format::kUnicode}) {
    SCOPED_TRACE(FormatName(f));
    StoreFixture fx(f);
    const Bid inner_data = fx.AddDataBlock(40, 9);
    const Bid inner_tree = fx.AddSubnodeBlock(0, {{0x3F, inner_data, 0}});
    // Two leaves under an intermediate block; wide NIDs carry junk above
    // the low 32 bits as real stores do.
    std::vector<SubnodeEntry> left, right;
    for (Nid n : {0x25u, 0x45u, 0x1FFu}) left.push_back({n, fx.AddDataBlock(n % 64 + 1, 1), 0});
    for (Nid n : {0x8005u, 0x8025u}) right.push_back({n, fx.AddDataBlock(n % 64 + 1, 2), 0});
    right[1].subnode_bid = inner_tree;
    const Bid sl1 = fx.AddSubnodeBlock(0, left, 0x00410042);
    const Bid sl2 = fx.AddSubnodeBlock(0, right, 0x00430044);
    const Bid si = fx.AddSubnodeBlock(1, {{0x25, sl1, 0}, {0x8005, sl2, 0}});
    fx.AddNode(0x200024, fx.AddDataBlock(50, 3), si);
    fx.AddNode(0x200044, fx.AddDataBlock(50, 3), sl1);
    auto db = OpenBytes(fx.Build());
    ASSERT_OK(db);
    auto msg = (*db)->OpenNode(0x200024);
    ASSERT_OK(msg);

    std::vector<Nid> listed;
    ASSERT_OK((*msg)->ForEachSubnode([&](Nid n) {
                     listed.push_back(n);
                     return Status::Ok();
                   }));
    EXPECT_EQ(listed, (std::vector<Nid>{0x25, 0x45, 0x1FF, 0x8005, 0x8025}));
    for (Nid n : listed) {
      auto sub = (*msg)->OpenSubnode(n);
      ASSERT_OK(sub);
      EXPECT_EQ((*sub)->nid(), n);
      EXPECT_EQ((*sub)->size(), n % 64 + 1);
    }
    for (Nid missing : {0x5u, 0x46u, 0x8045u}) {
      EXPECT_TRUE((*msg)->OpenSubnode(missing).status().IsNotFound()) << missing;
    }
    auto nested_parent = (*msg)->OpenSubnode(0x8025);
    ASSERT_OK(nested_parent);
    auto nested = (*nested_parent)->OpenSubnode(0x3F);
    ASSERT_OK(nested);
    auto bytes = (*nested)->ReadBlock(0);
    ASSERT_OK(bytes);
    EXPECT_EQ(*bytes, StoreFixture::Pattern(40, 9));

    // A node whose subnode tree is a single leaf.
    auto other = (*db)->OpenNode(0x200044);
    ASSERT_OK(other);
    EXPECT_OK((*other)->OpenSubnode(0x1FF));
  }
}

TEST(NodeDataTest, BrokenSubnodeTreesAreRefused) {
  StoreFixture fx(Format::kUnicode);
  const Bid d = fx.AddDataBlock(10, 1);
  const Bid sl = fx.AddSubnodeBlock(0, {{0x25, d, 0}});
  const Bid unsorted = fx.AddSubnodeBlock(0, {{0x45, d, 0}, {0x25, d, 0}});
  const Bid si_over_si = fx.AddSubnodeBlock(1, {{0x25, fx.AddSubnodeBlock(1, {{0x25, sl, 0}}), 0}});
  const Bid si_twice = fx.AddSubnodeBlock(1, {{0x25, sl, 0}, {0x8005, sl, 0}});
  const Bid x = fx.AddXBlock(1, {d}, 10);
  const Bid too_many = fx.AddInternalBlock(Bytes{0x02, 0x00, 0x09, 0x00, 0, 0, 0, 0, 1});
  const Bid deep = fx.AddSubnodeBlock(9, {});
  struct Case {
    Nid nid;
    Bid sub;
    const char* expect;
    bool on_open;  // fails in OpenSubnode(0x25), else only in ForEachSubnode
  };
  const Case cases[] = {
      {0x21, unsorted, "out of order", false},
      {0x41, si_over_si, "cLevel 1, expected 0", true},
      {0x61, si_twice, "reached twice", false},
      {0x81, x, "not a subnode block", true},
      {0xA1, d, "a data block where a subnode block belongs", true},
      {0xC1, too_many, "do not fit", true},
      {0xE1, deep, "too deep", true},
  };
  for (const Case& c : cases) fx.AddNode(c.nid, d, c.sub);
  // A subnode whose own subnode tree is its parent's tree.
  const Bid self_bid = fx.NextInternalBid();
  const Bid self = fx.AddSubnodeBlock(0, {{0x25, d, self_bid}});
  ASSERT_EQ(self, self_bid);
  fx.AddNode(0x101, d, self);
  auto db = OpenBytes(fx.Build());
  ASSERT_OK(db);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expect);
    auto node = (*db)->OpenNode(c.nid);
    ASSERT_OK(node);
    Status walk = (*node)->ForEachSubnode([](Nid) { return Status::Ok(); });
    ExpectError(walk, c.expect);
    EXPECT_NE(walk.message().find("node " + std::string(c.nid == 0x21 ? "0x21" : "0x")),
              std::string::npos);
    if (c.on_open) ExpectError((*node)->OpenSubnode(0x25).status(), c.expect);
  }
  auto node = (*db)->OpenNode(0x101);
  ASSERT_OK(node);
  ExpectError((*node)->OpenSubnode(0x25).status(), "parent's subnode tree");
}

}  // namespace
}  // namespace pst::ndb
