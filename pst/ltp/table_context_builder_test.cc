#include "pst/ltp/table_context_builder.h"

#include <gtest/gtest.h>

#include <map>

#include "pst/base/coding.h"
#include "pst/ltp/table_context.h"
#include "pst/ltp/testing/memory_block_writer.h"
#include "pst/ndb/header.h"
#include "pst/testing/status_matchers.h"

namespace pst::ltp {
namespace {

using testing::MemoryBlockWriter;
using Column = TableContext::Column;

constexpr uint16_t kS = kPtypString;

Bytes Le(uint64_t v, size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n && i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
  return b;
}

Bytes Text(const std::string& s) {
  Bytes b;
  for (char c : s) b.insert(b.end(), {static_cast<uint8_t>(c), 0});
  return b;
}

class TableContextBuilderTest : public ::testing::TestWithParam<ndb::Format> {
 protected:
  TableContextBuilderTest() : writer_(GetParam()) {}

  Result<TableContext> WriteAndOpen(const TableContextBuilder& b) {
    PST_ASSIGN_OR_RETURN(WrittenNode node, b.Write(writer_));
    written_ = node;
    return TableContext::Open(writer_.Open(0x8022, node.data_bid, node.subnode_bid));
  }
  bool HasMatrixSubnode() const {
    for (const auto& e : writer_.Subnodes(written_.subnode_bid)) {
      if (e.nid == kRowMatrixSubnode) return true;
    }
    return false;
  }
  size_t max_block() const { return ndb::LayoutOf(GetParam()).max_block_data; }

