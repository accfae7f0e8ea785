#include "pst/ltp/table_context.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

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
using Column = TableContext::Column;

constexpr PropTag kRowId = 0x67F20003, kRowVer = 0x67F30003, kSize64 = 0x00140014,
                  kName = 0x3001001F, kBlob = 0x10000102, kShort = 0x00010002,
                  kFlag = 0x0E1B000B;

// Seven columns in the three size groups: 4/8-byte cells end at 24, 2-byte
// cells at 26, 1-byte cells at 27, then one bitmap byte: 28-byte rows.
std::vector<Column> StandardColumns() {
  return {{kShort, 24, 2, 6}, {kSize64, 8, 8, 2}, {kFlag, 26, 1, 4}, {kBlob, 20, 4, 5},
          {kName, 16, 4, 3},  {kRowId, 0, 4, 0},  {kRowVer, 4, 4, 1}};
}

struct RowSpec {
  uint32_t id = 0;
  uint64_t size64 = 0;
  uint32_t name = 0;  // HNID
  uint32_t blob = 0;  // HNID
  uint16_t small = 0;
  uint8_t flag = 0;
  uint8_t ceb = 0xFE;  // all seven cells exist
};

Bytes Row(const RowSpec& r) {
  Bytes b;
  Put32(b, r.id);
  Put32(b, r.id + 2);
  Put32(b, static_cast<uint32_t>(r.size64));
  Put32(b, static_cast<uint32_t>(r.size64 >> 32));
  Put32(b, r.name);
  Put32(b, r.blob);
  Put16(b, r.small);
  b.push_back(r.flag);
  b.push_back(r.ceb);
  return b;
}

Bytes Utf16(const std::string& ascii) {
  Bytes b;
  for (char c : ascii) Put16(b, static_cast<uint8_t>(c));
  return b;
}

struct TcSpec {
  std::vector<Column> columns = StandardColumns();
  int column_count = -1;  // cCols when it should differ from columns.size()
  uint16_t rgib[4] = {24, 26, 27, 28};
  uint8_t type = 0x7C;
  uint8_t index_key = 4, index_entry = 4;
  size_t matrix_block = 0;  // 0: matrix in a heap item; else subnode blocks of this size
  bool pad_blocks = true;   // non-last matrix blocks padded to matrix_block
  // Adds value items and subnodes, returns the rows.
  std::function<std::vector<Bytes>(HeapBuilder&, MemoryNode&)> rows;
  // Edits the RowIndex records (row id -> row number) before they are written.
  std::function<void(std::vector<std::pair<uint32_t, uint32_t>>&)> edit_index;
  // Edits the finished matrix blocks (subnode matrices only).
  std::function<void(std::vector<Bytes>&)> edit_blocks;
};

std::unique_ptr<MemoryNode> BuildTc(const TcSpec& layout) {
  HeapBuilder b(kHeapClientTable);
  auto node = std::make_unique<MemoryNode>(0x802D);
  std::vector<Bytes> rows = layout.rows ? layout.rows(b, *node) : std::vector<Bytes>{};

  std::vector<std::pair<uint32_t, uint32_t>> index;
  for (uint32_t i = 0; i < rows.size(); ++i) index.push_back({DecodeFixed32(rows[i].data()), i});
  std::sort(index.begin(), index.end());
  if (layout.edit_index) layout.edit_index(index);
  Bytes records;
  for (auto [id, row] : index) {
    Put32(records, id);
    if (layout.index_entry == 2) Put16(records, static_cast<uint16_t>(row));
    else Put32(records, row);
  }
  Hid index_root = index.empty() ? 0 : b.Add(records);
  Hid index_header = b.Add(BthHeader(layout.index_key, layout.index_entry, 0, index_root));

  uint32_t hnid_rows = 0;
  if (!rows.empty() && layout.matrix_block == 0) {
    Bytes matrix;
    for (const Bytes& r : rows) matrix.insert(matrix.end(), r.begin(), r.end());
    hnid_rows = b.Add(matrix);
  } else if (!rows.empty()) {
    const size_t row_size = rows[0].size();
    const size_t per_block = layout.matrix_block / row_size;
    std::vector<Bytes> blocks;
    for (size_t i = 0; i < rows.size(); ++i) {
      if (i % per_block == 0) {
        if (!blocks.empty() && layout.pad_blocks) blocks.back().resize(layout.matrix_block, 0);
        blocks.emplace_back();
      }
      blocks.back().insert(blocks.back().end(), rows[i].begin(), rows[i].end());
    }
    if (layout.edit_blocks) layout.edit_blocks(blocks);
    node->AddSubnode(0x3F, blocks);
    hnid_rows = 0x3F;
  }

  Bytes info{layout.type, static_cast<uint8_t>(layout.column_count >= 0 ? layout.column_count
                                                                    : layout.columns.size())};
  for (uint16_t ib : layout.rgib) Put16(info, ib);
  Put32(info, index_header);
  Put32(info, hnid_rows);
  Put32(info, 0);
  for (const Column& c : layout.columns) {
    Put32(info, c.tag);
    Put16(info, c.offset);
    info.push_back(c.size);
    info.push_back(c.bit);
  }
  b.set_user_root(b.Add(info));
  node->blocks() = b.Build();
  return node;
}

