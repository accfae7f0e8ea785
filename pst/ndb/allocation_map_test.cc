#include "pst/ndb/allocation_map.h"

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "pst/io/memory_file.h"
#include "pst/ndb/page.h"
#include "pst/ndb/testing/writer_test_util.h"
#include "pst/testing/status_matchers.h"

namespace pst::ndb {
namespace {

constexpr uint64_t kRegion = AllocationMap::kRegionSize;
constexpr uint64_t kFirst = AllocationMap::kFirstRegion;

class AllocationMapTest : public ::testing::TestWithParam<Format> {};

// Checks that [offset, offset + size) touches no map page and nothing else
// handed out.
void ExpectFresh(std::map<uint64_t, uint64_t>& taken, uint64_t offset, uint64_t size) {
  ASSERT_GE(offset, kFirst);
  const uint64_t region = (offset - kFirst) / kRegion;
  ASSERT_LE(offset + size, kFirst + (region + 1) * kRegion) << "crosses into the next region";
  for (const auto& p : AllocationMap::MapPagesOf(region)) {
    ASSERT_TRUE(offset + size <= p.offset || offset >= p.offset + 512) << "over a map page";
  }
  auto next = taken.lower_bound(offset);
  if (next != taken.end()) {
    ASSERT_LE(offset + size, next->first);
  }
  if (next != taken.begin()) {
    auto prev = std::prev(next);
    ASSERT_LE(prev->first + prev->second, offset);
  }
  taken[offset] = size;
}

TEST_P(AllocationMapTest, GrowsByWholeRegionsWithTheirMapPages) {
  AllocationMap maps(GetParam(), 0, UINT64_MAX);
  EXPECT_EQ(maps.extent(), kFirst + kRegion);
  const uint64_t initial_free = maps.free_bytes();
  EXPECT_EQ(initial_free, kRegion - 2 * 512);  // AMap and PMap
  std::map<uint64_t, uint64_t> taken;
  uint64_t used = 0;
  for (int i = 0; maps.extent() < kFirst + 10 * kRegion; ++i) {
    const bool page = i % 5 == 0;
    const uint64_t size = page ? 512 : 64 * (1 + (i * 37) % 128);
    auto at = page ? maps.AllocatePage() : maps.AllocateBlock(size);
    ASSERT_OK(at);
    if (page) {
      EXPECT_EQ(*at % 512, 0u);
    }
    ExpectFresh(taken, *at, size);
    if (HasFatalFailure()) return;
    used += size;
  }
  EXPECT_EQ((maps.extent() - kFirst) % kRegion, 0u);
  EXPECT_EQ(maps.last_amap(), maps.extent() - kRegion);
  // Region 8 carries the second PMap.
  uint64_t map_bytes = 0;
  for (uint64_t n = 0; n < 10; ++n) map_bytes += 512 * AllocationMap::MapPagesOf(n).size();
  EXPECT_EQ(maps.free_bytes(), 10 * kRegion - map_bytes - used);
  bool pmap8 = false;
  for (const auto& p : maps.PagesToWrite()) {
    if (p.offset == kFirst + 8 * kRegion + 0x200) {
      pmap8 = true;
      EXPECT_OK(CheckPage(GetParam(), maps.ImageOf(p), kPageTypePMap, p.offset, p.offset, "PMap"));
    }
  }
  EXPECT_TRUE(pmap8);
}

TEST_P(AllocationMapTest, SpaceFreedInATransactionWaitsForTheCommit) {
  AllocationMap maps(GetParam(), 0, UINT64_MAX);
  auto a = maps.AllocateBlock(8192);
  ASSERT_OK(a);
  maps.Commit();
  const uint64_t free_before = maps.free_bytes();
  ASSERT_OK(maps.Free(*a, 8192));
  EXPECT_EQ(maps.free_bytes(), free_before + 8192);
  EXPECT_TRUE(maps.IsUsed(*a, 8192)) << "still used by the committed state";
  for (int i = 0; i < 400; ++i) {
    auto b = maps.AllocateBlock(64);
    ASSERT_OK(b);
    EXPECT_TRUE(*b + 64 <= *a || *b >= *a + 8192) << "reused space the committed state uses";
  }
  maps.Abandon();
  EXPECT_EQ(maps.free_bytes(), free_before);
  ASSERT_OK(maps.Free(*a, 8192));
  maps.Commit();
  EXPECT_FALSE(maps.IsUsed(*a, 64));
  auto c = maps.AllocateBlock(8192);
  ASSERT_OK(c);
  EXPECT_EQ(*c, *a) << "after the commit the space is free for use";
}

TEST_P(AllocationMapTest, FindsAGapAcrossTheBitmapsWords) {
  AllocationMap maps(GetParam(), 0, UINT64_MAX);
  const uint64_t slots = maps.free_bytes() / 64;
  for (uint64_t i = 0; i < slots; ++i) ASSERT_OK(maps.AllocateBlock(64));
  ASSERT_EQ(maps.free_bytes(), 0u) << "the first region is full";
  maps.Commit();
  // Slots 62..64: the last two of the bitmap's first 64-bit word, the first of its second.
  const uint64_t gap = kFirst + 62 * 64;
  ASSERT_OK(maps.Free(gap, 3 * 64));
  maps.Commit();
  auto at = maps.AllocateBlock(3 * 64);
  ASSERT_OK(at);
  EXPECT_EQ(*at, gap);
  EXPECT_EQ(maps.extent(), kFirst + kRegion) << "found without growing";
}

// Full blocks skip the regions known to lack room for them, but small
// blocks still find those regions' holes, and freed space is found again.
TEST_P(AllocationMapTest, EachSizeFindsTheFirstRoomForIt) {
  AllocationMap maps(GetParam(), 0, UINT64_MAX);
  std::vector<uint64_t> blocks;
  while (maps.extent() < kFirst + 4 * kRegion) blocks.push_back(*maps.AllocateBlock(8192));
  maps.Commit();
  auto small = maps.AllocateBlock(64);
  ASSERT_OK(small);
  EXPECT_LT(*small, kFirst + kRegion) << "the first region's hole is used first";
  ASSERT_OK(maps.Free(blocks[3], 8192));
  maps.Commit();
  auto again = maps.AllocateBlock(8192);
  ASSERT_OK(again);
  EXPECT_EQ(*again, blocks[3]);
}

// Runs of random sizes and starts exercise every partial byte of the
// bitmap: each allocation must miss what either state uses, and the free
// count must follow, through frees, commits and abandons.
TEST_P(AllocationMapTest, KeepsItsCountsThroughRandomAllocationsAndFrees) {
  AllocationMap maps(GetParam(), 0, UINT64_MAX);
  std::map<uint64_t, uint64_t> committed, current;
  std::mt19937 random(7);
  auto overlaps = [](const std::map<uint64_t, uint64_t>& m, uint64_t at, uint64_t size) {
    auto next = m.lower_bound(at);
    if (next != m.end() && next->first < at + size) return true;
    return next != m.begin() && std::prev(next)->first + std::prev(next)->second > at;
  };
  for (int i = 0; i < 20000; ++i) {
    const uint32_t kind = random() % 100;
    if (kind < 60 || current.empty()) {
      const uint64_t size = 64 * (1 + random() % 128);
      auto at = maps.AllocateBlock(size);
      ASSERT_OK(at);
      ASSERT_FALSE(overlaps(current, *at, size)) << i;
      ASSERT_FALSE(overlaps(committed, *at, size)) << i << ": reused space the committed state uses";
      current[*at] = size;
    } else if (kind < 97) {
      auto victim = std::next(current.begin(), static_cast<long>(random() % current.size()));
      ASSERT_OK(maps.Free(victim->first, victim->second));
      current.erase(victim);
    } else if (kind < 99) {
      maps.Commit();
      committed = current;
    } else {
      maps.Abandon();
      current = committed;
    }
    uint64_t used = 0;
    for (const auto& [at, size] : current) used += size;
    uint64_t capacity = 0;
    for (uint64_t n = 0; n < (maps.extent() - kFirst) / kRegion; ++n) {
      capacity += kRegion - 512 * AllocationMap::MapPagesOf(n).size();
    }
    ASSERT_EQ(maps.free_bytes(), capacity - used)
        << i;
  }
}

TEST_P(AllocationMapTest, AbandonDropsGrownRegions) {
  AllocationMap maps(GetParam(), 0, UINT64_MAX);
  const uint64_t free_before = maps.free_bytes();
  for (int i = 0; i < 100; ++i) ASSERT_OK(maps.AllocateBlock(8192));
  EXPECT_GT(maps.extent(), kFirst + 3 * kRegion);
  maps.Abandon();
  EXPECT_EQ(maps.extent(), kFirst + kRegion);
  EXPECT_EQ(maps.free_bytes(), free_before);
}

TEST_P(AllocationMapTest, NeverGrowsPastTheLimit) {
  const uint64_t limit = kFirst + 2 * kRegion + 1000;
  AllocationMap maps(GetParam(), 0, limit);
  Status last;
  for (int i = 0; i < 100 && last.ok(); ++i) last = maps.AllocateBlock(8192).status();
  EXPECT_EQ(last.code(), Status::Code::kSizeLimit);
  EXPECT_EQ(maps.extent(), kFirst + 2 * kRegion);
}

TEST_P(AllocationMapTest, RefusesToFreeWhatIsNotInUse) {
  AllocationMap maps(GetParam(), 0, UINT64_MAX);
  EXPECT_TRUE(maps.Free(kFirst + 0x1000, 64).IsCorruption());
  EXPECT_TRUE(maps.Free(kFirst, 512).IsCorruption()) << "the AMap itself";
  EXPECT_TRUE(maps.Free(kFirst + 3, 64).IsCorruption());
  EXPECT_EQ(maps.AllocateBlock(100).status().code(), Status::Code::kInvalidArgument);
  EXPECT_EQ(maps.AllocateBlock(8256).status().code(), Status::Code::kInvalidArgument);
}

TEST_P(AllocationMapTest, RebuildMarksAndRejectsOverlaps) {
  AllocationMap maps(GetParam(), kFirst + 2 * kRegion, UINT64_MAX);
  ASSERT_OK(maps.MarkUsed(kFirst + 0x400, 512, "page"));
  EXPECT_TRUE(maps.MarkUsed(kFirst + 0x5C0, 128, "block").IsCorruption());
  EXPECT_TRUE(maps.MarkUsed(kFirst + kRegion, 64, "block").IsCorruption()) << "over an AMap";
  EXPECT_TRUE(maps.MarkUsed(kFirst + kRegion - 64, 128, "block").IsCorruption())
      << "across a region end";
  EXPECT_TRUE(maps.MarkUsed(kFirst + 2 * kRegion, 64, "block").IsCorruption()) << "past the end";
  ASSERT_OK(maps.MarkUsed(kFirst + kRegion + 0x400, 8192, "block"));
  EXPECT_TRUE(maps.IsUsed(kFirst + kRegion + 0x400, 8192));
}

TEST_P(AllocationMapTest, LoadReadsTheFilesMapsAndChecksThem) {
  AllocationMap maps(GetParam(), 0, UINT64_MAX);
  std::vector<uint64_t> blocks;
  for (int i = 0; i < 40; ++i) blocks.push_back(*maps.AllocateBlock(64 * (1 + i)));
  maps.Commit();
  io::MemoryFile file;
  for (const auto& p : maps.PagesToWrite()) ASSERT_OK(file.Write(p.offset, maps.ImageOf(p)));
  ASSERT_OK(file.Truncate(maps.extent()));
  AllocationMap loaded(GetParam(), maps.extent(), UINT64_MAX);
  ASSERT_OK(loaded.Load(file, maps.extent()));
  EXPECT_EQ(loaded.free_bytes(), maps.free_bytes());
  for (size_t i = 0; i < blocks.size(); ++i) EXPECT_TRUE(loaded.IsUsed(blocks[i], 64 * (1 + i)));
  EXPECT_TRUE(loaded.PagesToWrite().empty()) << "nothing differs from the file";

  // A store that ends inside its region gets the tail back as free space.
  AllocationMap short_one(GetParam(), kFirst + 0x4000, UINT64_MAX);
  ASSERT_OK(short_one.Load(file, kFirst + 0x4000));
  EXPECT_GT(short_one.free_bytes(), maps.free_bytes());

  file.mutable_contents()[kFirst + 10] ^= 1;  // the AMap's CRC no longer matches
  AllocationMap damaged(GetParam(), maps.extent(), UINT64_MAX);
  EXPECT_TRUE(damaged.Load(file, maps.extent()).IsCorruption());
}

// Full regions hold no bitmap of their own; freeing in one, abandoning,
// committing, writing and loading its map must behave as in any other.
TEST_P(AllocationMapTest, FullRegionsKeepEveryStateThroughFreesAndLoads) {
  AllocationMap maps(GetParam(), 0, UINT64_MAX);
  std::vector<uint64_t> blocks;
  while (maps.extent() < kFirst + 3 * kRegion) blocks.push_back(*maps.AllocateBlock(64));
  maps.Commit();
  const uint64_t free_full = maps.free_bytes();
  const uint64_t victim = blocks[blocks.size() / 4];  // in region 0, full
  ASSERT_LT(victim, kFirst + kRegion);
  ASSERT_OK(maps.Free(victim, 64));
  EXPECT_TRUE(maps.IsUsed(victim, 64)) << "the committed state still uses it";
  EXPECT_NE(*maps.AllocateBlock(64), victim);
  maps.Abandon();
  EXPECT_EQ(maps.free_bytes(), free_full);
  EXPECT_TRUE(maps.IsUsed(victim, 64));
  ASSERT_OK(maps.Free(victim, 64));
  maps.Commit();
  EXPECT_FALSE(maps.IsUsed(victim, 64));

  io::MemoryFile file;
  for (const auto& p : maps.PagesToWrite()) ASSERT_OK(file.Write(p.offset, maps.ImageOf(p)));
  ASSERT_OK(file.Truncate(maps.extent()));
  const Bytes amap1 = maps.EncodeAMap(1);
  const size_t bits_at = GetParam() == Format::kAnsi ? 4 : 0;
  EXPECT_TRUE(std::all_of(amap1.begin() + bits_at, amap1.begin() + bits_at + 496,
                          [](uint8_t b) { return b == 0xFF; }));
  AllocationMap loaded(GetParam(), maps.extent(), UINT64_MAX);
  ASSERT_OK(loaded.Load(file, maps.extent()));
  EXPECT_EQ(loaded.free_bytes(), maps.free_bytes());
  EXPECT_TRUE(loaded.IsUsed(kFirst + kRegion + 0x400, 64));
  EXPECT_EQ(*loaded.AllocateBlock(64), victim) << "the one free slot of the full regions";
  ASSERT_OK(loaded.Free(kFirst + kRegion + 0x400, 64));
  loaded.Commit();
  EXPECT_FALSE(loaded.IsUsed(kFirst + kRegion + 0x400, 64));
  EXPECT_EQ(*loaded.AllocateBlock(64), kFirst + kRegion + 0x400);
}

TEST(AllocationMapLayout, FreeMapsSitWhereTheFormatPutsThem) {
  auto has = [](uint64_t region, uint8_t ptype, uint64_t at) {
    for (const auto& p : AllocationMap::MapPagesOf(region)) {
      if (p.ptype == ptype) return p.offset == at;
    }
    return false;
  };
  const uint64_t r = kRegion;
  EXPECT_TRUE(has(0, kPageTypePMap, 0x4600));
  EXPECT_TRUE(has(8, kPageTypePMap, 0x4600 + 0x1F0000));
  EXPECT_FALSE(has(7, kPageTypePMap, kFirst + 7 * r + 0x200));
  EXPECT_TRUE(has(128, kPageTypeFMap, kFirst + 128 * r + 0x400));
  EXPECT_TRUE(has(624, kPageTypeFMap, kFirst + 624 * r + 0x400));
  EXPECT_FALSE(has(129, kPageTypeFMap, kFirst + 129 * r + 0x400));
  EXPECT_TRUE(has(8192, kPageTypeFPMap, kFirst + 8192 * r + 0x400));
  EXPECT_EQ(AllocationMap::MapPagesOf(8192).size(), 3u);  // AMap, PMap, FPMap
  // A map with an FMap region writes it with a valid trailer.
  AllocationMap big(Format::kUnicode, kFirst + 129 * r, UINT64_MAX);
  int fmaps = 0;
  for (const auto& p : big.PagesToWrite()) {
    if (p.offset != kFirst + 128 * r + 0x400) continue;
    ++fmaps;
    EXPECT_OK(CheckPage(Format::kUnicode, big.ImageOf(p), kPageTypeFMap, p.offset, p.offset, "FMap"));
  }
  EXPECT_EQ(fmaps, 1);
  EXPECT_EQ(big.free_bytes(), 129 * r - (129 + 17 + 1) * 512);
}

INSTANTIATE_TEST_SUITE_P(Formats, AllocationMapTest,
                         ::testing::Values(Format::kAnsi, Format::kUnicode),
                         [](const auto& info) {
                           return std::string(info.param == Format::kAnsi ? "Ansi" : "Unicode");
                         });

}  // namespace
}  // namespace pst::ndb
