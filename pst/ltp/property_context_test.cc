#include "pst/ltp/property_context.h"

#include <gtest/gtest.h>

#include <map>

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

Bytes Utf16(const std::string& ascii) {
  Bytes b;
  for (char c : ascii) Put16(b, static_cast<uint8_t>(c));
  return b;
}

// Variable multi-valued layout: count, offsets, items.
Bytes MultiValue(const std::vector<Bytes>& items) {
  Bytes b;
  Put32(b, static_cast<uint32_t>(items.size()));
  uint32_t offset = 4 + 4 * static_cast<uint32_t>(items.size());
  for (const Bytes& item : items) {
    Put32(b, offset);
    offset += static_cast<uint32_t>(item.size());
  }
  for (const Bytes& item : items) b.insert(b.end(), item.begin(), item.end());
  return b;
}

// Builds a PC node from (id, type) -> stored value. Values of fixed types
// up to 4 bytes go inline, `in_subnode` ids to subnodes of 3000-byte blocks,
// empty values to hnid 0, the rest to heap items.
struct PcSpec {
  std::map<uint16_t, std::pair<uint16_t, Bytes>> props;
  std::map<uint16_t, ndb::Nid> in_subnode;
  std::map<uint16_t, uint32_t> raw_hnid;  // overrides, for broken cases
  uint8_t client = kHeapClientProperties;
  uint8_t key_size = 2, entry_size = 6;
};

std::unique_ptr<MemoryNode> BuildPc(const PcSpec& layout) {
  HeapBuilder b(layout.client);
  auto node = std::make_unique<MemoryNode>(0x200024);
  Bytes records;
  for (const auto& [id, tv] : layout.props) {
    const auto& [type, value] = tv;
    uint32_t hnid = 0;
    if (auto sub = layout.in_subnode.find(id); sub != layout.in_subnode.end()) {
      std::vector<Bytes> blocks;
      for (size_t off = 0; off < value.size(); off += 3000) {
        blocks.emplace_back(value.begin() + off,
                            value.begin() + std::min(value.size(), off + 3000));
      }
      node->AddSubnode(sub->second, blocks);
      hnid = sub->second;
    } else if (FixedSizeOf(type) != 0 && FixedSizeOf(type) <= 4) {
      for (size_t i = 0; i < value.size(); ++i) hnid |= uint32_t{value[i]} << (8 * i);
    } else if (!value.empty()) {
      hnid = b.Add(value);
    }
    if (auto raw = layout.raw_hnid.find(id); raw != layout.raw_hnid.end()) hnid = raw->second;
    Put16(records, id);
    Put16(records, type);
    Put32(records, hnid);
  }
  Hid leaf = layout.props.empty() ? 0 : b.Add(records);
  b.set_user_root(b.Add(BthHeader(layout.key_size, layout.entry_size, 0, leaf)));
  node->blocks() = b.Build();
  return node;
}