TEST(TableContextTest, ReadsCellsOfRowsInAHeapItem) {
  Bytes long_blob(5000, 0x5A);
  TcSpec layout;
  layout.rows = [&](HeapBuilder& b, MemoryNode& node) {
    node.AddSubnode(0x21F, {long_blob});
    RowSpec a{.id = 0x8042, .size64 = 0x1122334455667788, .name = b.Add(Utf16("Inbox")),
              .blob = 0x21F, .small = 7, .flag = 1};
    RowSpec c{.id = 0x8022, .name = 0, .blob = b.Add(Bytes{9, 9}), .small = 1};
    RowSpec d{.id = 0x8062, .name = b.Add(Utf16("gone")), .ceb = 0xC0};  // only id and version
    return std::vector<Bytes>{Row(a), Row(c), Row(d)};
  };
  auto tc = TableContext::Open(BuildTc(layout));
  ASSERT_OK(tc);
  ASSERT_EQ(tc->row_count(), 3u);
  EXPECT_EQ(tc->row_size(), 28u);
  EXPECT_EQ(tc->columns().size(), 7u);
  EXPECT_EQ(*tc->RowId(0), 0x8042u);
  EXPECT_EQ(*tc->RowId(2), 0x8062u);

  const Column* name = tc->FindColumn(kName);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(tc->FindColumn(0x12340003), nullptr);
  EXPECT_EQ(**tc->ReadCell(0, *name), Utf16("Inbox"));
  EXPECT_EQ(**tc->ReadCell(1, *name), Bytes());    // hnid 0: empty string
  EXPECT_FALSE(tc->ReadCell(2, *name)->has_value());  // bit clear: no cell
  EXPECT_EQ(**tc->ReadCell(0, *tc->FindColumn(kBlob)), long_blob);  // from a subnode
  EXPECT_EQ(**tc->ReadCell(0, *tc->FindColumn(kSize64)),
            (Bytes{0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ(**tc->ReadCell(0, *tc->FindColumn(kShort)), (Bytes{7, 0}));
  EXPECT_EQ(**tc->ReadCell(0, *tc->FindColumn(kFlag)), Bytes{1});

  auto row = tc->ReadRow(2);
  ASSERT_OK(row);
  ASSERT_EQ(row->size(), 2u);
  EXPECT_EQ(tc->ReadRow(0)->size(), 7u);

  EXPECT_EQ(**tc->FindRow(0x8022), 1u);
  EXPECT_EQ(**tc->FindRow(0x8062), 2u);
  EXPECT_FALSE(tc->FindRow(0x8023)->has_value());
  EXPECT_EQ(tc->RowId(3).status().code(), Status::Code::kInvalidArgument);
}

TEST(TableContextTest, EmptyTable) {
  auto tc = TableContext::Open(BuildTc(TcSpec{}));
  ASSERT_OK(tc);
  EXPECT_EQ(tc->row_count(), 0u);
  EXPECT_FALSE(tc->FindRow(1)->has_value());
  EXPECT_FALSE(tc->ReadRow(0).ok());
}

// Rows in a subnode: every block but the last holds floor(block / row) rows,
// for the Unicode (8176) and the ANSI (8180) block size, padded or not.
TEST(TableContextTest, ReadsRowsSpreadOverMatrixBlocks) {
  for (size_t block : {size_t{8176}, size_t{8180}}) {
    for (bool pad : {true, false}) {
      TcSpec layout;
      layout.matrix_block = block;
      layout.pad_blocks = pad;
      layout.index_entry = block == 8180 ? 2 : 4;
      layout.rows = [](HeapBuilder& b, MemoryNode&) {
        std::vector<Bytes> rows;
        const Hid name = b.Add(Utf16("same"));
        for (uint32_t i = 0; i < 700; ++i) {
          rows.push_back(Row({.id = 0x10000 + 3 * (699 - i), .name = name, .small = uint16_t(i)}));
        }
        return rows;
      };
      auto tc = TableContext::Open(BuildTc(layout));
      ASSERT_OK(tc);
      ASSERT_EQ(tc->row_count(), 700u);
      const Column* small = tc->FindColumn(kShort);
      for (size_t i = 0; i < 700; ++i) {
        const uint32_t id = 0x10000 + 3 * (699 - static_cast<uint32_t>(i));
        ASSERT_EQ(*tc->RowId(i), id) << i;
        ASSERT_EQ(**tc->FindRow(id), i);
        ASSERT_EQ(DecodeFixed16((*tc->ReadCell(i, *small))->data()), i);
      }
      EXPECT_EQ(**tc->ReadCell(699, *tc->FindColumn(kName)), Utf16("same"));
    }
  }
}

Status OpenStatus(const TcSpec& layout) { return TableContext::Open(BuildTc(layout)).status(); }

std::vector<Bytes> TwoRows(HeapBuilder&, MemoryNode&) {
  return {Row({.id = 1}), Row({.id = 2})};
}

TEST(TableContextTest, RejectsBrokenTableInfo) {
  TcSpec good;
  good.rows = TwoRows;
  ASSERT_OK(OpenStatus(good));

  auto expect_corrupt = [&](std::function<void(TcSpec&)> edit, const char* what) {
    TcSpec layout = good;
    edit(layout);
    Status s = OpenStatus(layout);
    EXPECT_TRUE(s.IsCorruption()) << what << ": " << s.ToString();
  };
  expect_corrupt([](TcSpec& s) { s.type = 0xBC; }, "TCINFO type");
  expect_corrupt([](TcSpec& s) { s.column_count = 9; }, "more columns than descriptors");
  expect_corrupt([](TcSpec& s) { s.column_count = 255; }, "huge column count");
  expect_corrupt([](TcSpec& s) { s.rgib[1] = 23; }, "offsets out of order");
  expect_corrupt([](TcSpec& s) { s.rgib[2] = 28; }, "no room for the bitmap");
  expect_corrupt([](TcSpec& s) { s.columns[0].offset = 26; }, "2-byte cell over the bitmap");
  expect_corrupt([](TcSpec& s) { s.columns[1].offset = 0xFFFF; }, "cell far past the row");
  expect_corrupt([](TcSpec& s) { s.columns[2].bit = 7; }, "bit past the column count");
  expect_corrupt([](TcSpec& s) { s.columns[3].bit = 0; }, "two columns on one bit");
  expect_corrupt([](TcSpec& s) { s.columns[5].size = 2; }, "Integer32 in 2 bytes");
  expect_corrupt([](TcSpec& s) { s.columns[4].size = 8; }, "string cell of 8 bytes");
  expect_corrupt([](TcSpec& s) { s.columns[1].size = 3; }, "cell of 3 bytes");
  expect_corrupt([](TcSpec& s) { s.rgib[0] = 2, s.rgib[1] = 2, s.rgib[2] = 2, s.rgib[3] = 3;
                                 s.columns = {{kRowId, 0, 1, 0}}; }, "rows too small for an id");
}

TEST(TableContextTest, RejectsBrokenRowIndex) {
  TcSpec good;
  good.rows = TwoRows;
  auto expect_corrupt = [&](std::function<void(TcSpec&)> edit, const char* what) {
    TcSpec layout = good;
    edit(layout);
    Status s = OpenStatus(layout);
    EXPECT_TRUE(s.IsCorruption()) << what << ": " << s.ToString();
  };
  expect_corrupt([](TcSpec& s) { s.index_key = 8; }, "8-byte row ids");
  expect_corrupt([](TcSpec& s) { s.index_entry = 8; }, "8-byte row numbers");
  expect_corrupt([](TcSpec& s) { s.edit_index = [](auto& x) { x[1].second = 2; }; },
                 "row number past the matrix");
  expect_corrupt([](TcSpec& s) { s.edit_index = [](auto& x) { x.pop_back(); }; },
                 "fewer index records than rows");
  expect_corrupt([](TcSpec& s) { s.edit_index = [](auto& x) { x.push_back({9, 0}); }; },
                 "more index records than rows");
  expect_corrupt([](TcSpec& s) { s.rows = nullptr; s.edit_index = [](auto& x) { x = {{1, 0}}; }; },
                 "index records without a matrix");
  expect_corrupt([](TcSpec& s) { s.edit_index = [](auto& x) { x[1].second = 0; }; },
                 "one row named twice");

  // Records that swap two rows are found when a lookup lands on a row
  // holding another id.
  TcSpec swapped = good;
  swapped.edit_index = [](auto& x) { std::swap(x[0].second, x[1].second); };
  auto tc = TableContext::Open(BuildTc(swapped));
  ASSERT_OK(tc);
  EXPECT_TRUE(tc->FindRow(1).status().IsCorruption());
  EXPECT_TRUE(tc->FindRow(2).status().IsCorruption());
  EXPECT_FALSE(tc->FindRow(3)->has_value());
}

TEST(TableContextTest, RejectsBrokenRowMatrix) {
  TcSpec ragged;
  ragged.rows = [](HeapBuilder&, MemoryNode&) {
    Bytes r = Row({.id = 1});
    r.pop_back();
    return std::vector<Bytes>{r};
  };
  ragged.edit_index = [](auto& x) { x = {{1, 0}}; };
  EXPECT_TRUE(OpenStatus(ragged).IsCorruption());

  // Subnode matrices: a missing subnode, a ragged or overfull last block, a
  // short middle block (found when its rows are read).
  TcSpec layout;
  layout.matrix_block = 8176;
  layout.rows = [](HeapBuilder&, MemoryNode&) {
    std::vector<Bytes> rows;
    for (uint32_t i = 0; i < 700; ++i) rows.push_back(Row({.id = i + 1}));
    return rows;
  };
  ASSERT_OK(OpenStatus(layout));

  TcSpec missing = layout;
  missing.edit_blocks = [](std::vector<Bytes>& blocks) { blocks.clear(); };
  // No blocks: zero rows, so the 700 index records are wrong.
  EXPECT_TRUE(OpenStatus(missing).IsCorruption());

  TcSpec ragged_last = layout;
  ragged_last.edit_blocks = [](std::vector<Bytes>& blocks) { blocks.back().push_back(0); };
  EXPECT_TRUE(OpenStatus(ragged_last).IsCorruption());

  TcSpec overfull = layout;
  overfull.edit_blocks = [](std::vector<Bytes>& blocks) { blocks.back().resize(8176 + 28); };
  EXPECT_TRUE(OpenStatus(overfull).IsCorruption());

  TcSpec tiny_first = layout;
  tiny_first.edit_blocks = [](std::vector<Bytes>& blocks) { blocks.front().resize(20); };
  EXPECT_TRUE(OpenStatus(tiny_first).IsCorruption());

  TcSpec short_middle = layout;
  short_middle.edit_blocks = [](std::vector<Bytes>& blocks) { blocks[1].resize(28 * 10); };
  auto tc = TableContext::Open(BuildTc(short_middle));
  ASSERT_OK(tc);
  EXPECT_OK(tc->RowId(291));
  EXPECT_OK(tc->RowId(292 + 9));
  EXPECT_TRUE(tc->RowId(292 + 10).status().IsCorruption());
  EXPECT_TRUE(tc->ReadRow(583).status().IsCorruption());
}

TEST(TableContextTest, RejectsBrokenCells) {
  TcSpec layout;
  layout.rows = [](HeapBuilder& b, MemoryNode&) {
    return std::vector<Bytes>{
        Row({.id = 1, .name = b.Add(Bytes(3, 'x'))}),  // odd UTF-16 size
        Row({.id = 2, .name = MakeHid(0, 60)}),        // no such item
        Row({.id = 3, .name = 0x4001F}),               // no such subnode
        Row({.id = 4, .blob = 0x8021})};               // a folder NID, not a value
  };
  auto tc = TableContext::Open(BuildTc(layout));
  ASSERT_OK(tc);
  const Column& name = *tc->FindColumn(kName);
  for (size_t row = 0; row < 3; ++row) {
    Status s = tc->ReadCell(row, name).status();
    EXPECT_TRUE(s.IsCorruption()) << row << ": " << s.ToString();
    EXPECT_TRUE(tc->ReadRow(row).status().IsCorruption());
  }
  EXPECT_TRUE(tc->ReadCell(3, *tc->FindColumn(kBlob)).status().IsCorruption());
  // A caller's column that lies outside the row is refused, not read.
  EXPECT_FALSE(tc->ReadCell(0, Column{kRowId, 26, 4, 0}).ok());
  EXPECT_FALSE(tc->ReadCell(0, Column{kRowId, 0, 4, 200}).ok());
}

}  // namespace
}  // namespace pst::ltp
