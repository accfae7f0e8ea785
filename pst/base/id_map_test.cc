#include "pst/base/id_map.h"
#include "pst/base/id_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <unordered_map>
#include <vector>

namespace pst {
namespace {

// Random inserts, replacements and erases, checked against the standard
// map after every step: erasing in the middle of a probe run must leave
// every later entry findable, also where runs wrap around the end.
TEST(IdMapTest, AgreesWithStandardMapThroughInsertsAndErases) {
  // A few ids keep the table small, so runs often wrap; many make it grow
  // (and make the set's densest groups bitmaps).
  for (auto [ids, stride] :
       {std::pair{30u, 1u}, {3000u, 1u}, {3000u, 32u}, {3000u, 1u << 20}, {20000u, 1u}, {20000u, 7u}, {20000u, 32u}}) {
    std::mt19937 random(ids + stride);
    std::uniform_int_distribution<uint32_t> pick(0, ids);
    IdMap map;
    IdSet keys;  // the same ids, in the set's narrower slots
    std::unordered_map<uint32_t, uint32_t> expected;
    for (int step = 0; step < 40000; ++step) {
      const uint32_t id = pick(random) * stride;
      const uint32_t value = static_cast<uint32_t>(step);
      switch (step % 4) {
        case 0:
        case 1: {
          const bool added = expected.emplace(id, value).second;
          EXPECT_EQ(map.Insert(id, value), added);
          EXPECT_EQ(keys.Insert(id), added);
          break;
        }
        case 2:
          map.Set(id, value);
          (void)keys.Insert(id);
          expected[id] = value;
          break;
        case 3: {
          const bool held = expected.erase(id) == 1;
          EXPECT_EQ(map.Erase(id), held);
          EXPECT_EQ(keys.Erase(id), held);
          break;
        }
      }
      ASSERT_EQ(map.size(), expected.size());
      ASSERT_EQ(keys.size(), expected.size());
      const uint32_t probe = pick(random) * stride;
      auto it = expected.find(probe);
      ASSERT_EQ(map.Find(probe), it == expected.end() ? std::nullopt : std::optional<uint32_t>(it->second));
      ASSERT_EQ(keys.Contains(probe), it != expected.end());
    }
    for (const auto& [id, value] : expected) ASSERT_EQ(map.Find(id), value) << "id " << id;
    std::unordered_map<uint32_t, uint32_t> visited;
    map.ForEach([&](uint32_t id, uint32_t value) { EXPECT_TRUE(visited.emplace(id, value).second) << id; });
    EXPECT_EQ(visited, expected);
    std::vector<uint32_t> in_set, expected_ids;
    keys.ForEach([&](uint32_t id) { in_set.push_back(id); });
    for (const auto& entry : expected) expected_ids.push_back(entry.first);
    // Node ids: the type in the low 5 bits, the index above.
    std::sort(expected_ids.begin(), expected_ids.end(),
              [](uint32_t a, uint32_t b) { return std::pair(a & 31, a >> 5) < std::pair(b & 31, b >> 5); });
    EXPECT_EQ(in_set, expected_ids) << "the set visits each id once, by type, then ascending";
  }
}

// A set merged from others holds each id once, whatever their overlap.
TEST(IdMapTest, SetsMergeAndVisitEachIdOnce) {
  IdSet a, b;
  a.InsertAll(std::vector<uint32_t>{32, 64, 96});
  for (uint32_t id = 64; id < 64 + 32 * 5000; id += 32) EXPECT_TRUE(b.Insert(id));
  EXPECT_FALSE(b.Insert(64));
  EXPECT_TRUE(b.Erase(96));
  a.InsertAll(b);
  EXPECT_EQ(a.size(), 5000u + 1);
  std::set<uint32_t> seen;
  a.ForEach([&](uint32_t id) { EXPECT_TRUE(seen.insert(id).second) << id; });
  EXPECT_EQ(seen.size(), a.size());
  EXPECT_TRUE(a.Contains(32) && a.Contains(96) && a.Contains(64 + 32 * 4999));
  EXPECT_FALSE(a.Contains(0) || b.Contains(96));
}

TEST(IdMapTest, HoldsTheExtremeIds) {
  IdMap map;
  EXPECT_FALSE(map.Contains(0));
  EXPECT_FALSE(map.Erase(0));
  EXPECT_TRUE(map.Insert(0, 0));
  EXPECT_TRUE(map.Insert(UINT32_MAX, IdMap::kNoValue - 1));
  EXPECT_EQ(map.Find(0), 0u);
  EXPECT_EQ(map.Find(UINT32_MAX), IdMap::kNoValue - 1);
  EXPECT_TRUE(map.Erase(UINT32_MAX));
  EXPECT_FALSE(map.Contains(UINT32_MAX));
  EXPECT_EQ(map.size(), 1u);

  IdSet set;
  EXPECT_TRUE(set.Insert(UINT32_MAX) && set.Insert(0));
  EXPECT_FALSE(set.Insert(UINT32_MAX));
  IdSet into;
  into.Insert(7);
  into.Absorb(std::move(set));
  EXPECT_TRUE(into.Contains(UINT32_MAX) && into.Contains(0) && into.Contains(7));
  EXPECT_EQ(into.size(), 3u);
  EXPECT_TRUE(set.empty());
  EXPECT_TRUE(into.Erase(UINT32_MAX));
  EXPECT_FALSE(into.Contains(UINT32_MAX) || into.Erase(UINT32_MAX));
  EXPECT_EQ(into.size(), 2u);
}

}  // namespace
}  // namespace pst