Bytes Le(uint64_t v, size_t n) {
  Bytes b;
  for (size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return b;
}
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(PropertyContextTest, ReadsEveryKindOfValue) {
  Bytes big(20000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  PcSpec layout;
  layout.props = {
      {0x0001, {kPtypInteger16, Le(0xBEEF, 2)}},
      {0x0E07, {kPtypInteger32, Le(0x12345678, 4)}},
      {0x360A, {kPtypBoolean, Le(1, 1)}},
      {0x0E08, {kPtypFloating32, Le(0x3F800000, 4)}},
      {0x0014, {kPtypInteger64, Le(0x0102030405060708, 8)}},
      {0x3007, {kPtypTime, Le(0x01D0000000000000, 8)}},
      {0x0FF0, {kPtypGuid, Bytes(16, 0x47)}},
      {0x3001, {kPtypString, Utf16("Inbox")}},
      {0x3004, {kPtypString, Bytes()}},
      {0x0037, {kPtypString8, Bytes{'h', 'i'}}},
      {0x1000, {kPtypBinary, big}},
      {0x6805, {kPtypMultipleInteger32, Le(0x0000000200000001, 8)}},
      {0x8001, {kPtypMultipleString, MultiValue({Utf16("a"), Bytes(), Utf16("bcd")})}},
      {0x8002, {kPtypMultipleBinary, MultiValue({Bytes{1, 2, 3}})}},
      {0x3701, {kPtypObject, Le(0x0000100000000481, 8)}},
  };
  layout.in_subnode = {{0x1000, 0x401F}};
  auto pc = PropertyContext::Open(BuildPc(layout));
  ASSERT_OK(pc);
  ASSERT_EQ(pc->entries().size(), layout.props.size());
  for (size_t i = 1; i < pc->entries().size(); ++i) {
    EXPECT_LT(pc->entries()[i - 1].id, pc->entries()[i].id);
  }
  for (const auto& [id, tv] : layout.props) {
    const PropertyContext::Entry* e = pc->Find(id);
    ASSERT_NE(e, nullptr) << id;
    EXPECT_EQ(e->type, tv.first);
    auto value = pc->ReadValue(*e);
    ASSERT_OK(value);
    EXPECT_EQ(*value, tv.second) << std::hex << id;
    EXPECT_EQ(*pc->ValueSize(*e), tv.second.size()) << std::hex << id;
  }
  EXPECT_EQ(pc->Find(0x0002), nullptr);

  // Large values: refused whole beyond max_size, streamed in pieces.
  const auto* body = pc->Find(0x1000);
  EXPECT_EQ(pc->ReadValue(*body, 19999).status().code(), Status::Code::kNotSupported);
  auto stream = pc->OpenValue(*body);
  ASSERT_OK(stream);
  ASSERT_EQ((*stream)->size(), big.size());
  Bytes piece(5000);
  ASSERT_OK((*stream)->Read(2990, piece));
  EXPECT_TRUE(std::equal(piece.begin(), piece.end(), big.begin() + 2990));
  EXPECT_FALSE((*stream)->Read(16000, piece).ok());

  auto all = pc->ReadAll();
  ASSERT_OK(all);
  EXPECT_EQ(all->size(), layout.props.size());
  EXPECT_EQ((*all)[0].tag, MakeTag(0x0001, kPtypInteger16));
  EXPECT_EQ(pc->ReadAll(1000).status().code(), Status::Code::kNotSupported);
}

TEST(PropertyContextTest, EmptyContext) {
  auto pc = PropertyContext::Open(BuildPc(PcSpec{}));
  ASSERT_OK(pc);
  EXPECT_TRUE(pc->entries().empty());
  EXPECT_TRUE(pc->ReadAll()->empty());
}

TEST(PropertyContextTest, RejectsBrokenStructure) {
  PcSpec table;
  table.client = kHeapClientTable;
  EXPECT_TRUE(PropertyContext::Open(BuildPc(table)).status().IsCorruption());
  PcSpec wide;
  wide.key_size = 4;
  EXPECT_TRUE(PropertyContext::Open(BuildPc(wide)).status().IsCorruption());
  PcSpec narrow;
  narrow.entry_size = 4;
  EXPECT_TRUE(PropertyContext::Open(BuildPc(narrow)).status().IsCorruption());
  EXPECT_EQ(PropertyContext::Open(nullptr).status().code(), Status::Code::kInvalidArgument);
}

// One property stored as given; returns ReadValue's and OpenValue's status.
std::pair<Status, Status> ReadOne(uint16_t type, const Bytes& value,
                                  std::optional<uint32_t> raw_hnid = std::nullopt,
                                  bool in_subnode = false) {
  PcSpec layout;
  layout.props = {{0x4000, {type, value}}};
  if (raw_hnid) layout.raw_hnid[0x4000] = *raw_hnid;
  if (in_subnode) layout.in_subnode[0x4000] = 0x2001F;
  auto pc = PropertyContext::Open(BuildPc(layout));
  EXPECT_OK(pc);
  if (!pc.ok()) return {pc.status(), pc.status()};
  const auto& e = pc->entries()[0];
  return {pc->ReadValue(e).status(), pc->OpenValue(e).status()};
}

TEST(PropertyContextTest, ChecksValueSizesAgainstTypes) {
  struct Case {
    uint16_t type;
    Bytes value;
    const char* what;
  };
  const Case cases[] = {
      {kPtypInteger64, Bytes(4), "8-byte integer in 4 bytes"},
      {kPtypTime, Bytes(12), "time in 12 bytes"},
      {kPtypGuid, Bytes(8), "GUID in 8 bytes"},
      {kPtypString, Bytes(5), "UTF-16 string of odd size"},
      {kPtypObject, Bytes(6), "object item of 6 bytes"},
      {kPtypMultipleInteger64, Bytes(12), "MV int64 of 12 bytes"},
      {kPtypMultipleString, Bytes{1, 0}, "MV string without a count"},
      {kPtypMultipleBinary, Le(0xFFFFFFFF, 4), "MV count past the value"},
      {kPtypMultipleBinary, Le(0x0000000900000001, 8), "MV offset past the value"},
      {kPtypMultipleString, Le(0x0000000C00000002, 8) + Le(0, 4) + Bytes(4), "offsets falling"},
      {kPtypMultipleString, MultiValue({Bytes(3), Bytes(2)}), "odd UTF-16 item"},
      {kPtypMultipleString, MultiValue({Bytes(2), Bytes(3)}), "odd last UTF-16 item"},
  };
  for (const Case& c : cases) {
    auto [read, open] = ReadOne(c.type, c.value);
    EXPECT_TRUE(read.IsCorruption()) << c.what << ": " << read.ToString();
    EXPECT_TRUE(open.IsCorruption()) << c.what << ": " << open.ToString();
  }
  // The same checks hold for values streamed from a subnode.
  auto [read, open] = ReadOne(kPtypMultipleBinary, Le(0xFFFFFFFF, 4) + Bytes(5000), {}, true);
  EXPECT_TRUE(read.IsCorruption());
  EXPECT_TRUE(open.IsCorruption());
  // An 8-byte value with hnid 0 is missing, not empty.
  EXPECT_TRUE(ReadOne(kPtypInteger64, Bytes(8), 0).first.IsCorruption());
}

TEST(PropertyContextTest, RejectsBadValueReferences) {
  // A heap id beyond the page, and one with a bad item index.
  EXPECT_TRUE(ReadOne(kPtypBinary, Bytes(4), MakeHid(0, 100)).first.IsCorruption());
  EXPECT_TRUE(ReadOne(kPtypBinary, Bytes(4), MakeHid(3, 1)).first.IsCorruption());
  // A subnode the node does not have.
  auto [read, open] = ReadOne(kPtypBinary, Bytes(4), 0x9999F);
  EXPECT_TRUE(read.IsCorruption()) << read.ToString();
  EXPECT_TRUE(open.IsCorruption()) << open.ToString();
  // Types this engine cannot interpret are reported, not guessed at.
  EXPECT_EQ(ReadOne(0x0099, Bytes(4), 0x20).first.code(), Status::Code::kNotSupported);
  EXPECT_EQ(ReadOne(kPtypNull, Bytes(), 0).first.code(), Status::Code::kNotSupported);
}

}  // namespace
}  // namespace pst::ltp
