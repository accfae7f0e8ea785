#include "pst/ndb/btree_writer.h"

#include <algorithm>
#include <map>
#include <random>

#include "pst/base/coding.h"
#include "pst/io/memory_file.h"
#include "pst/ndb/allocation_map.h"
#include "pst/ndb/database.h"
#include "pst/ndb/testing/writer_test_util.h"
#include "pst/testing/status_matchers.h"

namespace pst::ndb {
namespace {

using Kind = BTreeWriter::Kind;

struct Param {
  Format format;
  Kind kind;
};

// A B-tree being edited over an in-memory file, with the allocation maps a
// transaction would use, and a model to compare it with.
class BTreeWriterTest : public ::testing::TestWithParam<Param> {
 protected:
  BTreeWriterTest()
      : maps_(GetParam().format, 0, UINT64_MAX),
        tree_(&file_, GetParam().format, GetParam().kind, BlockRef{},
              [this](const BlockRef& p) {
                ++freed_;
                return maps_.Free(p.offset, 512);
              }) {}

  Format format() const { return GetParam().format; }
  bool nodes() const { return GetParam().kind == Kind::kNodes; }

  Bytes Entry(uint64_t key, uint32_t value) const {
    Bytes e(nodes() ? NbtLeafEntrySize(format()) : BbtLeafEntrySize(format()));
    if (nodes()) {
      EncodeNodeEntry(format(), NodeEntry{static_cast<Nid>(key), value * 4, 0, value}, e);
    } else {
      EncodeBlockEntry(format(), BlockEntry{key, value * 64ull, 100, 2, 100}, e);
    }
    return e;
  }

  Result<BlockRef> Commit() {
    PST_ASSIGN_OR_RETURN(
        BlockRef root,
        tree_.Flush([this] { return maps_.AllocatePage(); }, &next_page_, [this](uint64_t at, ByteSpan b) {
          ++written_;
          return file_.Write(at, b);
        }));
    tree_.Committed(root);
    maps_.Commit();
    return root;
  }

  // Everything the tree holds, in order, as the writer and as the reader see it.
  void ExpectMatches(const std::map<uint64_t, uint32_t>& model, const BlockRef& root) {
    std::vector<uint64_t> keys;
    ASSERT_OK(tree_.ForEach([&](ByteSpan e) {
      keys.push_back(tree_.LeafKey(e));
      return Status::Ok();
    }));
    std::vector<uint64_t> want;
    for (const auto& [k, v] : model) want.push_back(k);
    ASSERT_EQ(keys, want);
    for (const auto& [k, v] : model) {
      auto e = tree_.Find(k);
      ASSERT_OK(e) << k;
      EXPECT_EQ(*e, Entry(k, v));
    }
    // The reader agrees (it checks every page as it goes).
    BTreeReader reader(&file_, format(), GetParam().kind, root);
    ASSERT_OK(reader.CheckRoot());
    std::vector<uint64_t> seen;
    ASSERT_OK(reader.ForEach([&](ByteSpan e) {
      seen.push_back(tree_.LeafKey(e));
      return Status::Ok();
    }));
    EXPECT_EQ(seen, want);
    // Lookups in an order that goes back and forth between leaves, each key
    // with its absent neighbours: the reader's recent leaves answer as a
    // descent from the root would.
    std::vector<uint64_t> order = want;
    std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<uint32_t>(want.size())));
    for (size_t i = 0; i < order.size(); ++i) {
      const uint64_t k = i % 2 == 0 ? order[i] : want[i];  // random, then ascending
      auto e = reader.Find(k);
      ASSERT_OK(e) << k;
      EXPECT_EQ(tree_.LeafKey(*e), k);
      for (uint64_t absent : {k - 1, k + 1}) {
        if (!model.count(absent)) {
          EXPECT_TRUE(reader.Find(absent).status().IsNotFound()) << absent;
        }
      }
    }
  }

  io::MemoryFile file_;
  AllocationMap maps_;
  BTreeWriter tree_;
  uint64_t next_page_ = 1;
  int freed_ = 0;
  int written_ = 0;
};

