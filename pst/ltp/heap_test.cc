#include "pst/ltp/heap.h"

#include <gtest/gtest.h>

#include "pst/ltp/testing/heap_builder.h"
#include "pst/ltp/testing/memory_node.h"
#include "pst/testing/status_matchers.h"

namespace pst::ltp {
namespace {

using testing::HeapBuilder;
using testing::MemoryNode;

Bytes Fill(size_t n, uint8_t v) { return Bytes(n, v); }

TEST(HeapTest, ReadsItemsOnEveryKindOfPage) {
  HeapBuilder b(kHeapClientProperties);
  std::vector<Hid> hids;
  hids.push_back(b.Add(Fill(10, 0xA0)));
  hids.push_back(b.Add(Bytes()));  // a zero-length (freed) item
  hids.push_back(b.Add(Fill(3, 0xA2)));
  // Pages 1..9: page 8 carries the 66-byte bitmap header.
  for (int p = 1; p < 10; ++p) {
    b.NewPage();
    hids.push_back(b.Add(Fill(p, static_cast<uint8_t>(p))));
  }
  b.set_user_root(hids[0]);
  MemoryNode node(0x21, b.Build());
  auto heap = Heap::Open(node);
  ASSERT_OK(heap);
  EXPECT_EQ(heap->client_signature(), kHeapClientProperties);
  EXPECT_EQ(heap->user_root(), hids[0]);
  EXPECT_EQ(heap->page_count(), 10u);

  EXPECT_EQ(*heap->Item(hids[0]), Fill(10, 0xA0));
  EXPECT_TRUE(heap->Item(hids[1])->empty());
  EXPECT_EQ(*heap->Item(hids[2]), Fill(3, 0xA2));
  for (int p = 1; p < 10; ++p) {
    EXPECT_EQ(HidPageIndex(hids[2 + p]), static_cast<uint32_t>(p));
    EXPECT_EQ(*heap->Item(hids[2 + p]), Fill(p, static_cast<uint8_t>(p)));
    EXPECT_EQ(*heap->ItemSize(hids[2 + p]), static_cast<size_t>(p));
  }
  EXPECT_TRUE(heap->Item(0)->empty());
}

TEST(HeapTest, KeepsABoundedNumberOfPages) {
  HeapBuilder b(kHeapClientProperties);
  std::vector<Hid> hids{b.Add(Fill(4, 0))};
  for (int p = 1; p < 40; ++p) {
    b.NewPage();
    hids.push_back(b.Add(Fill(4, static_cast<uint8_t>(p))));
  }
  MemoryNode node(0x21, b.Build());
  auto heap = Heap::Open(node);
  ASSERT_OK(heap);
  // Repeated reads of one page load it once.
  const size_t before = node.block_reads();
  for (int i = 0; i < 5; ++i) ASSERT_OK(heap->Item(hids[3]));
  EXPECT_EQ(node.block_reads(), before + 1);
  // Sweeping all 40 pages twice must reload evicted pages.
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t p = 0; p < hids.size(); ++p) {
      EXPECT_EQ((*heap->Item(hids[p]))[0], static_cast<uint8_t>(p));
    }
  }
  EXPECT_GT(node.block_reads(), before + 1 + 40);
}

class BrokenHeapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HeapBuilder b(kHeapClientTable);
    item_ = b.Add(Fill(8, 1));
    b.Add(Fill(6, 2));
    b.NewPage();
    second_page_item_ = b.Add(Fill(4, 3));
    blocks_ = b.Build();
  }
  Status OpenAndRead(const std::vector<Bytes>& blocks, Hid hid) {
    MemoryNode node(0x8022, blocks);
    auto heap = Heap::Open(node);
    if (!heap.ok()) return heap.status();
    return heap->Item(hid).status();
  }
  std::vector<Bytes> blocks_;
  Hid item_ = 0;
  Hid second_page_item_ = 0;
};

TEST_F(BrokenHeapTest, FirstPageHeader) {
  ASSERT_OK(OpenAndRead(blocks_, item_));
  EXPECT_TRUE(OpenAndRead({}, item_).IsCorruption());

  auto bad_sig = blocks_;
  bad_sig[0][2] = 0xED;
  Status s = OpenAndRead(bad_sig, item_);
  EXPECT_TRUE(s.IsCorruption());
  EXPECT_NE(s.message().find("0x8022"), std::string::npos) << s.ToString();

  auto short_page = blocks_;
  short_page[0].resize(5);
  EXPECT_TRUE(OpenAndRead(short_page, item_).IsCorruption());
}

TEST_F(BrokenHeapTest, PageMapOffset) {
  for (uint16_t bad : {0, 4, 11, 13, 34, 38, 0x7FFE}) {
    auto blocks = blocks_;
    EncodeFixed16(blocks[0].data(), bad);
    Status s = OpenAndRead(blocks, item_);
    EXPECT_TRUE(s.IsCorruption()) << bad;
    EXPECT_NE(s.message().find("page map offset"), std::string::npos) << s.ToString();
  }
  // Page 1's map is only loaded when one of its items is read.
  auto blocks = blocks_;
  EncodeFixed16(blocks[1].data(), 1);
  EXPECT_OK(OpenAndRead(blocks, item_));
  EXPECT_TRUE(OpenAndRead(blocks, second_page_item_).IsCorruption());
}

TEST_F(BrokenHeapTest, PageMapEntries) {
  const size_t map = DecodeFixed16(blocks_[0].data());
  {  // count reaching past the page
    auto blocks = blocks_;
    EncodeFixed16(blocks[0].data() + map, 0xFFFF);
    EXPECT_TRUE(OpenAndRead(blocks, item_).IsCorruption());
  }
  {  // offsets going backwards
    auto blocks = blocks_;
    EncodeFixed16(blocks[0].data() + map + 6, 30);
    EXPECT_TRUE(OpenAndRead(blocks, item_).IsCorruption());
  }
  {  // the last item running into the page map
    auto blocks = blocks_;
    EncodeFixed16(blocks[0].data() + map + 8, static_cast<uint16_t>(map + 2));
    EXPECT_TRUE(OpenAndRead(blocks, item_).IsCorruption());
  }
  {  // the first item starting inside the page header
    auto blocks = blocks_;
    EncodeFixed16(blocks[0].data() + map + 4, 4);
    EXPECT_TRUE(OpenAndRead(blocks, item_).IsCorruption());
  }
}

TEST_F(BrokenHeapTest, HeapIds) {
  EXPECT_TRUE(OpenAndRead(blocks_, item_ | 0x1).IsCorruption());      // not a HID type
  EXPECT_TRUE(OpenAndRead(blocks_, MakeHid(0, 0) | 0x10000).IsCorruption());  // index 0
  EXPECT_TRUE(OpenAndRead(blocks_, MakeHid(0, 3)).IsCorruption());    // past cAlloc
  EXPECT_TRUE(OpenAndRead(blocks_, MakeHid(2, 1)).IsCorruption());    // no such page
  EXPECT_TRUE(OpenAndRead(blocks_, MakeHid(0xFFFF, 0x7FF)).IsCorruption());
}

}  // namespace
}  // namespace pst::ltp
