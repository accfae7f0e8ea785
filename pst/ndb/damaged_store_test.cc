// Real stores damaged in memory: random bytes flipped (some with their CRC
// fixed up, so the damage reaches the parsers behind the checksums) and
// files cut short. Everything is walked; the only acceptable outcomes are
// success or a clean error. Run under ASan/UBSan to catch the rest.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "pst/base/coding.h"
#include "pst/base/crc32.h"
#include "pst/io/memory_file.h"
#include "pst/ndb/block.h"
#include "pst/ndb/database.h"
#include "pst/ndb/page.h"
#include "pst/testing/samples.h"
#include "pst/testing/status_matchers.h"

namespace pst::ndb {
namespace {

namespace fs = std::filesystem;

Bytes ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Caps keep a walk of a damaged store short whatever it claims.
struct Budget {
  size_t nodes = 0;
  uint64_t bytes = 0;
  bool Spend(uint64_t n) {
    bytes += n;
    return ++nodes < 20000 && bytes < (uint64_t{64} << 20);
  }
};

Status WalkNode(const NodeData& node, int depth, Budget& budget) {
  if (depth > 4 || !budget.Spend(0)) return Status::Ok();
  for (size_t i = 0; i < node.block_count() && i < 64; ++i) {
    PST_RETURN_IF_ERROR(node.ReadBlock(i).status());
  }
  Bytes chunk(65536);
  for (uint64_t at = 0; at < node.size(); at += chunk.size()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), node.size() - at));
    PST_RETURN_IF_ERROR(node.Read(at, std::span<uint8_t>(chunk.data(), n)));
    if (!budget.Spend(n)) return Status::Ok();
  }
  return node.ForEachSubnode([&](Nid nid) -> Status {
    PST_ASSIGN_OR_RETURN(auto sub, node.OpenSubnode(nid));
    return WalkNode(*sub, depth + 1, budget);
  });
}

Status WalkStore(const Database& db) {
  Budget budget;
  PST_RETURN_IF_ERROR(db.ForEachBlock(
      [&](const BlockEntry& e) { return db.ReadBlock(e.bid).status(); }));
  return db.ForEachNode([&](const NodeEntry& e) -> Status {
    PST_ASSIGN_OR_RETURN(auto node, db.OpenNode(e.nid));
    return WalkNode(*node, 0, budget);
  });
}

bool CleanError(const Status& s) {
  return s.ok() || (!s.message().empty() && (s.IsCorruption() || s.IsNotFound() ||
                                             s.code() == Status::Code::kNotSupported));
}

// Where the structures of a store are, to aim the damage.
struct Target {
  uint64_t offset;
  uint64_t size;     // bytes that may be flipped
  bool page;         // reseal as a page, else as a block
  uint64_t trailer;  // block: offset of the trailer
};

std::vector<Target> FindTargets(const Bytes& file, const Database& db) {
  std::vector<Target> out;
  const Format f = db.format();
  const FormatLayout& l = LayoutOf(f);
  for (uint64_t at = 0; at + l.page_size <= file.size(); at += l.page_size) {
    ByteSpan page = ByteSpan(file).subspan(at, l.page_size);
    const PageTrailer t = DecodePageTrailer(f, page);
    if ((t.ptype == kPageTypeNbt || t.ptype == kPageTypeBbt) &&
        CheckPage(f, page, t.ptype, t.bid, at, "page").ok()) {
      out.push_back({at, l.page_size - l.page_trailer_size, true, 0});
    }
  }
  Status s = db.ForEachBlock([&](const BlockEntry& e) {
    const uint64_t disk = BlockDiskSize(f, e.size);
    out.push_back({e.offset, e.size, false, e.offset + disk - l.block_trailer_size});
    return Status::Ok();
  });
  EXPECT_OK(s);
  return out;
}

void Reseal(Bytes& file, Format f, const Target& t) {
  if (t.page) {
    const FormatLayout& l = LayoutOf(f);
    std::span<uint8_t> page(file.data() + t.offset, l.page_size);
    const PageTrailer tr = DecodePageTrailer(f, page);
    SealPage(f, tr.ptype, tr.bid, t.offset, page);
    return;
  }
  std::span<uint8_t> trailer(file.data() + t.trailer, LayoutOf(f).block_trailer_size);
  BlockTrailer tr = DecodeBlockTrailer(f, trailer);
  tr.crc = PstCrc32(ByteSpan(file).subspan(t.offset, tr.cb));
  EncodeBlockTrailer(f, tr, trailer);
}

TEST(DamagedStoreTest, RandomDamageGivesOnlyCleanErrors) {
  const char* const names[] = {
      "ansi-outlook97-passworded-294msgs.pst", "ansi-pstsdk-sample2.pst",
      "ansi-outlook98-empty-32k.pst",          "unicode-high-encryption.pst",
      "unicode-no-encryption.pst",             "unicode-msg-in-msg-in-msg.pst",
      "unicode-200-recipients.pst",            "unicode-pstsdk-sample1.pst",
      "4k-ost-pstextractortest.ost",
  };
  std::mt19937_64 rng(20240611);
  size_t opened = 0, failed_open = 0, walk_errors = 0;
  for (const char* name : names) {
    SCOPED_TRACE(name);
    const Bytes original = ReadAll(test::SamplePath(name));
    ASSERT_FALSE(original.empty());
    auto intact = Database::Open(std::make_shared<io::MemoryFile>(original));
    ASSERT_OK(intact);
    const Format f = (*intact)->format();
    const std::vector<Target> targets = FindTargets(original, **intact);
    ASSERT_FALSE(targets.empty());
    const int rounds = f == Format::kUnicode4k ? 12 : 60;
    for (int round = 0; round < rounds; ++round) {
      Bytes file = original;
      const int kind = static_cast<int>(rng() % 5);
      if (kind == 0) {  // a few bytes anywhere, checksums left broken
        for (int i = 0; i < 4; ++i) file[rng() % file.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
      } else if (kind == 1) {  // cut short
        file.resize(rng() % file.size());
      } else {  // inside a page or block, checksum fixed so parsers see it
        const Target& t = targets[rng() % targets.size()];
        if (t.size == 0) continue;
        const int flips = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < flips; ++i) {
          // Aim at the head of the structure often: that is where counts,
          // levels and sizes live.
          const uint64_t span = (rng() % 2 == 0) ? std::min<uint64_t>(t.size, 16) : t.size;
          file[t.offset + rng() % span] ^= static_cast<uint8_t>(1 + rng() % 255);
        }
        Reseal(file, f, t);
      }
      auto db = Database::Open(std::make_shared<io::MemoryFile>(file));
      if (!db.ok()) {
        ++failed_open;
        EXPECT_TRUE(CleanError(db.status())) << db.status().ToString();
        continue;
      }
      ++opened;
      Status s = WalkStore(**db);
      if (!s.ok()) ++walk_errors;
      EXPECT_TRUE(CleanError(s)) << s.ToString();
    }
  }
  // The damage must reach both the open and the walk.
  EXPECT_GT(failed_open, 10u);
  EXPECT_GT(walk_errors, 50u);
  std::printf("damaged copies: %zu failed to open, %zu opened (%zu with walk errors)\n",
              failed_open, opened, walk_errors);
}

}  // namespace
}  // namespace pst::ndb
