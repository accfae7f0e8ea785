// Table context reader ([MS-PST] 2.3.4).
//
// A heap with client signature 0x7C whose user root is TCINFO (2.3.4.1):
//   0   1        bType = 0x7C
//   1   1        cCols
//   2   2        rgib[TCI_4b]  end of the 8- and 4-byte cells
//   4   2        rgib[TCI_2b]  end of the 2-byte cells
//   6   2        rgib[TCI_1b]  end of the 1-byte cells = start of the CEB
//   8   2        rgib[TCI_bm]  end of the cell-existence bitmap = row size
//   10  4        hidRowIndex   BTH: dwRowID (4) -> row number (2 or 4)
//   14  4        hnidRows      row matrix: heap item or subnode; 0 = no rows
//   18  4        hidIndex      unused
//   22  8*cCols  rgTCOLDESC (2.3.4.2):
//                  0 4 tag, 4 2 ibData, 6 1 cbData, 7 1 iBit
//
// Row (2.3.4.4): dwRowID at 0, cells at ibData, then the CEB whose bit iBit
// (most significant bit first) says whether the cell exists. A matrix in a
// subnode never splits a row across blocks: every block but the last holds
// floor(block size / row size) rows. That count is taken from the first
// block, which is full-size (8180 bytes ANSI, 8176 Unicode) whenever there is
// more than one block, so no format parameter is needed.
#include "pst/ltp/table_context.h"

#include <algorithm>
#include <bitset>

#include "pst/base/byte_reader.h"
#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/ltp/hnid.h"
#include "pst/ltp/value_check.h"

