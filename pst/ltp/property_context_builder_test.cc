#include "pst/ltp/property_context_builder.h"

#include <gtest/gtest.h>

#include "pst/base/coding.h"
#include "pst/ltp/heap.h"
#include "pst/ltp/property_context.h"
#include "pst/ltp/testing/memory_block_writer.h"
#include "pst/testing/status_matchers.h"

namespace pst::ltp {
namespace {

using testing::MemoryBlockWriter;

Bytes Pattern(size_t n, uint8_t seed = 1) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13 + i / 251);
  return b;
}

Bytes Le(uint64_t v, size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n && i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
  return b;
}

// A variable multi-valued value: count, offsets, items.
Bytes MultiValue(const std::vector<Bytes>& items) {
  Bytes out = Le(items.size(), 4);
  uint32_t at = static_cast<uint32_t>(4 + 4 * items.size());
  for (const Bytes& item : items) {
    Bytes off = Le(at, 4);
    out.insert(out.end(), off.begin(), off.end());
    at += static_cast<uint32_t>(item.size());
  }
  for (const Bytes& item : items) out.insert(out.end(), item.begin(), item.end());
  return out;
}

class PropertyContextBuilderTest : public ::testing::TestWithParam<ndb::Format> {
 protected:
  PropertyContextBuilderTest() : writer_(GetParam()) {}

  Result<PropertyContext> WriteAndOpen(PropertyContextBuilder& b, ndb::Nid nid = 0x21) {
    PST_ASSIGN_OR_RETURN(WrittenNode node, b.Write(writer_));
    written_ = node;
    return PropertyContext::Open(writer_.Open(nid, node.data_bid, node.subnode_bid));
  }
  // The raw dwValueHnid of a property.
  static uint32_t HnidOf(const PropertyContext& pc, uint16_t id) {
    const PropertyContext::Entry* e = pc.Find(id);
    return e ? e->hnid : 0xFFFFFFFF;
  }

  MemoryBlockWriter writer_;
  WrittenNode written_;
};

TEST_P(PropertyContextBuilderTest, EveryTypeRoundTrips) {
  const std::vector<PropValue> values = {
      {MakeTag(0x0002, kPtypInteger16), Le(0xBEEF, 2)},
      {MakeTag(0x0003, kPtypInteger32), Le(0x89ABCDEF, 4)},
      {MakeTag(0x0004, kPtypFloating32), Le(0x3F800000, 4)},
      {MakeTag(0x0005, kPtypFloating64), Le(0x3FF0000000000000, 8)},
      {MakeTag(0x0006, kPtypCurrency), Le(0x123456789, 8)},
      {MakeTag(0x0007, kPtypFloatingTime), Le(0x40E5000000000000, 8)},
      {MakeTag(0x000A, kPtypErrorCode), Le(0x80004005, 4)},
      {MakeTag(0x000B, kPtypBoolean), Bytes{1}},
      {MakeTag(0x000C, kPtypBoolean), Bytes{0}},
      {MakeTag(0x0014, kPtypInteger64), Le(0xFEDCBA9876543210, 8)},
      {MakeTag(0x001E, kPtypString8), Bytes{'a', 'b', 'c'}},
      {MakeTag(0x001F, kPtypString), Bytes{'x', 0, 0xAC, 0x20}},
      {MakeTag(0x0040, kPtypTime), Le(0x01D5000000000000, 8)},
      {MakeTag(0x0048, kPtypGuid), Pattern(16)},
      {MakeTag(0x00FB, kPtypServerId), Pattern(21)},
      {MakeTag(0x00FD, kPtypRestriction), Pattern(30)},
      {MakeTag(0x00FE, kPtypRuleAction), Pattern(9)},
      {MakeTag(0x0102, kPtypBinary), Pattern(77)},
      {MakeTag(0x1002, kPtypMultipleInteger16), Pattern(6)},
      {MakeTag(0x1003, kPtypMultipleInteger32), Pattern(12)},
      {MakeTag(0x1004, kPtypMultipleFloating32), Pattern(8)},
      {MakeTag(0x1005, kPtypMultipleFloating64), Pattern(16)},
      {MakeTag(0x1006, kPtypMultipleCurrency), Pattern(24)},
      {MakeTag(0x1007, kPtypMultipleFloatingTime), Pattern(8)},
      {MakeTag(0x1014, kPtypMultipleInteger64), Pattern(32)},
      {MakeTag(0x101E, kPtypMultipleString8), MultiValue({{'o', 'n', 'e'}, {}, {'3'}})},
      {MakeTag(0x101F, kPtypMultipleString), MultiValue({{'a', 0}, {'b', 0, 'c', 0}})},
      {MakeTag(0x1040, kPtypMultipleTime), Pattern(16)},
      {MakeTag(0x1048, kPtypMultipleGuid), Pattern(48)},
      {MakeTag(0x1102, kPtypMultipleBinary), MultiValue({Pattern(5), Pattern(2000), {}})},
      {MakeTag(0x3001, kPtypString), Bytes()},  // empty
  };
  PropertyContextBuilder b(GetParam());
  for (const PropValue& v : values) ASSERT_OK(b.Set(v.tag, v.data)) << std::hex << v.tag;
  auto pc = WriteAndOpen(b);
  ASSERT_OK(pc);
  auto all = pc->ReadAll();
  ASSERT_OK(all);
  ASSERT_EQ(all->size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ((*all)[i].tag, values[i].tag);
    EXPECT_EQ((*all)[i].data, values[i].data) << std::hex << values[i].tag;
  }
  // Values of up to 4 bytes are inline, the rest in the heap; empty = 0.
  EXPECT_EQ(HnidOf(*pc, 0x0003), 0x89ABCDEFu);
  EXPECT_EQ(HnidOf(*pc, 0x0002), 0xBEEFu);
  EXPECT_EQ(HnidOf(*pc, 0x000B), 1u);
  EXPECT_TRUE(IsHid(HnidOf(*pc, 0x0014)));
  EXPECT_EQ(HnidOf(*pc, 0x3001), 0u);
  // The 2 KB item of the multi-valued binary went to a subnode.
  EXPECT_FALSE(IsHid(HnidOf(*pc, 0x1102)));
  // Outlook's heap order: BTH header first, then the records.
  Bytes first_page = writer_.DataBlocks(written_.data_bid)[0];
  EXPECT_EQ(DecodeFixed32(first_page.data() + 4), 0x20u);
  EXPECT_EQ(first_page[3], kHeapClientProperties);
}