TEST_P(BTreeWriterTest, RandomEditsMatchAModelAcrossCommits) {
  std::mt19937 rng(5);
  std::map<uint64_t, uint32_t> model;
  uint8_t deepest = 0;
  for (int round = 0; round < 30; ++round) {
    for (int op = 0; op < 300; ++op) {
      const uint64_t key = nodes() ? (rng() % 6000) * 32 + 2 : (rng() % 6000) * 4 + 4;
      if (rng() % 3 != 0) {
        const uint32_t value = rng() % 1000000;
        ASSERT_OK(tree_.Put(Entry(key, value)));
        model[key] = value;
      } else if (model.count(key)) {
        ASSERT_OK(tree_.Remove(key));
        model.erase(key);
      } else {
        EXPECT_TRUE(tree_.Remove(key).IsNotFound());
        EXPECT_TRUE(tree_.Find(key).status().IsNotFound());
      }
    }
    auto root = Commit();
    ASSERT_OK(root);
    ExpectMatches(model, *root);
    ASSERT_OK(BTreeWriter::ForEachPage(file_, format(), GetParam().kind, *root,
                                       [&](const BlockRef&, uint8_t level) {
                                         deepest = std::max(deepest, level);
                                         return Status::Ok();
                                       }));
    if (HasFatalFailure()) return;
  }
  EXPECT_GE(deepest, 2) << "the test should reach a three-level tree";
  // And back down to nothing.
  for (const auto& [k, v] : std::map<uint64_t, uint32_t>(model)) {
    ASSERT_OK(tree_.Remove(k));
    model.erase(k);
  }
  auto root = Commit();
  ASSERT_OK(root);
  ExpectMatches(model, *root);
  int pages = 0;
  ASSERT_OK(BTreeWriter::ForEachPage(file_, format(), GetParam().kind, *root,
                                     [&](const BlockRef&, uint8_t) {
                                       ++pages;
                                       return Status::Ok();
                                     }));
  EXPECT_EQ(pages, 1);
}

// A long transaction writes its pages out early and reads back those it
// changes again: the tree still matches the model, and every page written
// early and read back is given back (no space is lost).
TEST_P(BTreeWriterTest, PagesWrittenEarlyReadBackAndFreed) {
  std::mt19937 rng(9);
  std::map<uint64_t, uint32_t> model;
  auto allocate = [this] { return maps_.AllocatePage(); };
  auto write = [this](uint64_t at, ByteSpan b) { return file_.Write(at, b); };
  int spilled_rounds = 0;
  for (int round = 0; round < 4; ++round) {
    for (int op = 0; op < 6000; ++op) {
      const uint64_t key = nodes() ? (rng() % 20000) * 32 + 2 : (rng() % 20000) * 4 + 4;
      if (rng() % 4 != 0) {
        const uint32_t value = rng() % 1000000;
        ASSERT_OK(tree_.Put(Entry(key, value)));
        model[key] = value;
      } else if (model.count(key)) {
        ASSERT_OK(tree_.Remove(key));
        model.erase(key);
      }
      const uint64_t pages_before = next_page_;
      ASSERT_OK(tree_.Spill(8, allocate, &next_page_, write));
      if (next_page_ != pages_before) ++spilled_rounds;
    }
    auto root = Commit();
    ASSERT_OK(root);
    ExpectMatches(model, *root);
    if (HasFatalFailure()) return;
    // In use: the map pages of every region and the committed tree's pages.
    uint64_t pages = 0;
    ASSERT_OK(BTreeWriter::ForEachPage(file_, format(), GetParam().kind, *root, [&](const BlockRef&, uint8_t) {
      ++pages;
      return Status::Ok();
    }));
    const uint64_t regions = (maps_.extent() - AllocationMap::kFirstRegion) / AllocationMap::kRegionSize;
    uint64_t map_pages = 0;
    for (uint64_t n = 0; n < regions; ++n) map_pages += AllocationMap::MapPagesOf(n).size();
    const uint64_t used = regions * AllocationMap::kSlotsPerRegion - maps_.free_bytes() / AllocationMap::kSlotSize;
    EXPECT_EQ(used, (map_pages + pages) * (AllocationMap::kPageSize / AllocationMap::kSlotSize));
  }
  EXPECT_GE(spilled_rounds, 20) << "the test should write pages early many times";
}

