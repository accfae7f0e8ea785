#include "pst/ltp/bth_writer.h"

#include <gtest/gtest.h>

#include "pst/base/coding.h"
#include "pst/ltp/bth.h"
#include "pst/ltp/heap.h"
#include "pst/ltp/testing/memory_node.h"
#include "pst/testing/status_matchers.h"

namespace pst::ltp {
namespace {

using testing::MemoryNode;

// count records of 4-byte keys (step apart) and 4-byte data (key * 3).
Bytes Records(size_t count, uint32_t step = 5) {
  Bytes out;
  out.resize(count * 8);
  for (size_t i = 0; i < count; ++i) {
    EncodeFixed32(out.data() + i * 8, static_cast<uint32_t>(i * step + 1));
    EncodeFixed32(out.data() + i * 8 + 4, static_cast<uint32_t>((i * step + 1) * 3));
  }
  return out;
}

struct Written {
  std::unique_ptr<MemoryNode> node;
  std::unique_ptr<Heap> heap;
  std::unique_ptr<Bth> bth;
};

Written WriteAndOpen(ndb::Format format, uint8_t key, uint8_t ent, const Bytes& records) {
  HeapWriter heap(kHeapClientBth, format);
  BthWriter bth(&heap, key, ent);
  Written w;
  auto header = bth.Write(records);
  EXPECT_OK(header);
  if (!header.ok()) return w;
  heap.set_user_root(*header);
  w.node = std::make_unique<MemoryNode>(0x21, heap.Finish());
  auto h = Heap::Open(*w.node);
  EXPECT_OK(h);
  if (!h.ok()) return w;
  w.heap = std::make_unique<Heap>(std::move(h).value());
  auto b = Bth::Open(*w.heap, w.heap->user_root());
  EXPECT_OK(b);
  if (b.ok()) w.bth = std::make_unique<Bth>(std::move(b).value());
  return w;
}

void ExpectAllFound(const Bth& bth, size_t count, uint32_t step = 5) {
  size_t seen = 0;
  ASSERT_OK(bth.ForEach([&](ByteSpan key, ByteSpan data) {
                 EXPECT_EQ(DecodeFixed32(key.data()), seen * step + 1);
                 EXPECT_EQ(DecodeFixed32(data.data()), (seen * step + 1) * 3);
                 ++seen;
                 return Status::Ok();
               }));
  EXPECT_EQ(seen, count);
  for (size_t i = 0; i < count; i += 1 + count / 50) {
    auto found = bth.Find(uint64_t{i * step + 1});
    ASSERT_TRUE(found.ok() && found->has_value()) << i;
    EXPECT_EQ(DecodeFixed32((*found)->data()), (i * step + 1) * 3);
    auto missing = bth.Find(uint64_t{i * step + 2});
    ASSERT_OK(missing);
    EXPECT_FALSE(missing->has_value());
  }
}

TEST(BthWriterTest, EmptyTreeHasNoRoot) {
  Written w = WriteAndOpen(ndb::Format::kUnicode, 4, 4, Bytes());
  ASSERT_TRUE(w.bth);
  EXPECT_TRUE(w.bth->empty());
  EXPECT_EQ(w.bth->index_levels(), 0);
}

TEST(BthWriterTest, OneLeaf) {
  Written w = WriteAndOpen(ndb::Format::kAnsi, 4, 4, Records(447));  // exactly one item
  ASSERT_TRUE(w.bth);
  EXPECT_EQ(w.bth->index_levels(), 0);
  ExpectAllFound(*w.bth, 447);
}

TEST(BthWriterTest, IndexLevelsOverManyLeaves) {
  // 448 records need two leaves and one index level; 447 * 447 + 1 need two.
  for (size_t count : {size_t{448}, size_t{5000}, size_t{447 * 447 + 1}}) {
    Written w = WriteAndOpen(ndb::Format::kUnicode, 4, 4, Records(count));
    ASSERT_TRUE(w.bth);
    EXPECT_EQ(w.bth->index_levels(), count > 447 * 447 ? 2 : 1) << count;
    ExpectAllFound(*w.bth, count);
  }
}

TEST(BthWriterTest, WideKeysAndRecords) {
  // 16-byte keys (GUIDs) and 32-byte data.
  Bytes records;
  for (int i = 0; i < 200; ++i) {
    Bytes key(16, 0);
    key[15] = static_cast<uint8_t>(i);  // the most significant byte
    records.insert(records.end(), key.begin(), key.end());
    records.insert(records.end(), 32, static_cast<uint8_t>(i));
  }
  Written w = WriteAndOpen(ndb::Format::kUnicode, 16, 32, records);
  ASSERT_TRUE(w.bth);
  EXPECT_EQ(w.bth->index_levels(), 1);  // 74 records of 48 bytes per leaf
  Bytes key(16, 0);
  key[15] = 150;
  auto found = w.bth->Find(key);
  ASSERT_TRUE(found.ok() && found->has_value());
  EXPECT_EQ(**found, Bytes(32, 150));
}

TEST(BthWriterTest, ReservedItemsComeFirst) {
  HeapWriter heap(kHeapClientProperties, ndb::Format::kUnicode);
  BthWriter bth(&heap, 2, 6);
  ASSERT_EQ(*bth.AllocateHeader(), 0x20u);
  ASSERT_OK(bth.AllocateRecords(3));
  auto value = heap.Allocate(Bytes{1, 2, 3, 4, 5, 6, 7, 8});
  ASSERT_EQ(*value, 0x60u);  // after the header and the record item
  Bytes records = {1, 0, 3, 0, 0, 0, 0, 0, 2, 0, 3, 0, 0, 0, 0, 0, 9, 0, 3, 0, 0, 0, 0, 0};
  EXPECT_OK(bth.Write(records));
  EXPECT_FALSE(bth.AllocateRecords(3).ok());  // only once

  BthWriter other(&heap, 2, 6);
  ASSERT_OK(other.AllocateRecords(2));
  EXPECT_FALSE(other.Write(records).ok());  // 3 records where 2 were reserved
}

// Records given in uneven pieces make the heap that one Write makes; keys
// must still ascend across pieces.
TEST(BthWriterTest, RecordsInPiecesWriteTheSameHeap) {
  const Bytes records = Records(447 * 3 + 10);
  auto heap_of = [&](const std::vector<size_t>& pieces) {
    HeapWriter heap(kHeapClientBth, ndb::Format::kUnicode);
    BthWriter bth(&heap, 4, 4);
    size_t at = 0;
    for (size_t records_in_piece : pieces) {
      const size_t bytes = std::min(records_in_piece * 8, records.size() - at);
      EXPECT_OK(bth.Add(ByteSpan(records).subspan(at, bytes)));
      at += bytes;
    }
    auto header = bth.Finish();
    EXPECT_OK(header);
    heap.set_user_root(header.ok() ? *header : 0);
    return heap.Finish();
  };
  const std::vector<Bytes> whole = heap_of({records.size() / 8});
  EXPECT_EQ(heap_of({1, 0, 446, 2, 700, 5000}), whole);
  EXPECT_EQ(heap_of({447, 447, 447, 447}), whole);

  HeapWriter heap(kHeapClientBth, ndb::Format::kUnicode);
  BthWriter bth(&heap, 4, 4);
  ASSERT_OK(bth.Add(ByteSpan(records).subspan(8, 16)));
  EXPECT_FALSE(bth.Add(ByteSpan(records).first(8)).ok());  // below the last key added
  ASSERT_OK(bth.Finish());
  EXPECT_FALSE(bth.Add(ByteSpan(records).subspan(24, 8)).ok());
}

TEST(BthWriterTest, RejectsBadInput) {
  HeapWriter heap(kHeapClientBth, ndb::Format::kUnicode);
  EXPECT_FALSE(BthWriter(&heap, 3, 4).Write(Bytes()).ok());   // key size
  EXPECT_FALSE(BthWriter(&heap, 4, 0).Write(Bytes()).ok());   // record size
  EXPECT_FALSE(BthWriter(&heap, 4, 33).Write(Bytes()).ok());
  EXPECT_FALSE(BthWriter(&heap, 4, 4).Write(Bytes(7)).ok());  // partial record
  Bytes unsorted = Records(3);
  std::swap_ranges(unsorted.begin(), unsorted.begin() + 8, unsorted.begin() + 8);
  EXPECT_FALSE(BthWriter(&heap, 4, 4).Write(unsorted).ok());
  Bytes duplicate = Records(2, 0);
  EXPECT_FALSE(BthWriter(&heap, 4, 4).Write(duplicate).ok());
}

}  // namespace
}  // namespace pst::ltp