TEST_P(PropertyContextBuilderTest, ValuesAroundThePlacementLimits) {
  const size_t sizes[] = {0,    1,    1023, 1024, 1025, 3579, 3580, 3581,
                          8175, 8176, 8177, 8180, 8181, 16352, 100000};
  for (size_t limit : {kOutlookHeapValueLimit, HeapWriter::kMaxItemSize}) {
    PropertyContextBuilder b(GetParam());
    b.set_heap_value_limit(limit);
    for (size_t i = 0; i < std::size(sizes); ++i) {
      ASSERT_OK(b.Set(MakeTag(static_cast<uint16_t>(0x6000 + i), kPtypBinary),
                      Pattern(sizes[i], static_cast<uint8_t>(i))));
    }
    auto pc = WriteAndOpen(b);
    ASSERT_OK(pc);
    for (size_t i = 0; i < std::size(sizes); ++i) {
      const uint16_t id = static_cast<uint16_t>(0x6000 + i);
      const uint32_t hnid = HnidOf(*pc, id);
      if (sizes[i] == 0) {
        EXPECT_EQ(hnid, 0u);
      } else {
        EXPECT_EQ(IsHid(hnid), sizes[i] <= limit) << sizes[i] << " bytes, limit " << limit;
      }
      auto value = pc->ReadValue(*pc->Find(id));
      ASSERT_OK(value);
      EXPECT_EQ(*value, Pattern(sizes[i], static_cast<uint8_t>(i))) << sizes[i];
    }
  }
}

TEST_P(PropertyContextBuilderTest, StreamsLargeValuesIntoSubnodes) {
  const size_t size = 300000;
  size_t pulled = 0, largest_pull = 0;
  ndb::StreamSource source = [&](uint64_t offset, std::span<uint8_t> out) {
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>((offset + i) % 251);
    pulled += out.size();
    largest_pull = std::max(largest_pull, out.size());
    return Status::Ok();
  };
  PropertyContextBuilder b(GetParam());
  ASSERT_OK(b.SetStream(MakeTag(0x1000, kPtypString8), size, source));
  ASSERT_OK(b.SetStream(MakeTag(0x1001, kPtypBinary), 100, source));  // small: heap
  auto pc = WriteAndOpen(b);
  ASSERT_OK(pc);
  EXPECT_EQ(pulled, size + 100);
  EXPECT_LE(largest_pull, 8180u);  // a block at a time
  EXPECT_FALSE(IsHid(HnidOf(*pc, 0x1000)));
  EXPECT_TRUE(IsHid(HnidOf(*pc, 0x1001)));
  auto stream = pc->OpenValue(*pc->Find(0x1000));
  ASSERT_OK(stream);
  ASSERT_EQ((*stream)->size(), size);
  Bytes tail(1000);
  ASSERT_OK((*stream)->Read(size - 1000, tail));
  for (size_t i = 0; i < tail.size(); ++i) ASSERT_EQ(tail[i], (size - 1000 + i) % 251);
}

