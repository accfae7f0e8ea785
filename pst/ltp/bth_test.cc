#include "pst/ltp/bth.h"

#include <gtest/gtest.h>

#include "pst/ltp/testing/heap_builder.h"
#include "pst/ltp/testing/memory_node.h"
#include "pst/testing/status_matchers.h"

namespace pst::ltp {
namespace {

using testing::BthHeader;
using testing::HeapBuilder;
using testing::MemoryNode;
using testing::Put16;
using testing::Put32;

// Leaf records with 4-byte keys k and 2-byte data (k & 0xFFFF) ^ 0x5555.
Bytes Leaf(const std::vector<uint32_t>& keys) {
  Bytes b;
  for (uint32_t k : keys) {
    Put32(b, k);
    Put16(b, static_cast<uint16_t>((k & 0xFFFF) ^ 0x5555));
  }
  return b;
}
Bytes Index(const std::vector<std::pair<uint32_t, Hid>>& records) {
  Bytes b;
  for (auto [k, hid] : records) {
    Put32(b, k);
    Put32(b, hid);
  }
  return b;
}

struct Built {
  std::unique_ptr<MemoryNode> node;
  std::unique_ptr<Heap> heap;
  Hid header = 0;
};

// `make` adds the tree's items and returns the header's HID.
template <typename F>
Built Build(F make) {
  HeapBuilder b(kHeapClientBth);
  Built out;
  out.header = make(b);
  out.node = std::make_unique<MemoryNode>(0x61, b.Build());
  auto heap = Heap::Open(*out.node);
  EXPECT_OK(heap);
  out.heap = std::make_unique<Heap>(std::move(heap).value());
  return out;
}

std::vector<uint32_t> Walk(const Bth& bth, Status* status) {
  std::vector<uint32_t> keys;
  *status = bth.ForEach([&](ByteSpan key, ByteSpan data) {
    EXPECT_EQ(DecodeFixed16(data.data()), (DecodeFixed32(key.data()) & 0xFFFF) ^ 0x5555);
    keys.push_back(DecodeFixed32(key.data()));
    return Status::Ok();
  });
  return keys;
}

TEST(BthTest, LeafOnlyTree) {
  auto t = Build([](HeapBuilder& b) {
    Hid leaf = b.Add(Leaf({1, 5, 0x100, 0x10000, 0xFFFFFFFF}));
    return b.Add(BthHeader(4, 2, 0, leaf));
  });
  auto bth = Bth::Open(*t.heap, t.header);
  ASSERT_OK(bth);
  Status s;
  EXPECT_EQ(Walk(*bth, &s), (std::vector<uint32_t>{1, 5, 0x100, 0x10000, 0xFFFFFFFF}));
  EXPECT_OK(s);
  for (uint32_t k : {1u, 5u, 0x100u, 0x10000u, 0xFFFFFFFFu}) {
    auto found = bth->Find(uint64_t{k});
    ASSERT_TRUE(found.ok() && found->has_value()) << k;
    EXPECT_EQ(DecodeFixed16((*found)->data()), (k & 0xFFFF) ^ 0x5555);
  }
  for (uint64_t k : {0ull, 2ull, 0xFFull, 0xFFFFFFFEull, 0x100000000ull}) {
    auto found = bth->Find(k);
    ASSERT_OK(found);
    EXPECT_FALSE(found->has_value()) << k;
  }
}

TEST(BthTest, EmptyTreeAndSixteenByteKeys) {
  auto empty = Build([](HeapBuilder& b) { return b.Add(BthHeader(16, 4, 0, 0)); });
  auto bth = Bth::Open(*empty.heap, empty.header);
  ASSERT_OK(bth);
  EXPECT_TRUE(bth->empty());
  Status s;
  EXPECT_TRUE(Walk(*bth, &s).empty());
  uint8_t key[16] = {};
  EXPECT_FALSE(bth->Find(ByteSpan(key, 16))->has_value());
  EXPECT_FALSE(bth->Find(uint64_t{1}).ok());  // integer key for a 16-byte tree

  // 16-byte keys (GUIDs) are sorted as byte strings, unlike 4-byte keys.
  Bytes low(16, 0), high(16, 0);
  low[0] = 0x01, low[15] = 0x02;
  high[0] = 0x02, high[15] = 0x01;
  for (bool byte_order : {true, false}) {
    auto guids = Build([&](HeapBuilder& b) {
      Bytes leaf;
      for (const Bytes* key : byte_order ? std::vector{&low, &high} : std::vector{&high, &low}) {
        leaf.insert(leaf.end(), key->begin(), key->end());
        Put32(leaf, (*key)[0]);
      }
      return b.Add(BthHeader(16, 4, 0, b.Add(leaf)));
    });
    bth = Bth::Open(*guids.heap, guids.header);
    ASSERT_OK(bth);
    Status walk = bth->ForEach([](ByteSpan, ByteSpan) { return Status::Ok(); });
    EXPECT_EQ(walk.ok(), byte_order) << walk.ToString();
    if (byte_order) {
      auto found = bth->Find(ByteSpan(high));
      ASSERT_TRUE(found.ok() && found->has_value());
      EXPECT_EQ(DecodeFixed32((*found)->data()), 2u);
    }
  }
}

TEST(BthTest, IntermediateLevels) {
  // Two index levels over six leaves of three records each.
  auto t = Build([](HeapBuilder& b) {
    std::vector<std::pair<uint32_t, Hid>> lower;
    for (uint32_t leaf = 0; leaf < 6; ++leaf) {
      const uint32_t k = leaf * 100;
      lower.push_back({k, b.Add(Leaf({k, k + 10, k + 20}))});
    }
    Hid left = b.Add(Index({lower[0], lower[1], lower[2]}));
    Hid right = b.Add(Index({lower[3], lower[4], lower[5]}));
    Hid top = b.Add(Index({{0, left}, {300, right}}));
    return b.Add(BthHeader(4, 2, 2, top));
  });
  auto bth = Bth::Open(*t.heap, t.header);
  ASSERT_OK(bth);
  Status s;
  auto keys = Walk(*bth, &s);
  ASSERT_OK(s);
  ASSERT_EQ(keys.size(), 18u);
  for (uint32_t k : keys) {
    auto found = bth->Find(uint64_t{k});
    ASSERT_TRUE(found.ok() && found->has_value()) << k;
    EXPECT_FALSE(bth->Find(uint64_t{k + 1})->has_value());
  }
  EXPECT_EQ(keys.front(), 0u);
  EXPECT_EQ(keys.back(), 520u);
}

TEST(BthTest, RejectsBadHeaders) {
  struct Case {
    Bytes header;
    const char* what;
  };
  Bytes long_header = BthHeader(2, 6, 0, 0);
  long_header.push_back(0);
  Bytes bad_type = BthHeader(2, 6, 0, 0);
  bad_type[0] = 0xBC;
  const Case cases[] = {
      {bad_type, "type"},
      {BthHeader(3, 6, 0, 0), "key size 3"},
      {BthHeader(32, 6, 0, 0), "key size 32"},
      {BthHeader(2, 0, 0, 0), "data size 0"},
      {BthHeader(2, 33, 0, 0), "data size 33"},
      {BthHeader(2, 6, 9, 0), "too deep"},
      {BthHeader(2, 6, 255, 0), "far too deep"},
      {long_header, "header size"},
      {Bytes{0xB5, 2, 6}, "short header"},
  };
  for (const Case& c : cases) {
    auto t = Build([&](HeapBuilder& b) { return b.Add(c.header); });
    auto bth = Bth::Open(*t.heap, t.header);
    EXPECT_TRUE(bth.status().IsCorruption()) << c.what;
  }
  auto t = Build([](HeapBuilder& b) { return b.Add(BthHeader(4, 2, 0, 0)); });
  EXPECT_TRUE(Bth::Open(*t.heap, 0).status().IsCorruption());
}

// Opens the tree and both walks and searches it; returns the first failure.
Status Exercise(const Built& t, uint32_t probe) {
  auto bth = Bth::Open(*t.heap, t.header);
  if (!bth.ok()) return bth.status();
  Status walk;
  Walk(*bth, &walk);
  auto found = bth->Find(uint64_t{probe});
  if (!walk.ok()) return walk;
  return found.status();
}

TEST(BthTest, RejectsBrokenRecords) {
  // A leaf that is not a whole number of records.
  auto ragged = Build([](HeapBuilder& b) {
    Bytes leaf = Leaf({1, 2});
    leaf.pop_back();
    return b.Add(BthHeader(4, 2, 0, b.Add(leaf)));
  });
  EXPECT_TRUE(Exercise(ragged, 1).IsCorruption());

  // Records out of order, and a duplicate key.
  for (auto keys : {std::vector<uint32_t>{5, 3}, std::vector<uint32_t>{4, 4}}) {
    auto unsorted = Build([&](HeapBuilder& b) {
      return b.Add(BthHeader(4, 2, 0, b.Add(Leaf(keys))));
    });
    EXPECT_TRUE(Exercise(unsorted, 3).IsCorruption());
  }

  // A root that names an item the heap does not have.
  auto dangling = Build([](HeapBuilder& b) { return b.Add(BthHeader(4, 2, 0, MakeHid(0, 40))); });
  EXPECT_TRUE(Exercise(dangling, 1).IsCorruption());
}

TEST(BthTest, RejectsBrokenIndexes) {
  // An index item that names itself: walking must stop, not loop.
  auto cyclic = Build([](HeapBuilder& b) {
    const Hid self = MakeHid(0, 1);
    EXPECT_EQ(b.Add(Index({{0, self}})), self);
    return b.Add(BthHeader(4, 2, 2, self));
  });
  EXPECT_TRUE(Exercise(cyclic, 0).IsCorruption());

  // Two index records sharing one child.
  auto shared = Build([](HeapBuilder& b) {
    Hid leaf = b.Add(Leaf({10, 20}));
    Hid top = b.Add(Index({{0, leaf}, {15, leaf}}));
    return b.Add(BthHeader(4, 2, 1, top));
  });
  EXPECT_TRUE(Exercise(shared, 10).IsCorruption());

  // A child holding keys outside its index range.
  auto misplaced = Build([](HeapBuilder& b) {
    Hid a = b.Add(Leaf({10, 60}));
    Hid c = b.Add(Leaf({50, 70}));
    Hid top = b.Add(Index({{10, a}, {50, c}}));
    return b.Add(BthHeader(4, 2, 1, top));
  });
  EXPECT_TRUE(Exercise(misplaced, 70).IsCorruption());

  // An index record pointing at heap id 0.
  auto null_child = Build([](HeapBuilder& b) {
    return b.Add(BthHeader(4, 2, 1, b.Add(Index({{0, 0}}))));
  });
  EXPECT_TRUE(Exercise(null_child, 1).IsCorruption());
}

}  // namespace
}  // namespace pst::ltp