// An abandoned transaction's page written early is read back; the next
// transaction writes another page in the same place under the same BID: a
// lookup reads that one, not the one read before.
TEST_P(BTreeWriterTest, AfterAnAbandonedTransactionPagesAreReadAnew) {
  const uint64_t changed = nodes() ? 2 : 4;
  std::map<uint64_t, uint32_t> model;
  for (uint64_t i = 0; i < 3000; ++i) {
    ASSERT_OK(tree_.Put(Entry(changed + i * (nodes() ? 32 : 4), 1)));
    model[changed + i * (nodes() ? 32 : 4)] = 1;
  }
  ASSERT_OK(Commit());
  const uint64_t committed_next_page = next_page_;
  auto allocate = [this] { return maps_.AllocatePage(); };
  auto write = [this](uint64_t at, ByteSpan b) { return file_.Write(at, b); };
  for (uint32_t pass = 2; pass <= 3; ++pass) {  // 2 is abandoned
    const uint64_t pages_before = next_page_;
    for (int n = 0; n < 512; ++n) {  // the check every 512 changes writes the changed path early
      ASSERT_OK(tree_.Put(Entry(changed, pass)));
      ASSERT_OK(tree_.Spill(0, allocate, &next_page_, write));
    }
    ASSERT_GT(next_page_, pages_before) << "pages were written early";
    auto e = tree_.Find(changed);
    ASSERT_OK(e);
    ASSERT_EQ(*e, Entry(changed, pass)) << "pass " << pass;
    if (pass == 2) {
      tree_.Abandon();
      maps_.Abandon();
      next_page_ = committed_next_page;
    }
  }
  model[changed] = 3;
  auto root = Commit();
  ASSERT_OK(root);
  ExpectMatches(model, *root);
}

TEST_P(BTreeWriterTest, AscendingKeysFillPagesAndUnchangedPagesStay) {
  const size_t leaf_cap = LayoutOf(format()).btree_entries_size / tree_.leaf_entry_size();
  const int n = 2000;
  for (int i = 1; i <= n; ++i) ASSERT_OK(tree_.Put(Entry(uint64_t(i) * (nodes() ? 32 : 4), i)));
  auto root = Commit();
  ASSERT_OK(root);
  int leaves = 0;
  ASSERT_OK(BTreeWriter::ForEachPage(file_, format(), GetParam().kind, *root,
                                     [&](const BlockRef&, uint8_t level) {
                                       if (level == 0) ++leaves;
                                       return Status::Ok();
                                     }));
  EXPECT_EQ(leaves, static_cast<int>((n + leaf_cap - 1) / leaf_cap)) << "appends leave full pages";
  // One more entry copies only the pages on its path.
  written_ = 0;
  freed_ = 0;
  ASSERT_OK(tree_.Put(Entry(uint64_t(n + 1) * (nodes() ? 32 : 4), 1)));
  auto again = Commit();
  ASSERT_OK(again);
  EXPECT_LE(written_, 6);
  EXPECT_GE(freed_, 1);
  EXPECT_LE(written_ - freed_, 2) << "beyond the copied path, at most a split's new pages";
  EXPECT_NE(again->bid, root->bid);
}

TEST_P(BTreeWriterTest, DamagedPagesAreReportedNotFollowed) {
  for (int i = 1; i <= 200; ++i) ASSERT_OK(tree_.Put(Entry(uint64_t(i) * (nodes() ? 32 : 4), i)));
  auto root = Commit();
  ASSERT_OK(root);
  // Break every leaf: flip a byte inside its entries.
  std::vector<uint64_t> leaves;
  ASSERT_OK(BTreeWriter::ForEachPage(file_, format(), GetParam().kind, *root,
                                     [&](const BlockRef& ref, uint8_t level) {
                                       if (level == 0) leaves.push_back(ref.offset);
                                       return Status::Ok();
                                     }));
  ASSERT_GT(leaves.size(), 1u);
  const uint64_t leaf = leaves[0];
  for (uint64_t at : leaves) file_.mutable_contents()[at + 3] ^= 0x40;
  BTreeWriter fresh(&file_, format(), GetParam().kind, *root, nullptr);
  Status s = fresh.ForEach([](ByteSpan) { return Status::Ok(); });
  EXPECT_TRUE(s.IsCorruption()) << s.ToString();
  EXPECT_TRUE(fresh.Put(Entry(nodes() ? 64 : 8, 7)).IsCorruption());
  // A reference naming the wrong page is caught as well.
  BTreeWriter looped(&file_, format(), GetParam().kind, BlockRef{root->bid, leaf}, nullptr);
  EXPECT_FALSE(looped.Find(nodes() ? 64 : 8).ok());
}

INSTANTIATE_TEST_SUITE_P(
    Trees, BTreeWriterTest,
    ::testing::Values(Param{Format::kAnsi, Kind::kNodes}, Param{Format::kAnsi, Kind::kBlocks},
                      Param{Format::kUnicode, Kind::kNodes}, Param{Format::kUnicode, Kind::kBlocks}),
    [](const auto& info) {
      return std::string(info.param.format == Format::kAnsi ? "Ansi" : "Unicode") +
             (info.param.kind == Kind::kNodes ? "Nbt" : "Bbt");
    });

}  // namespace
}  // namespace pst::ndb