  MemoryBlockWriter writer_;
  WrittenNode written_;
};

// Builds a table with columns added in this order and returns their layout.
std::vector<Column> LayoutOf(const std::vector<PropTag>& tags) {
  TableContextBuilder b(ndb::Format::kUnicode);
  for (PropTag t : tags) EXPECT_OK(b.AddColumn(t)) << std::hex << t;
  return b.columns();
}

void ExpectColumn(const std::vector<Column>& cols, PropTag tag, uint16_t offset, uint8_t size,
                  uint8_t bit) {
  for (const Column& c : cols) {
    if (c.tag != tag) continue;
    EXPECT_EQ(c.offset, offset) << std::hex << tag;
    EXPECT_EQ(c.size, size) << std::hex << tag;
    EXPECT_EQ(c.bit, bit) << std::hex << tag;
    return;
  }
  ADD_FAILURE() << "no column " << std::hex << tag;
}

TEST(TableLayoutTest, MatchesOutlooksHierarchyAndRecipientTemplates) {
  // Columns in the order Outlook created them (their bits).
  auto h = LayoutOf({MakeTag(0x3001, kS), 0x36020003, 0x36030003, 0x360A000B, 0x0E300102,
                     0x0E330014, 0x0E340102, 0x0E380003, MakeTag(0x3613, kS), 0x66350003,
                     0x66360003});
  ExpectColumn(h, 0x67F20003, 0, 4, 0);
  ExpectColumn(h, 0x67F30003, 4, 4, 1);
  ExpectColumn(h, MakeTag(0x3001, kS), 8, 4, 2);
  ExpectColumn(h, 0x0E300102, 20, 4, 6);
  ExpectColumn(h, 0x0E330014, 24, 8, 7);
  ExpectColumn(h, 0x66360003, 48, 4, 12);
  ExpectColumn(h, 0x360A000B, 52, 1, 5);

  const std::vector<PropTag> recipient_tags = {
      PropTag{0x0E0F000B}, MakeTag(0x3002, kS), MakeTag(0x3003, kS), PropTag{0x0FFF0102},
      MakeTag(0x3001, kS), PropTag{0x0C150003}, PropTag{0x300B0102}, PropTag{0x0FF90102},
      PropTag{0x0FFE0003}, PropTag{0x39000003}, PropTag{0x3A40000B}, MakeTag(0x39FF, kS)};
  TableContextBuilder r(ndb::Format::kUnicode);
  for (PropTag t : recipient_tags) ASSERT_OK(r.AddColumn(t));
  // All at once, the same layout as one by one.
  TableContextBuilder at_once(ndb::Format::kUnicode);
  ASSERT_OK(at_once.AddColumns(recipient_tags));
  for (const Column& c : r.columns()) ExpectColumn(at_once.columns(), c.tag, c.offset, c.size, c.bit);
  EXPECT_EQ(at_once.columns().size(), r.columns().size());
  EXPECT_FALSE(at_once.AddColumns(std::vector<PropTag>{0x66350003, 0x66350003}).ok());  // twice in one call
  ExpectColumn(r.columns(), MakeTag(0x3002, kS), 8, 4, 3);
  ExpectColumn(r.columns(), MakeTag(0x39FF, kS), 44, 4, 13);
  ExpectColumn(r.columns(), 0x0E0F000B, 48, 1, 2);
  ExpectColumn(r.columns(), 0x3A40000B, 49, 1, 12);
  EXPECT_EQ(r.row_size(), 52u);  // 48 + 2 Booleans + 2 bitmap bytes

  // A 2-byte cell sits between the 4/8-byte and the 1-byte group.
  auto g = LayoutOf({0x0001000B, 0x00020002, 0x00030014});
  ExpectColumn(g, 0x00030014, 8, 8, 4);
  ExpectColumn(g, 0x00020002, 16, 2, 3);
  ExpectColumn(g, 0x0001000B, 18, 1, 2);
}

TEST_P(TableContextBuilderTest, EmptyTable) {
  TableContextBuilder b(GetParam());
  ASSERT_OK(b.AddColumn(MakeTag(0x3001, kS)));
  auto tc = WriteAndOpen(b);
  ASSERT_OK(tc);
  EXPECT_EQ(tc->row_count(), 0u);
  EXPECT_EQ(tc->columns().size(), 3u);
  EXPECT_EQ(written_.subnode_bid, 0u);
  // Heap order: row index header 0x20, TCINFO 0x40 (the user root).
  Bytes page = writer_.DataBlocks(written_.data_bid)[0];
  EXPECT_EQ(DecodeFixed32(page.data() + 4), 0x40u);
}

TEST_P(TableContextBuilderTest, RowsOfEveryCellKindRoundTrip) {
  const std::vector<PropTag> tags = {
      0x0001000B, 0x00020002, 0x00030003, 0x00040004, 0x00050005, 0x00060006, 0x00070007,
      0x000A000A, 0x00140014, 0x0015001E, 0x0016001F, 0x00170040, 0x00180048, 0x00190102,
      0x001A1003, 0x001B101F, 0x001C1102, 0x001D1014, 0x001E1048, 0x001F00FB};
  TableContextBuilder b(GetParam());
  for (PropTag t : tags) ASSERT_OK(b.AddColumn(t)) << std::hex << t;
  std::vector<std::vector<PropValue>> rows;
  for (uint32_t r = 0; r < 3; ++r) {
    std::vector<PropValue> cells;
    for (PropTag t : tags) {
      const uint16_t type = PropTypeOf(t);
      Bytes v;
      if (FixedSizeOf(type)) {
        v = Le(0x0102030405060708ull * (r + 1) + t, FixedSizeOf(type));
      } else if (type == kPtypMultipleInteger32 || type == kPtypMultipleInteger64 ||
                 type == kPtypMultipleGuid) {
        v = Bytes(16 * r, static_cast<uint8_t>(t));
      } else if (type == kPtypMultipleString || type == kPtypMultipleBinary) {
        v = Le(1, 4);
        Bytes off = Le(8, 4);
        v.insert(v.end(), off.begin(), off.end());
        v.insert(v.end(), {'a', 0});
      } else {
        v = Bytes(r == 2 ? 3000 : 10 * r * 2, static_cast<uint8_t>(r + t));  // r 0: empty
      }
      if (r == 1 && t == 0x00030003) continue;  // a cell that does not exist
      cells.push_back({t, v});
    }
    cells.push_back({kTagLtpRowVer, Le(r + 2, 4)});
    ASSERT_OK(b.AddRow(0x8000 + r * 0x20, cells));
    rows.push_back(cells);
  }
  auto tc = WriteAndOpen(b);
  ASSERT_OK(tc);
  ASSERT_EQ(tc->row_count(), 3u);
  for (uint32_t r = 0; r < 3; ++r) {
    EXPECT_EQ(*tc->RowId(r), 0x8000 + r * 0x20);
    auto read = tc->ReadRow(r);
    ASSERT_OK(read);
    for (const PropValue& want : rows[r]) {
      auto it = std::find_if(read->begin(), read->end(),
                             [&](const PropValue& v) { return v.tag == want.tag; });
      ASSERT_NE(it, read->end()) << std::hex << want.tag << " row " << r;
      EXPECT_EQ(it->data, want.data) << std::hex << want.tag << " row " << r;
    }
    EXPECT_EQ(read->size(), rows[r].size() + 1);  // + RowId
  }
  EXPECT_FALSE((*tc->ReadCell(1, *tc->FindColumn(0x00030003))).has_value());
}

TEST_P(TableContextBuilderTest, RowMatrixMovesToSubnode0x3FWhenLarge) {
  // Row size 4+4 (+2 bitmap... ) with one I32 column: 8 + 4 + 1 = 13 bytes.
  for (size_t rows : {size_t{0}, size_t{1}, size_t{78}, size_t{79}, size_t{2000}}) {
    TableContextBuilder b(GetParam());
    ASSERT_OK(b.AddColumn(0x36020003));
    ASSERT_EQ(b.row_size(), 13u);
    // Row ids in descending order: the index sorts them, the matrix does not.
    for (size_t i = 0; i < rows; ++i) {
      const uint32_t id = static_cast<uint32_t>(100000 - i * 3);
      ASSERT_OK(b.AddRow(id, {{0x36020003, Le(i, 4)}}));
    }
    auto tc = WriteAndOpen(b);
    ASSERT_OK(tc);
    ASSERT_EQ(tc->row_count(), rows);
    EXPECT_EQ(HasMatrixSubnode(), rows * 13 > kOutlookHeapValueLimit) << rows << " rows";
    for (size_t i = 0; i < rows; i += 1 + rows / 40) {
      auto found = tc->FindRow(static_cast<uint32_t>(100000 - i * 3));
      ASSERT_TRUE(found.ok() && found->has_value());
      EXPECT_EQ(**found, i);
      EXPECT_EQ(**tc->ReadCell(i, *tc->FindColumn(0x36020003)), Le(i, 4));
    }
    if (rows == 2000) {
      // 628 / 629 rows per block; every block but the last full-size.
      auto sub = writer_.Subnodes(written_.subnode_bid);
      auto blocks = writer_.DataBlocks(sub[0].data_bid);
      ASSERT_EQ(blocks.size(), (rows + max_block() / 13 - 1) / (max_block() / 13));
      for (size_t k = 0; k + 1 < blocks.size(); ++k) EXPECT_EQ(blocks[k].size(), max_block());
      EXPECT_EQ(blocks.back().size() % 13, 0u);
    }
  }
}

TEST_P(TableContextBuilderTest, ManyColumnsAndUpdates) {
  TableContextBuilder b(GetParam());
  for (uint16_t i = 0; i < 253; ++i) {
    const uint16_t type = i % 3 == 0 ? uint16_t{kPtypInteger32} : (i % 3 == 1 ? uint16_t{kPtypBoolean} : kS);
    ASSERT_OK(b.AddColumn(MakeTag(0x4000 + i, type))) << i;
  }
  EXPECT_FALSE(b.AddColumn(0x7FFF0003).ok()) << "256th column";
  EXPECT_EQ(b.columns().size(), 255u);
  for (uint32_t r = 1; r <= 40; ++r) {
    ASSERT_OK(b.AddRow(r, {{MakeTag(0x4000, kPtypInteger32), Le(r, 4)},
                           {MakeTag(0x4001, kPtypBoolean), Bytes{1}},
                           {MakeTag(0x40FB, kS), Text("row " + std::to_string(r))}}));
  }
  ASSERT_OK(b.SetRow(7, {{MakeTag(0x4000, kPtypInteger32), Le(700, 4)}}));
  EXPECT_TRUE(*b.RemoveRow(3));  // row 40 moves into its place
  EXPECT_FALSE(*b.RemoveRow(3));
  EXPECT_FALSE(b.SetRow(3, {}).ok());
  auto tc = WriteAndOpen(b);
  ASSERT_OK(tc);
  EXPECT_EQ(tc->columns().size(), 255u);
  EXPECT_EQ(tc->row_count(), 39u);
  EXPECT_EQ(*tc->RowId(2), 40u);
  auto row7 = tc->FindRow(7);
  ASSERT_TRUE(row7.ok() && row7->has_value());
  EXPECT_EQ(**tc->ReadCell(**row7, *tc->FindColumn(MakeTag(0x4000, kPtypInteger32))), Le(700, 4));
  EXPECT_FALSE((*tc->ReadCell(**row7, *tc->FindColumn(MakeTag(0x40FB, kS)))).has_value());
  EXPECT_EQ(**tc->ReadCell(2, *tc->FindColumn(MakeTag(0x40FB, kS))), Text("row 40"));
}

// Replaced and removed rows leave room behind that is given back from time
// to time; every row must come through that whole, values of every length
// included (a cell's length takes one to three bytes in the builder).
TEST_P(TableContextBuilderTest, RowsReplacedAndRemovedManyTimesStayWhole) {
  const PropTag name = MakeTag(0x3001, kS), count = 0x36020003;
  TableContextBuilder b(GetParam());
  ASSERT_OK(b.AddColumns(std::vector<PropTag>{name, count}));
  std::map<uint32_t, std::pair<Bytes, uint32_t>> expected;
  auto cells_of = [&](uint32_t id) {
    return std::vector<PropValue>{{name, expected[id].first}, {count, Le(expected[id].second, 4)}};
  };
  for (uint32_t round = 0; round < 3000; ++round) {
    const uint32_t id = 0x8022 + (round * 7 % 300) * 0x20;
    const size_t length = (round * 37) % 9000;  // up to 18,000 bytes of UTF-16
    if (round % 5 == 4 && expected.count(id)) {
      ASSERT_TRUE(*b.RemoveRow(id));
      expected.erase(id);
      continue;
    }
    const bool known = expected.count(id) != 0;
    expected[id] = {Text(std::string(length, static_cast<char>('a' + round % 26))), round};
    ASSERT_OK(known ? b.SetRow(id, cells_of(id)) : b.AddRow(id, cells_of(id)));
  }
  ASSERT_EQ(b.row_count(), expected.size());
  for (const auto& [id, value] : expected) {
    auto cells = b.RowCells(id);
    ASSERT_TRUE(cells.ok() && cells->has_value());
    ASSERT_EQ((*cells)->size(), 3u);
    EXPECT_EQ((**cells)[1].data, value.first) << id;
    EXPECT_EQ((**cells)[2].data, Le(value.second, 4)) << id;
  }
  auto tc = WriteAndOpen(b);
  ASSERT_OK(tc);
  ASSERT_EQ(tc->row_count(), expected.size());
  for (const auto& [id, value] : expected) {
    auto row = tc->FindRow(id);
    ASSERT_TRUE(row.ok() && row->has_value());
    EXPECT_EQ(**tc->ReadCell(**row, *tc->FindColumn(count)), Le(value.second, 4));
  }
}

TEST_P(TableContextBuilderTest, RebuildsFromAnExistingTable) {
  TableContextBuilder b(GetParam());
  ASSERT_OK(b.AddColumn(MakeTag(0x3001, kS)));
  ASSERT_OK(b.AddColumn(0x360A000B));
  for (uint32_t r = 0; r < 120; ++r) {
    ASSERT_OK(b.AddRow(0x8022 + r * 0x20, {{MakeTag(0x3001, kS), Text(std::string(r, 'n'))},
                                           {0x360A000B, Bytes{static_cast<uint8_t>(r & 1)}}}));
  }
  auto old = WriteAndOpen(b);
  ASSERT_OK(old);
  auto copy = TableContextBuilder::FromTable(GetParam(), *old);
  ASSERT_OK(copy);
  ASSERT_OK(copy->AddColumn(0x36020003));  // a later column
  ASSERT_OK(copy->AddRow(0x9999, {{0x36020003, Le(5, 4)}}));
  auto fresh = WriteAndOpen(*copy);
  ASSERT_OK(fresh);
  ASSERT_EQ(fresh->row_count(), 121u);
  for (size_t r = 0; r < 120; ++r) {
    auto a = fresh->ReadRow(r), b = old->ReadRow(r);
    ASSERT_TRUE(a.ok() && b.ok());
    ASSERT_EQ(a->size(), b->size());
    for (size_t i = 0; i < a->size(); ++i) {
      EXPECT_EQ((*a)[i].tag, (*b)[i].tag);
      EXPECT_EQ((*a)[i].data, (*b)[i].data) << r;
    }
  }
  EXPECT_EQ(fresh->FindColumn(0x360A000B)->bit, old->FindColumn(0x360A000B)->bit);
}

// A table extended over its written self must come out as the same table
// rebuilt whole: rows read back from the old node in place, replaced rows
// among them, added rows after, every cell value and the row index alike.
TEST_P(TableContextBuilderTest, ExtendingATableWritesWhatRebuildingItWrites) {
  const PropTag name = MakeTag(0x3001, kS), flags = 0x0E070003;
  TableContextBuilder b(GetParam());
  ASSERT_OK(b.AddColumns(std::vector<PropTag>{name, flags}));
  for (uint32_t r = 0; r < 900; ++r) {  // a row matrix of several blocks
    ASSERT_OK(b.AddRow(0x200024 + (r * 7919 % 900) * 0x20,
                       {{name, Text(std::string(r % 300, 'a' + r % 26))}, {flags, Le(r % 3, 4)}}));
  }
  auto old = WriteAndOpen(b);
  ASSERT_OK(old);
  auto rebuilt = TableContextBuilder::FromTable(GetParam(), *old);
  ASSERT_OK(rebuilt);
  auto reopened = TableContext::Open(writer_.Open(0x8022, written_.data_bid, written_.subnode_bid));
  ASSERT_OK(reopened);
  auto extended = TableContextBuilder::Extending(GetParam(), std::make_unique<TableContext>(std::move(*reopened)));
  ASSERT_OK(extended);
  const uint32_t base_row = 0x200024 + 5 * 0x20;
  for (TableContextBuilder* t : {&*rebuilt, &*extended}) {
    ASSERT_OK(t->AddRow(0x7000, {{name, Text("new")}, {flags, Le(1, 4)}}));
    ASSERT_OK(t->AddRow(0x200024 + 450 * 0x20 + 0x10, {{flags, Le(2, 4)}}));  // between two old ids
    EXPECT_FALSE(t->AddRow(base_row, {}).ok()) << "a row the old table has";
    ASSERT_OK(t->SetRow(base_row, {{name, Text("replaced")}}));
    ASSERT_OK(t->SetRow(0x7000, {{name, Text("new, replaced")}, {flags, Le(1, 4)}}));
    EXPECT_TRUE(*t->HasRow(base_row));
    EXPECT_FALSE(*t->HasRow(0x7001));
    EXPECT_EQ((**t->RowCells(base_row))[1].data, Text("replaced"));
  }
  EXPECT_EQ(extended->row_count(), 902u);
  EXPECT_EQ(*extended->RowIds(), *rebuilt->RowIds());
  auto read_flags = [](const TableContextBuilder& t) {
    uint32_t set = 0, missing = 0;
    EXPECT_OK(t.ForEachCellOf(flags, [&](std::optional<ByteSpan> cell) {
      if (!cell) ++missing; else if (DecodeFixed32(cell->data()) & 1) ++set;
    }));
    return std::make_pair(set, missing);
  };
  EXPECT_EQ(read_flags(*extended), read_flags(*rebuilt));
  EXPECT_EQ(read_flags(*extended).second, 1u);  // the replaced row has none

  auto blocks_of = [&](const TableContextBuilder& t) {
    auto node = t.Write(writer_);
    EXPECT_OK(node);
    std::vector<Bytes> blocks = writer_.DataBlocks(node->data_bid);
    for (const auto& e : writer_.Subnodes(node->subnode_bid)) {
      for (Bytes& block : writer_.DataBlocks(e.data_bid)) blocks.push_back(std::move(block));
    }
    return blocks;
  };
  EXPECT_EQ(blocks_of(*extended), blocks_of(*rebuilt));

  // Removing a row the old table has loads its rows first.
  ASSERT_TRUE(*extended->RemoveRow(base_row));
  EXPECT_FALSE(*extended->HasRow(base_row));
  EXPECT_EQ(extended->row_count(), 901u);
}

TEST_P(TableContextBuilderTest, RejectsBrokenInput) {
  TableContextBuilder b(GetParam());
  ASSERT_OK(b.AddColumn(0x36020003));
  EXPECT_FALSE(b.AddColumn(0x36020003).ok());  // twice
  EXPECT_FALSE(b.AddColumn(0x36030001).ok());  // PtypNull
  EXPECT_FALSE(b.AddColumn(0x36040099).ok());  // unknown type
  ASSERT_OK(b.AddRow(1, {}));
  EXPECT_FALSE(b.AddRow(1, {}).ok());                                  // same row id
  EXPECT_FALSE(b.AddRow(2, {{0x36030003, Le(1, 4)}}).ok());            // no such column
  EXPECT_FALSE(b.AddRow(2, {{0x36020003, Le(1, 2)}}).ok());            // wrong size
  EXPECT_FALSE(b.AddRow(2, {{kTagLtpRowId, Le(3, 4)}}).ok());          // other row id
  EXPECT_FALSE(b.AddRow(2, {{0x36020003, Le(1, 4)}, {0x36020003, Le(1, 4)}}).ok());
  EXPECT_EQ(b.row_count(), 1u);

  auto good = [] {
    return std::vector<Column>{{kTagLtpRowId, 0, 4, 0}, {kTagLtpRowVer, 4, 4, 1},
                               {0x360A000B, 8, 1, 2}};
  };
  EXPECT_OK(TableContextBuilder::WithColumns(GetParam(), good()));
  auto broken = good();
  broken[2].offset = 6;  // overlaps RowVer
  EXPECT_FALSE(TableContextBuilder::WithColumns(GetParam(), broken).ok());
  broken = good();
  broken[2].size = 4;  // a Boolean in a 4-byte cell
  EXPECT_FALSE(TableContextBuilder::WithColumns(GetParam(), broken).ok());
  broken = good();
  broken[2].bit = 1;  // bit used twice
  EXPECT_FALSE(TableContextBuilder::WithColumns(GetParam(), broken).ok());
  broken = good();
  broken[2].bit = 8;  // outside the one-byte bitmap
  EXPECT_FALSE(TableContextBuilder::WithColumns(GetParam(), broken).ok());
  broken = good();
  broken.push_back({0x360A000B, 9, 1, 3});  // the same column twice
  EXPECT_FALSE(TableContextBuilder::WithColumns(GetParam(), broken).ok());
  broken = good();
  broken[0].offset = 4, broken[1].offset = 0;  // RowId not at 0
  EXPECT_FALSE(TableContextBuilder::WithColumns(GetParam(), broken).ok());
  broken = good();
  broken.push_back({0x00010003, 3, 4, 3});  // a 4-byte cell among the 1-byte ones
  EXPECT_FALSE(TableContextBuilder::WithColumns(GetParam(), broken).ok());
  EXPECT_FALSE(TableContextBuilder::WithColumns(GetParam(), {}).ok());
}

TEST_P(TableContextBuilderTest, AnsiRowIndexLimitsAndEntrySize) {
  TableContextBuilder b(GetParam());
  auto tc = WriteAndOpen(b);
  ASSERT_OK(tc);
  Bytes page = writer_.DataBlocks(written_.data_bid)[0];
  // The row index header is item 0x20, right after the 12-byte HNHDR.
  EXPECT_EQ(page[12], 0xB5);
  EXPECT_EQ(page[13], 4);
  EXPECT_EQ(page[14], GetParam() == ndb::Format::kAnsi ? 2 : 4);
  if (GetParam() == ndb::Format::kAnsi) {
    // The 65,536th row is refused when added, so a caller can start another
    // folder instead of losing the table at write time.
    for (uint32_t r = 0; r < 65535; ++r) ASSERT_OK(b.AddRow(r, {}));
    EXPECT_TRUE(b.full());
    Status too_many = b.AddRow(65535, {});
    EXPECT_EQ(too_many.code(), Status::Code::kFormatLimit);
    EXPECT_EQ(b.row_count(), 65535u);
    EXPECT_OK(b.Write(writer_));
  }
}

TEST_P(TableContextBuilderTest, FailedWritesGiveBackEveryBlock) {
  TableContextBuilder b(GetParam());
  ASSERT_OK(b.AddColumn(0x00190102));
  for (uint32_t r = 0; r < 300; ++r) {
    ASSERT_OK(b.AddRow(r + 1, {{0x00190102, Bytes(r == 5 ? 5000 : 20, 1)}}));
  }
  for (int fail_at = 1; fail_at <= 4; ++fail_at) {  // value, matrix, heap, subnode tree
    writer_.FailWrite(fail_at);
    EXPECT_FALSE(b.Write(writer_).ok());
    EXPECT_EQ(writer_.live_blocks(), 0u) << "after failing write " << fail_at;
  }
  writer_.FailWrite(0);
  EXPECT_OK(b.Write(writer_));
}

INSTANTIATE_TEST_SUITE_P(Formats, TableContextBuilderTest,
                         ::testing::Values(ndb::Format::kAnsi, ndb::Format::kUnicode),
                         [](const auto& info) {
                           return info.param == ndb::Format::kAnsi ? "Ansi" : "Unicode";
                         });

}  // namespace
}  // namespace pst::ltp
