#include "pst/ltp/heap_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "pst/base/coding.h"
#include "pst/ltp/heap.h"
#include "pst/ltp/testing/memory_node.h"
#include "pst/ndb/header.h"
#include "pst/testing/status_matchers.h"

namespace pst::ltp {
namespace {

using testing::MemoryNode;

class HeapWriterTest : public ::testing::TestWithParam<ndb::Format> {
 protected:
  ndb::Format format() const { return GetParam(); }
  size_t max_block() const { return ndb::LayoutOf(format()).max_block_data; }
};

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

// The fill level the page headers record for page p.
uint8_t RecordedFillLevel(const std::vector<Bytes>& pages, size_t p) {
  if (p < 8) return (pages[0][8 + p / 2] >> (4 * (p % 2))) & 0xF;
  const size_t owner = 8 + (p - 8) / 128 * 128;
  const size_t k = p - owner;
  return (pages[owner][2 + k / 2] >> (4 * (k % 2))) & 0xF;
}

size_t FreeAfterMap(const Bytes& page) {
  const uint16_t map = DecodeFixed16(page.data());
  const uint16_t count = DecodeFixed16(page.data() + map);
  return page.size() - (map + 4 + 2 * (count + 1u));
}

TEST_P(HeapWriterTest, OnePageEndsAtItsPageMap) {
  HeapWriter w(kHeapClientProperties, format());
  std::vector<std::pair<Hid, Bytes>> items;
  for (size_t n : {8u, 1u, 3u, 100u}) {
    Bytes item = Pattern(n, static_cast<uint8_t>(n));
    auto hid = w.Allocate(item);
    ASSERT_OK(hid);
    items.emplace_back(*hid, item);
  }
  EXPECT_EQ(items[0].first, 0x20u);  // the first item of page 0
  EXPECT_EQ(items[1].first, 0x40u);
  w.set_user_root(items[0].first);
  std::vector<Bytes> pages = w.Finish();
  ASSERT_EQ(pages.size(), 1u);
  // Header 12 + items 112 = 124 (even), map 4 + 2 * 5.
  EXPECT_EQ(pages[0].size(), 12u + 112 + 14);
  EXPECT_EQ(DecodeFixed16(pages[0].data()), 124u);

  MemoryNode node(0x21, pages);
  auto heap = Heap::Open(node);
  ASSERT_OK(heap);
  EXPECT_EQ(heap->client_signature(), kHeapClientProperties);
  EXPECT_EQ(heap->user_root(), items[0].first);
  for (const auto& [hid, bytes] : items) EXPECT_EQ(*heap->Item(hid), bytes);
}

TEST_P(HeapWriterTest, ManyPagesWithBitmapHeaderAndFillLevels) {
  HeapWriter w(kHeapClientTable, format());
  std::vector<std::pair<Hid, Bytes>> items;
  // Two 3580-byte items fill a page: 10 pages, page 8 has the bitmap header.
  for (int i = 0; i < 25; ++i) {
    Bytes item = Pattern(i % 5 == 4 ? 17 : HeapWriter::kMaxItemSize, static_cast<uint8_t>(i));
    auto hid = w.Allocate(item);
    ASSERT_OK(hid);
    items.emplace_back(*hid, item);
  }
  std::vector<Bytes> pages = w.Finish();
  ASSERT_GE(pages.size(), 9u);
  for (size_t p = 0; p + 1 < pages.size(); ++p) {
    EXPECT_EQ(pages[p].size(), max_block()) << "non-last page " << p << " is full-size";
  }
  EXPECT_EQ(FreeAfterMap(pages.back()), 0u);
  // Items start after the header: 12 bytes on page 0, 66 on page 8, else 2.
  for (size_t p : {size_t{0}, size_t{1}, size_t{8}}) {
    const uint16_t map = DecodeFixed16(pages[p].data());
    EXPECT_EQ(DecodeFixed16(pages[p].data() + map + 4), p == 0 ? 12u : (p == 8 ? 66u : 2u));
  }
  for (size_t p = 0; p < pages.size(); ++p) {
    const size_t free = max_block() - (pages[p].size() - FreeAfterMap(pages[p]));
    EXPECT_EQ(RecordedFillLevel(pages, p), HeapWriter::FillLevel(free)) << "page " << p;
  }

  MemoryNode node(0x7FF, pages);
  auto heap = Heap::Open(node);
  ASSERT_OK(heap);
  EXPECT_EQ(heap->page_count(), pages.size());
  for (const auto& [hid, bytes] : items) EXPECT_EQ(*heap->Item(hid), bytes) << std::hex << hid;
  // A small item after big ones fills the room left on the first page.
  EXPECT_EQ(HidPageIndex(items[4].first), 0u);
  EXPECT_EQ(HidPageIndex(items[5].first), 2u);
}

TEST_P(HeapWriterTest, StartsANewPageAfter2047Items) {
  HeapWriter w(kHeapClientProperties, format());
  std::vector<Hid> hids;
  for (int i = 0; i < 2100; ++i) {
    auto hid = w.Allocate(Bytes{static_cast<uint8_t>(i)});
    ASSERT_OK(hid);
    hids.push_back(*hid);
  }
  EXPECT_EQ(HidItemIndex(hids[2046]), 2047u);
  EXPECT_EQ(HidPageIndex(hids[2047]), 1u);
  MemoryNode node(0x21, w.Finish());
  auto heap = Heap::Open(node);
  ASSERT_OK(heap);
  for (int i = 0; i < 2100; i += 97) {
    EXPECT_EQ(*heap->Item(hids[i]), Bytes{static_cast<uint8_t>(i)});
  }
}

TEST_P(HeapWriterTest, ReservedItemsAreFilledLater) {
  HeapWriter w(kHeapClientProperties, format());
  auto first = w.Reserve(8);
  auto second = w.Allocate(Bytes{1, 2, 3});
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_OK(w.Write(*first, Bytes{9, 8, 7, 6, 5, 4, 3, 2}));
  MemoryNode node(0x21, w.Finish());
  auto heap = Heap::Open(node);
  ASSERT_OK(heap);
  EXPECT_EQ(*heap->Item(*first), (Bytes{9, 8, 7, 6, 5, 4, 3, 2}));
}

// Keeps what a streaming heap hands over.
class RecordedBlocks final : public ndb::BlocksInOrder {
 public:
  Status Add(ByteSpan block) override {
    blocks.emplace_back(block.begin(), block.end());
    return Status::Ok();
  }
  Status HoldFirst() override {
    if (!blocks.empty()) return Status::InvalidArgument("first block held after others");
    blocks.emplace_back();
    first_held = true;
    return Status::Ok();
  }
  Status AddFirst(ByteSpan block) override {
    if (!first_held) return Status::InvalidArgument("first block not held");
    blocks[0].assign(block.begin(), block.end());
    first_held = false;
    return Status::Ok();
  }
  Result<ndb::Bid> Finish() override { return ndb::Bid{4}; }
  std::vector<Bytes> blocks;
  bool first_held = false;
};

// A big heap streamed out page by page: every item readable, every fill
// level (page 0's, and the bitmap pages' 8, 136 and 264) true, a page with a
// reserved item held until it is written (page 0 only in its place: the
// pages after it go on), and never much more than the open pages and one
// bitmap page's range held at once.
TEST_P(HeapWriterTest, StreamedPagesAreCompleteAndFewAreHeld) {
  HeapWriter w(kHeapClientTable, format());
  RecordedBlocks out;
  w.StreamTo(&out);
  auto late = w.Reserve(40);
  ASSERT_OK(late);
  std::optional<Hid> middle;
  std::vector<std::pair<Hid, Bytes>> items;
  size_t most_held = 0;
  for (int i = 0; i < 6000; ++i) {
    Bytes item = Pattern(i % 7 == 0 ? 1 : (i * 131) % 900 + 1, static_cast<uint8_t>(i));
    auto hid = w.Allocate(item);
    ASSERT_OK(hid);
    items.emplace_back(*hid, item);
    if (i == 1000) {
      auto reserved = w.Reserve(40);
      ASSERT_OK(reserved);
      middle = *reserved;
    }
    if (i == 3000) {
      ASSERT_TRUE(out.first_held) << "page 0 waits for its reserved item";
      EXPECT_GT(out.blocks.size(), 1u) << "and the pages after it do not";
      EXPECT_LE(out.blocks.size(), HidPageIndex(*middle)) << "a later page with a reserved item waits in line";
      ASSERT_OK(w.Write(*middle, Pattern(40, 8)));
      ASSERT_OK(w.Write(*late, Pattern(40, 9)));
      EXPECT_FALSE(out.first_held);
    }
    if (i < 1000 || i > 3000) most_held = std::max(most_held, HidPageIndex(*hid) + 1 - out.blocks.size());
  }
  EXPECT_LE(most_held, HeapWriter::kOpenPages + 128 + 1);
  EXPECT_FALSE(w.Write(items.front().first, items.front().second).ok()) << "a page written out";
  ASSERT_OK(w.FinishInto());
  const std::vector<Bytes>& pages = out.blocks;
  ASSERT_GT(pages.size(), 264u);
  for (size_t p = 0; p < pages.size(); ++p) {
    const size_t used = pages[p].size() - FreeAfterMap(pages[p]);
    EXPECT_EQ(RecordedFillLevel(pages, p), HeapWriter::FillLevel(max_block() - used)) << "page " << p;
    if (p + 1 < pages.size()) {
      EXPECT_EQ(pages[p].size(), max_block());
    }
  }
  EXPECT_EQ(FreeAfterMap(pages.back()), 0u);
  MemoryNode node(0x7FF, pages);
  auto heap = Heap::Open(node);
  ASSERT_OK(heap);
  EXPECT_EQ(*heap->Item(*late), Pattern(40, 9));
  EXPECT_EQ(*heap->Item(*middle), Pattern(40, 8));
  for (const auto& [hid, bytes] : items) ASSERT_EQ(*heap->Item(hid), bytes) << std::hex << hid;
}

TEST_P(HeapWriterTest, RejectsBadItemsAndHids) {
  HeapWriter w(kHeapClientProperties, format());
  EXPECT_FALSE(w.Allocate(Bytes()).ok());
  EXPECT_FALSE(w.Allocate(Bytes(HeapWriter::kMaxItemSize + 1)).ok());
  EXPECT_OK(w.Allocate(Bytes(HeapWriter::kMaxItemSize)));
  EXPECT_FALSE(w.Reserve(0).ok());
  auto hid = w.Allocate(Bytes{1, 2});
  ASSERT_OK(hid);
  EXPECT_FALSE(w.Write(*hid, Bytes{1, 2, 3}).ok());  // another size
  EXPECT_FALSE(w.Write(0x60, Bytes{1, 2}).ok());    // no item 3
  EXPECT_FALSE(w.Write(0x10020, Bytes{1, 2}).ok()); // no page 1
  EXPECT_FALSE(w.Write(0x21, Bytes{1, 2}).ok());    // not a HID
  EXPECT_FALSE(w.Write(0x0, Bytes{1, 2}).ok());
}

TEST(HeapWriterFillLevel, FollowsTheFreeSpaceTable) {
  const std::pair<size_t, uint8_t> cases[] = {
      {8176, 0x0}, {3584, 0x0}, {3583, 0x1}, {2560, 0x1}, {2559, 0x2}, {1024, 0x6},
      {1023, 0x7}, {64, 0xB},   {63, 0xC},   {8, 0xE},    {7, 0xF},    {0, 0xF}};
  for (const auto& [free, level] : cases) {
    EXPECT_EQ(HeapWriter::FillLevel(free), level) << free << " bytes free";
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, HeapWriterTest,
                         ::testing::Values(ndb::Format::kAnsi, ndb::Format::kUnicode),
                         [](const auto& info) {
                           return info.param == ndb::Format::kAnsi ? "Ansi" : "Unicode";
                         });

}  // namespace
}  // namespace pst::ltp