TEST_P(PropertyContextBuilderTest, ManyPropertiesNeedIndexLevelsAndPages) {
  // 600 records (4,800 bytes) do not fit one heap item; 600 values of 300
  // bytes (180 KB) would fill 23 heap pages, but the heap takes values only
  // up to its budget and the rest go to subnodes (libpff misreads property
  // contexts of nine pages or more).
  PropertyContextBuilder b(GetParam());
  for (uint16_t i = 0; i < 600; ++i) {
    ASSERT_OK(b.Set(MakeTag(0x8000 + i, kPtypBinary), Pattern(300, static_cast<uint8_t>(i))));
  }
  auto pc = WriteAndOpen(b);
  ASSERT_OK(pc);
  ASSERT_EQ(pc->entries().size(), 600u);
  const size_t pages = writer_.DataBlocks(written_.data_bid).size();
  EXPECT_GT(pages, 1u);
  EXPECT_LT(pages, 8u);
  EXPECT_EQ(pc->Find(0x8000)->hnid & 0x1F, 0u);      // in the heap
  EXPECT_NE(pc->Find(0x8000 + 599)->hnid & 0x1F, 0u);  // a subnode
  for (uint16_t i = 0; i < 600; i += 37) {
    EXPECT_EQ(*pc->ReadValue(*pc->Find(0x8000 + i)), Pattern(300, static_cast<uint8_t>(i)));
  }
}

TEST_P(PropertyContextBuilderTest, CarriesSubnodesTheCallerAdds) {
  // An "embedded object" subnode written by the caller, named by a PtypObject.
  auto data = writer_.WriteData(Pattern(500));
  ASSERT_OK(data);
  PropertyContextBuilder b(GetParam());
  const ndb::Nid object_nid = 0x200044;
  Bytes object = Le(object_nid, 4);
  Bytes size = Le(500, 4);
  object.insert(object.end(), size.begin(), size.end());
  ASSERT_OK(b.Set(MakeTag(0x3701, kPtypObject), object));
  ASSERT_OK(b.AddSubnode({object_nid, *data, 0}));
  EXPECT_FALSE(b.AddSubnode({object_nid, *data, 0}).ok());  // twice
  EXPECT_FALSE(b.AddSubnode({0x100, *data, 0}).ok());       // a HID, not a NID
  ASSERT_OK(b.Set(MakeTag(0x1000, kPtypBinary), Pattern(5000)));  // own subnode
  auto pc = WriteAndOpen(b, 0x200024);
  ASSERT_OK(pc);
  EXPECT_EQ(*pc->ReadValue(*pc->Find(0x3701)), object);
  auto sub = pc->node().OpenSubnode(object_nid);
  ASSERT_OK(sub);
  Bytes read(500);
  ASSERT_OK((*sub)->Read(0, read));
  EXPECT_EQ(read, Pattern(500));
  size_t subnodes = 0;
  ASSERT_OK(pc->node().ForEachSubnode([&](ndb::Nid) { ++subnodes; return Status::Ok(); }));
  EXPECT_EQ(subnodes, 2u);

  // An object naming a subnode nobody added is refused.
  PropertyContextBuilder lost(GetParam());
  ASSERT_OK(lost.Set(MakeTag(0x3701, kPtypObject), object));
  EXPECT_FALSE(lost.Write(writer_).ok());
}

