// The reader over every real store in the test data folder: each must open
// and every index entry, block, node, data stream and subnode must read.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "pst/io/file.h"
#include "pst/ndb/database.h"
#include "pst/testing/samples.h"
#include "pst/testing/status_matchers.h"

namespace pst::ndb {
namespace {

namespace fs = std::filesystem;

struct WalkCounts {
  size_t nodes = 0;
  size_t blocks = 0;
  size_t subnodes = 0;
  uint64_t bytes = 0;
};

// Opens every node, reads every data block and streams it whole, and
// descends into subnodes (nested ones too). Returns the first error.
Status WalkNode(const NodeData& node, int depth, WalkCounts& counts) {
  if (depth > 8) return Status::Corruption("subnode nesting too deep");
  uint64_t total = 0;
  for (size_t i = 0; i < node.block_count(); ++i) {
    PST_ASSIGN_OR_RETURN(Bytes b, node.ReadBlock(i));
    total += b.size();
  }
  if (total != node.size()) return Status::Corruption("block sizes do not add up to size()");
  std::vector<uint8_t> buf(static_cast<size_t>(node.size()));
  PST_RETURN_IF_ERROR(node.Read(0, buf));
  counts.bytes += buf.size();
  return node.ForEachSubnode([&](Nid nid) -> Status {
    ++counts.subnodes;
    PST_ASSIGN_OR_RETURN(auto sub, node.OpenSubnode(nid));
    if (sub->nid() != nid) return Status::Corruption("subnode opened under another NID");
    return WalkNode(*sub, depth + 1, counts);
  });
}

Status WalkStore(const Database& db, WalkCounts& counts) {
  PST_RETURN_IF_ERROR(db.ForEachBlock([&](const BlockEntry& e) -> Status {
    ++counts.blocks;
    PST_ASSIGN_OR_RETURN(Bytes b, db.ReadBlock(e.bid));
    if (b.size() != e.inflated_size) return Status::Corruption("block size mismatch");
    return Status::Ok();
  }));
  return db.ForEachNode([&](const NodeEntry& e) -> Status {
    ++counts.nodes;
    PST_ASSIGN_OR_RETURN(auto node, db.OpenNode(e.nid));
    return WalkNode(*node, 0, counts);
  });
}

TEST(RealStoreTest, EveryStoreReadsCompletely) {
  const auto stores = test::SampleStores();
  ASSERT_GE(stores.size(), 28u);
  for (const auto& path : stores) {
    SCOPED_TRACE(path.filename().string());
    auto file = io::OpenReadOnly(path.string());
    ASSERT_OK(file);
    auto db = Database::Open(std::shared_ptr<const io::RandomAccessFile>(std::move(*file)));
    ASSERT_OK(db);
    WalkCounts counts;
    Status s = WalkStore(**db, counts);
    EXPECT_OK(s);
    EXPECT_GT(counts.nodes, 20u);
    EXPECT_GT(counts.blocks, 10u);
    std::printf("%-45s %s nodes %zu blocks %zu subnodes %zu bytes %llu\n",
                path.filename().string().c_str(), FormatName((*db)->format()), counts.nodes,
                counts.blocks, counts.subnodes, static_cast<unsigned long long>(counts.bytes));
  }
}

TEST(RealStoreTest, TruncatedHeaderFragmentFailsToOpenWithAClearError) {
  auto file = io::OpenReadOnly(test::SamplePath("unicode-truncated-header-40b.bin"));
  ASSERT_OK(file);
  auto db = Database::Open(std::shared_ptr<const io::RandomAccessFile>(std::move(*file)));
  ASSERT_FALSE(db.ok());
  EXPECT_TRUE(db.status().IsCorruption());
  EXPECT_EQ(db.status().message(),
            "ndb: file header: truncated: the file has 40 bytes; the header of the Unicode "
            "format (wVer 23) needs 564");
}

// Every node that holds a heap (folders, messages, tables, the store and
// name map) starts with the heap signature 0xEC at byte 2 once its block is
// decoded: this proves the permute, cyclic and plain paths and the 4K
// inflation on real data. Lookups agree with iteration for every entry.
TEST(RealStoreTest, DecodedHeapsAndLookupsAgreeWithTheIndexes) {
  size_t compressed = 0;
  for (const auto& path : test::SampleStores()) {
    SCOPED_TRACE(path.filename().string());
    auto file = io::OpenReadOnly(path.string());
    ASSERT_OK(file);
    auto opened = Database::Open(std::shared_ptr<const io::RandomAccessFile>(std::move(*file)));
    ASSERT_OK(opened);
    const Database& db = **opened;
    size_t heaps = 0;
    Status s = db.ForEachNode([&](const NodeEntry& e) -> Status {
      auto found = db.FindNode(e.nid);
      EXPECT_OK(found);
      if (found.ok()) {
        EXPECT_EQ(found->data_bid, e.data_bid);
        EXPECT_EQ(found->subnode_bid, e.subnode_bid);
      }
      const uint8_t type = NidTypeOf(e.nid);
      const bool heap = e.nid == kNidMessageStore || e.nid == kNidNameToIdMap ||
                        type == kNidTypeNormalFolder || type == kNidTypeNormalMessage ||
                        type == kNidTypeAssocMessage || type == kNidTypeHierarchyTable ||
                        type == kNidTypeContentsTable || type == kNidTypeAssocContentsTable;
      if (!heap || e.data_bid == 0) return Status::Ok();
      PST_ASSIGN_OR_RETURN(auto node, db.OpenNode(e.nid));
      PST_ASSIGN_OR_RETURN(Bytes first, node->ReadBlock(0));
      EXPECT_TRUE(first.size() >= 4 && first[2] == 0xEC) << "node " << e.nid;
      ++heaps;
      return Status::Ok();
    });
    EXPECT_OK(s);
    EXPECT_GT(heaps, 10u);
    s = db.ForEachBlock([&](const BlockEntry& e) -> Status {
      PST_ASSIGN_OR_RETURN(BlockEntry found, db.FindBlock(e.bid));
      EXPECT_EQ(found.offset, e.offset);
      EXPECT_GE(e.ref_count, 1);
      if (e.inflated_size != e.size) ++compressed;
      return Status::Ok();
    });
    EXPECT_OK(s);
  }
  // The 4K sample stores most of its blocks compressed.
  EXPECT_GT(compressed, 800u);
}

}  // namespace
}  // namespace pst::ndb
