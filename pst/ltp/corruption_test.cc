// Real property and table contexts with bytes changed at random: reading
// them must end in a clear error or a result, never in a crash, a hang or
// undefined behaviour (run under the sanitizers to see the last two).
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "pst/io/file.h"
#include "pst/ltp/testing/memory_node.h"
#include "pst/ltp/testing/read_everything.h"
#include "pst/ndb/database.h"
#include "pst/testing/samples.h"
#include "pst/testing/status_matchers.h"

namespace pst::ltp {
namespace {

using testing::MemoryNode;

// The node's blocks and its direct subnodes, copied into memory.
Result<std::unique_ptr<MemoryNode>> CopyNode(const ndb::NodeData& node) {
  std::vector<Bytes> blocks;
  for (size_t i = 0; i < node.block_count(); ++i) {
    PST_ASSIGN_OR_RETURN(Bytes b, node.ReadBlock(i));
    blocks.push_back(std::move(b));
  }
  auto copy = std::make_unique<MemoryNode>(node.nid(), std::move(blocks));
  PST_RETURN_IF_ERROR(node.ForEachSubnode([&](ndb::Nid nid) -> Status {
    PST_ASSIGN_OR_RETURN(auto sub, node.OpenSubnode(nid));
    std::vector<Bytes> sub_blocks;
    for (size_t i = 0; i < sub->block_count(); ++i) {
      PST_ASSIGN_OR_RETURN(Bytes b, sub->ReadBlock(i));
      sub_blocks.push_back(std::move(b));
    }
    copy->AddSubnode(nid, std::move(sub_blocks));
    return Status::Ok();
  }));
  return copy;
}

void Mutate(std::vector<Bytes>& blocks, std::mt19937& rng) {
  Bytes& block = blocks[rng() % blocks.size()];
  if (block.empty()) return;
  switch (rng() % 4) {
    case 0:  // one byte to any value
      block[rng() % block.size()] = static_cast<uint8_t>(rng());
      break;
    case 1:  // one bit
      block[rng() % block.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      break;
    case 2:  // a 16-bit field to an extreme
      if (block.size() >= 2) {
        const size_t at = rng() % (block.size() - 1);
        block[at] = block[at + 1] = (rng() % 2) ? 0xFF : 0x00;
      }
      break;
    case 3:  // truncation
      block.resize(rng() % block.size());
      break;
  }
}

TEST(LtpCorruptionTest, DamagedRealContextsFailCleanly) {
  const char* stores[] = {"unicode-200-recipients.pst", "ansi-outlook97-passworded-294msgs.pst",
                          "unicode-pstsdk-sample1.pst", "unicode-outlook-all-item-types.pst"};
  std::mt19937 rng(20240611);
  size_t opened = 0, failed = 0;
  for (const char* name : stores) {
    SCOPED_TRACE(name);
    auto file = io::OpenReadOnly(test::SamplePath(name));
    ASSERT_OK(file);
    auto db = ndb::Database::Open(std::shared_ptr<const io::RandomAccessFile>(std::move(*file)));
    ASSERT_OK(db);
    std::vector<std::unique_ptr<MemoryNode>> heaps;
    ASSERT_OK((*db)->ForEachNode([&](const ndb::NodeEntry& e) -> Status {
      if (heaps.size() >= 40) return Status::Ok();
      PST_ASSIGN_OR_RETURN(auto node, (*db)->OpenNode(e.nid));
      if (node->block_count() == 0) return Status::Ok();
      PST_ASSIGN_OR_RETURN(Bytes first, node->ReadBlock(0));
      if (first.size() < 4 || first[2] != 0xEC || (first[3] != 0xBC && first[3] != 0x7C)) {
        return Status::Ok();
      }
      PST_ASSIGN_OR_RETURN(auto copy, CopyNode(*node));
      heaps.push_back(std::move(copy));
      return Status::Ok();
    }));
    ASSERT_FALSE(heaps.empty());
    for (const auto& original : heaps) {
      for (int round = 0; round < 60; ++round) {
        auto damaged = std::make_unique<MemoryNode>(*original);
        const std::string nid = Hex(original->nid());
        const int changes = 1 + static_cast<int>(rng() % 3);
        for (int i = 0; i < changes; ++i) Mutate(damaged->blocks(), rng);
        testing::Counts counts;
        Status s = testing::ReadHeapNode(std::move(damaged), counts);
        ++opened;
        if (!s.ok()) {
          ++failed;
          EXPECT_TRUE(s.IsCorruption() || s.code() == Status::Code::kNotSupported)
              << s.ToString();
          EXPECT_NE(s.message().find(nid), std::string::npos) << s.ToString();
        }
      }
    }
  }
  std::cout << opened << " damaged contexts read, " << failed << " refused\n";
  EXPECT_GT(failed, opened / 4);
}

}  // namespace
}  // namespace pst::ltp