namespace pst::ltp {
namespace {

constexpr uint8_t kTableType = 0x7C;
constexpr size_t kInfoSize = 22;
constexpr size_t kColumnSize = 8;

// The cell size a column of this type must have: the value itself for fixed
// types of up to 8 bytes, otherwise a 4-byte HNID. 0 when the type is unknown.
size_t CellSizeOf(uint16_t type) {
  switch (KindOf(type)) {
    case ValueKind::kFixed:
      return FixedSizeOf(type) <= 8 ? FixedSizeOf(type) : 4;
    case ValueKind::kVariable:
      return 4;
    case ValueKind::kUnsupported:
      return 0;
  }
  return 0;
}

}  // namespace

Status TableContext::Corrupt(const std::string& what) const {
  return Status::Corruption("table context of node " + Hex(node_->nid()) + ": " + what);
}

Result<TableContext> TableContext::Open(std::unique_ptr<ndb::NodeData> node) {
  if (!node) return Status::InvalidArgument("table context opened without a node");
  TableContext tc;
  tc.node_ = std::move(node);
  auto heap = Heap::Open(*tc.node_);
  if (!heap.ok()) return heap.status().WithContext("table context of node " + Hex(tc.node_->nid()));
  tc.heap_ = std::make_unique<Heap>(std::move(heap).value());
  if (tc.heap_->client_signature() != kHeapClientTable) {
    return tc.Corrupt("heap client signature " + Hex(tc.heap_->client_signature()) +
                      " (expected 0x7C)");
  }

  PST_ASSIGN_OR_RETURN(Bytes info, tc.heap_->Item(tc.heap_->user_root()));
  ByteReader reader(info);
  const uint8_t type = reader.U8();
  tc.column_count_ = reader.U8();
  uint16_t rgib[4];
  for (uint16_t& ib : rgib) ib = reader.U16();
  const Hid row_index_hid = reader.U32();
  tc.hnid_rows_ = reader.U32();
  reader.U32();  // hidIndex: deprecated
  if (!reader.ok()) return tc.Corrupt("TCINFO of " + std::to_string(info.size()) + " bytes");
  if (type != kTableType) return tc.Corrupt("bad TCINFO type " + Hex(type) + " (expected 0x7C)");
  if (info.size() < kInfoSize + kColumnSize * tc.column_count_) {
    return tc.Corrupt("TCINFO of " + std::to_string(info.size()) + " bytes cannot hold " +
                      std::to_string(tc.column_count_) + " columns");
  }
  if (!(rgib[0] <= rgib[1] && rgib[1] <= rgib[2] && rgib[2] <= rgib[3])) {
    return tc.Corrupt("row layout offsets " + std::to_string(rgib[0]) + ", " +
                      std::to_string(rgib[1]) + ", " + std::to_string(rgib[2]) + ", " +
                      std::to_string(rgib[3]) + " are not in order");
  }
  if (rgib[3] - rgib[2] < (tc.column_count_ + 7) / 8) {
    return tc.Corrupt("cell-existence bitmap of " + std::to_string(rgib[3] - rgib[2]) +
                      " bytes is too small for " + std::to_string(tc.column_count_) + " columns");
  }
  tc.ceb_offset_ = rgib[2];
  tc.row_size_ = rgib[3];

  std::bitset<256> bits_seen;
  tc.columns_.reserve(tc.column_count_);
  for (size_t i = 0; i < tc.column_count_; ++i) {
    Column c;
    c.tag = reader.U32();
    c.offset = reader.U16();
    c.size = reader.U8();
    c.bit = reader.U8();
    PST_RETURN_IF_ERROR(tc.CheckColumn(c));
    if (bits_seen.test(c.bit)) {
      return tc.Corrupt("two columns share cell-existence bit " + std::to_string(c.bit));
    }
    bits_seen.set(c.bit);
    tc.columns_.push_back(c);
  }

  auto row_index = Bth::Open(*tc.heap_, row_index_hid);
  if (!row_index.ok()) {
    return row_index.status().WithContext("table context of node " + Hex(tc.node_->nid()));
  }
  tc.row_index_ = std::make_unique<Bth>(std::move(row_index).value());
  if (tc.row_index_->key_size() != 4 ||
      (tc.row_index_->entry_size() != 2 && tc.row_index_->entry_size() != 4)) {
    return tc.Corrupt("row index has " + std::to_string(tc.row_index_->key_size()) +
                      "-byte keys and " + std::to_string(tc.row_index_->entry_size()) +
                      "-byte records (expected 4 and 2 or 4)");
  }
  PST_RETURN_IF_ERROR(tc.OpenRowMatrix());
  PST_RETURN_IF_ERROR(tc.CheckRowIndex());
  return tc;
}

Status TableContext::CheckColumn(const Column& c) const {
  // Named only for an error: every table opened checks all its columns.
  auto name = [&c] { return "column " + Hex(c.tag); };
  if (c.size != 1 && c.size != 2 && c.size != 4 && c.size != 8) {
    return Corrupt(name() + " has a cell size of " + std::to_string(c.size));
  }
  if (c.offset + c.size > ceb_offset_) {
    return Corrupt(name() + " at " + std::to_string(c.offset) + "+" + std::to_string(c.size) +
                   " overlaps the cell-existence bitmap at " + std::to_string(ceb_offset_));
  }
  if (c.bit >= column_count_) {
    return Corrupt(name() + " has existence bit " + std::to_string(c.bit) + " but the table has " +
                   std::to_string(column_count_) + " columns");
  }
  const size_t expected = CellSizeOf(PropTypeOf(c.tag));
  if (expected != 0 && c.size != expected) {
    return Corrupt(name() + " of type " + TypeName(PropTypeOf(c.tag)) + " has a cell size of " +
                   std::to_string(c.size) + " (expected " + std::to_string(expected) + ")");
  }
  return Status::Ok();
}

Status TableContext::OpenRowMatrix() {
  if (hnid_rows_ == 0) return Status::Ok();
  // Every row starts with its 4-byte dwRowID.
  if (row_size_ < 4 || ceb_offset_ < 4) {
    return Corrupt("rows of " + std::to_string(row_size_) + " bytes cannot hold a row id");
  }
  if (IsHid(hnid_rows_)) {
    auto item = heap_->Item(hnid_rows_);
    if (!item.ok()) return item.status().WithContext("row matrix");
    matrix_item_ = std::move(item).value();
    if (matrix_item_.size() % row_size_ != 0) {
      return Corrupt("row matrix of " + std::to_string(matrix_item_.size()) +
                     " bytes is not a whole number of " + std::to_string(row_size_) + "-byte rows");
    }
    row_count_ = matrix_item_.size() / row_size_;
    return Status::Ok();
  }

  auto sub = node_->OpenSubnode(hnid_rows_);
  if (!sub.ok()) {
    if (sub.status().IsNotFound()) {
      return Corrupt("row matrix subnode " + Hex(hnid_rows_) + " does not exist");
    }
    return sub.status().WithContext("row matrix subnode " + Hex(hnid_rows_));
  }
  matrix_node_ = std::move(sub).value();
  const size_t blocks = matrix_node_->block_count();
  if (blocks == 0) return Status::Ok();
  PST_ASSIGN_OR_RETURN(Bytes first, matrix_node_->ReadBlock(0));
  rows_per_block_ = first.size() / row_size_;
  if (rows_per_block_ == 0) {
    return Corrupt("row matrix block of " + std::to_string(first.size()) + " bytes cannot hold a " +
                   std::to_string(row_size_) + "-byte row");
  }
  Bytes last_block;
  if (blocks == 1) {
    last_block = std::move(first);
  } else {
    PST_ASSIGN_OR_RETURN(last_block, matrix_node_->ReadBlock(blocks - 1));
  }
  if (last_block.size() % row_size_ != 0 || last_block.size() / row_size_ > rows_per_block_) {
    return Corrupt("last row matrix block of " + std::to_string(last_block.size()) +
                   " bytes is not a whole number of " + std::to_string(row_size_) +
                   "-byte rows, at most " + std::to_string(rows_per_block_));
  }
  // blocks <= 2^16 data blocks per node and rows_per_block <= block size, so
  // this cannot overflow.
  row_count_ = (blocks - 1) * rows_per_block_ + last_block.size() / row_size_;
  return Status::Ok();
}

Status TableContext::ForEachIndexed(const std::function<Status(uint32_t row_id, size_t row)>& fn) const {
  if (!row_index_) return Status::Ok();
  const bool wide = row_index_->entry_size() == 4;
  return row_index_->ForEach([&](ByteSpan key, ByteSpan data) {
    return fn(DecodeFixed32(key.data()), wide ? DecodeFixed32(data.data()) : DecodeFixed16(data.data()));
  });
}

Status TableContext::CheckRowIndex() {
  // Each row must be named exactly once; rows are bounded by the matrix
  // bytes already read, so this bitmap is too.
  std::vector<bool> named(row_count_, false);
  size_t records = 0;
  const bool wide = row_index_->entry_size() == 4;
  PST_RETURN_IF_ERROR(row_index_->ForEach([&](ByteSpan, ByteSpan data) {
    const uint32_t row = wide ? DecodeFixed32(data.data()) : DecodeFixed16(data.data());
    if (row >= row_count_) {
      return Corrupt("row index names row " + std::to_string(row) + " of " +
                     std::to_string(row_count_));
    }
    if (named[row]) return Corrupt("row index names row " + std::to_string(row) + " twice");
    named[row] = true;
    ++records;
    return Status::Ok();
  }));
  if (records != row_count_) {
    return Corrupt("row index has " + std::to_string(records) + " rows, the row matrix " +
                   std::to_string(row_count_));
  }
  return Status::Ok();
}

const TableContext::Column* TableContext::FindColumn(PropTag tag) const {
  for (const Column& c : columns_) {
    if (c.tag == tag) return &c;
  }
  return nullptr;
}

Result<Bytes> TableContext::RowBytes(size_t row) const {
  if (row >= row_count_) {
    return Status::InvalidArgument("row " + std::to_string(row) + " of a table of " +
                                   std::to_string(row_count_) + " rows in node " +
                                   Hex(node_->nid()));
  }
  if (!matrix_node_) {
    auto begin = matrix_item_.begin() + static_cast<ptrdiff_t>(row * row_size_);
    return Bytes(begin, begin + row_size_);
  }
  const size_t block = row / rows_per_block_;
  const size_t offset = (row % rows_per_block_) * row_size_;
  if (block != cached_block_index_) {
    cached_block_index_ = SIZE_MAX;
    PST_ASSIGN_OR_RETURN(cached_block_, matrix_node_->ReadBlock(block));
    cached_block_index_ = block;
  }
  if (cached_block_.size() < offset + row_size_) {
    return Corrupt("row " + std::to_string(row) + " passes the end of row matrix block " +
                   std::to_string(block) + " (" + std::to_string(cached_block_.size()) + " bytes)");
  }
  auto begin = cached_block_.begin() + static_cast<ptrdiff_t>(offset);
  return Bytes(begin, begin + row_size_);
}

Result<uint32_t> TableContext::RowId(size_t row) const {
  PST_ASSIGN_OR_RETURN(Bytes bytes, RowBytes(row));
  return DecodeFixed32(bytes.data());
}

Result<std::optional<Bytes>> TableContext::ReadCell(size_t row, const Column& column) const {
  PST_RETURN_IF_ERROR(CheckColumn(column));
  PST_ASSIGN_OR_RETURN(Bytes bytes, RowBytes(row));
  return CellOf(row, bytes, column);
}

Result<std::optional<Bytes>> TableContext::CellOf(size_t row, ByteSpan bytes,
                                                  const Column& column) const {
  const uint8_t ceb = bytes[ceb_offset_ + column.bit / 8];
  if ((ceb & (0x80 >> (column.bit % 8))) == 0) return std::optional<Bytes>();

  const uint16_t type = PropTypeOf(column.tag);
  auto where = [&] {
    return "cell " + Hex(column.tag) + " of row " + std::to_string(row) + " in node " +
           Hex(node_->nid());
  };
  if (KindOf(type) == ValueKind::kUnsupported) {
    return Status::NotSupported(where() + ": type " + TypeName(type) + " is not supported");
  }
  ByteSpan cell = bytes.subspan(column.offset, column.size);
  if (KindOf(type) == ValueKind::kFixed && FixedSizeOf(type) == column.size) {
    return std::optional<Bytes>(Bytes(cell.begin(), cell.end()));
  }
  auto value = ReadHnidValue(*heap_, DecodeFixed32(cell.data()), kMaxCellValue);
  if (!value.ok()) return value.status().WithContext(where());
  Status check = CheckValue(type, *value);
  if (!check.ok()) return check.WithContext(where());
  return std::optional<Bytes>(std::move(value).value());
}

Result<std::vector<PropValue>> TableContext::ReadRow(size_t row) const {
  PST_ASSIGN_OR_RETURN(Bytes bytes, RowBytes(row));
  std::vector<PropValue> values;
  for (const Column& c : columns_) {
    PST_ASSIGN_OR_RETURN(std::optional<Bytes> cell, CellOf(row, bytes, c));
    if (cell) values.push_back({c.tag, std::move(*cell)});
  }
  return values;
}

Result<std::optional<size_t>> TableContext::FindRow(uint32_t row_id) const {
  PST_ASSIGN_OR_RETURN(std::optional<Bytes> data, row_index_->Find(uint64_t{row_id}));
  if (!data) return std::optional<size_t>();
  const uint32_t row =
      data->size() == 4 ? DecodeFixed32(data->data()) : DecodeFixed16(data->data());
  if (row >= row_count_) {
    return Corrupt("row index names row " + std::to_string(row) + " of " +
                   std::to_string(row_count_));
  }
  // The row itself must carry the id it is indexed under.
  PST_ASSIGN_OR_RETURN(uint32_t stored, RowId(row));
  if (stored != row_id) {
    return Corrupt("row index puts row id " + Hex(row_id) + " at row " + std::to_string(row) +
                   ", which holds row id " + Hex(stored));
  }
  return std::optional<size_t>(row);
}

}  // namespace pst::ltp