TEST_P(PropertyContextBuilderTest, RejectsValuesThatDoNotFitTheirType) {
  PropertyContextBuilder b(GetParam());
  EXPECT_FALSE(b.Set(MakeTag(1, kPtypInteger32), Bytes(3)).ok());
  EXPECT_FALSE(b.Set(MakeTag(1, kPtypBoolean), Bytes(4)).ok());
  EXPECT_FALSE(b.Set(MakeTag(1, kPtypTime), Bytes(4)).ok());
  EXPECT_FALSE(b.Set(MakeTag(1, kPtypGuid), Bytes(15)).ok());
  EXPECT_FALSE(b.Set(MakeTag(1, kPtypString), Bytes(3)).ok());
  EXPECT_FALSE(b.Set(MakeTag(1, kPtypObject), Bytes(4)).ok());
  EXPECT_FALSE(b.Set(MakeTag(1, kPtypMultipleInteger32), Bytes(6)).ok());
  EXPECT_FALSE(b.Set(MakeTag(1, kPtypMultipleBinary), Le(5, 4)).ok());  // count without offsets
  Bytes backwards = MultiValue({{'a', 'b'}, {'c'}});
  EncodeFixed32(backwards.data() + 8, 100);  // second item starts past the end
  EXPECT_FALSE(b.Set(MakeTag(1, kPtypMultipleString8), backwards).ok());
  EXPECT_FALSE(b.Set(MakeTag(1, 0x0099), Bytes(4)).ok());
  EXPECT_FALSE(b.Set(MakeTag(1, kPtypNull), Bytes()).ok());
  auto source = [](uint64_t, std::span<uint8_t>) { return Status::Ok(); };
  EXPECT_FALSE(b.SetStream(MakeTag(1, kPtypInteger64), 8, source).ok());
  EXPECT_FALSE(b.SetStream(MakeTag(1, kPtypString), 7, source).ok());
  EXPECT_FALSE(b.SetStream(MakeTag(1, kPtypBinary), 7, nullptr).ok());
  EXPECT_EQ(b.size(), 0u);

  PropertyContextBuilder other_format(GetParam() == ndb::Format::kAnsi ? ndb::Format::kUnicode
                                                                       : ndb::Format::kAnsi);
  EXPECT_FALSE(other_format.Write(writer_).ok());
}

TEST_P(PropertyContextBuilderTest, FailedWritesGiveBackEveryBlock) {
  auto extra = writer_.WriteData(Pattern(100));
  ASSERT_OK(extra);
  const size_t before = writer_.live_blocks();
  for (int fail_at = 1; fail_at <= 4; ++fail_at) {
    PropertyContextBuilder b(GetParam());
    ASSERT_OK(b.Set(MakeTag(0x1000, kPtypBinary), Pattern(20000)));
    ASSERT_OK(b.Set(MakeTag(0x1001, kPtypBinary), Pattern(9000)));
    ASSERT_OK(b.AddSubnode({0x8025, *extra, 0}));
    writer_.FailWrite(fail_at);  // 2 value subnodes, the heap, the subnode tree
    EXPECT_FALSE(b.Write(writer_).ok());
    EXPECT_EQ(writer_.live_blocks(), before) << "after failing write " << fail_at;
    EXPECT_EQ(writer_.refs(*extra), 1) << "the caller's subnode is still the caller's";
  }
  writer_.FailWrite(0);
  auto failing = [](uint64_t, std::span<uint8_t>) { return Status::IOError("source broke"); };
  PropertyContextBuilder b(GetParam());
  ASSERT_OK(b.Set(MakeTag(0x1000, kPtypBinary), Pattern(20000)));
  ASSERT_OK(b.SetStream(MakeTag(0x1001, kPtypBinary), 50000, failing));
  const size_t live = writer_.live_blocks();
  EXPECT_FALSE(b.Write(writer_).ok());
  EXPECT_EQ(writer_.live_blocks(), live);
}

TEST_P(PropertyContextBuilderTest, UpdatesAnExistingContext) {
  PropertyContextBuilder b(GetParam());
  ASSERT_OK(b.Set(MakeTag(0x3001, kPtypString8), Bytes{'o', 'l', 'd'}));
  ASSERT_OK(b.Set(MakeTag(0x3602, kPtypInteger32), Le(7, 4)));
  ASSERT_OK(b.Set(MakeTag(0x1000, kPtypBinary), Pattern(200000)));
  auto old = WriteAndOpen(b);
  ASSERT_OK(old);

  auto update = PropertyContextBuilder::FromExisting(GetParam(), *old);
  ASSERT_OK(update);
  EXPECT_EQ(*update->Find(0x3602), Le(7, 4));
  EXPECT_EQ(update->Find(0x1000), nullptr);  // large: streamed from the old node
  ASSERT_OK(update->Set(MakeTag(0x3602, kPtypInteger32), Le(8, 4)));
  EXPECT_TRUE(update->Remove(0x3001));
  EXPECT_FALSE(update->Remove(0x3001));
  auto fresh = WriteAndOpen(*update);
  ASSERT_OK(fresh);
  ASSERT_EQ(fresh->entries().size(), 2u);
  EXPECT_EQ(*fresh->ReadValue(*fresh->Find(0x3602)), Le(8, 4));
  EXPECT_EQ(*fresh->ReadValue(*fresh->Find(0x1000)), Pattern(200000));
}

INSTANTIATE_TEST_SUITE_P(Formats, PropertyContextBuilderTest,
                         ::testing::Values(ndb::Format::kAnsi, ndb::Format::kUnicode),
                         [](const auto& info) {
                           return info.param == ndb::Format::kAnsi ? "Ansi" : "Unicode";
                         });

}  // namespace
}  // namespace pst::ltp
