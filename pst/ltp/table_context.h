// Table context ([MS-PST] 2.3.4): the rows of a hierarchy, contents,
// recipient or attachment table.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pst/base/result.h"
#include "pst/ltp/bth.h"
#include "pst/ltp/heap.h"
#include "pst/ltp/prop_types.h"
#include "pst/ndb/node.h"

namespace pst::ltp {

class TableContext {
 public:
  struct Column {
    PropTag tag = 0;
    uint16_t offset = 0;  // ibData: where the cell lies in a row
    uint8_t size = 0;     // cbData: 1, 2, 4 or 8
    uint8_t bit = 0;      // iBit: the column's bit in the cell-existence bitmap
  };

  // Takes ownership of the node.
  static Result<TableContext> Open(std::unique_ptr<ndb::NodeData> node);

  const std::vector<Column>& columns() const { return columns_; }
  const Column* FindColumn(PropTag tag) const;
  size_t row_count() const { return row_count_; }
  uint32_t row_size() const { return row_size_; }

  // The row's dwRowID (the child's NID for folder tables).
  Result<uint32_t> RowId(size_t row) const;

  // The value of one cell, or nullopt if the cell does not exist in the row.
  // Variable-size values are resolved through the heap or a subnode.
  Result<std::optional<Bytes>> ReadCell(size_t row, const Column& column) const;

  // Every existing cell of a row as a property value.
  Result<std::vector<PropValue>> ReadRow(size_t row) const;

  // The row whose dwRowID is row_id (through the RowIndex), or nullopt.
  Result<std::optional<size_t>> FindRow(uint32_t row_id) const;
  // Calls fn(row id, row) for each entry of the RowIndex, row ids ascending.
  Status ForEachIndexed(const std::function<Status(uint32_t row_id, size_t row)>& fn) const;

  // Largest variable cell value ReadCell reads from a subnode.
  static constexpr size_t kMaxCellValue = 64 * 1024 * 1024;

  const ndb::NodeData& node() const { return *node_; }

  TableContext(TableContext&&) = default;
  TableContext& operator=(TableContext&&) = default;

 private:
  TableContext() = default;

  Status Corrupt(const std::string& what) const;
  Status OpenRowMatrix();
  Status CheckRowIndex();
  Status CheckColumn(const Column& column) const;
  // The bytes of one row (row_size_ of them).
  Result<Bytes> RowBytes(size_t row) const;
  // One cell of a row already read; the column has been checked.
  Result<std::optional<Bytes>> CellOf(size_t row, ByteSpan bytes, const Column& column) const;

  std::unique_ptr<ndb::NodeData> node_;
  std::unique_ptr<Heap> heap_;
  std::unique_ptr<Bth> row_index_;
  std::vector<Column> columns_;
  size_t row_count_ = 0;
  uint32_t row_size_ = 0;
  uint32_t hnid_rows_ = 0;
  uint8_t column_count_ = 0;  // cCols
  uint16_t ceb_offset_ = 0;   // rgib[TCI_1b]: where the cell-existence bitmap starts

  // Row matrix: a heap item held in memory, or a subnode read block by block.
  Bytes matrix_item_;
  std::unique_ptr<ndb::NodeData> matrix_node_;
  size_t rows_per_block_ = 0;
  // The last matrix block read (one block kept, so memory stays bounded).
  mutable size_t cached_block_index_ = SIZE_MAX;
  mutable Bytes cached_block_;
};

}  // namespace pst::ltp
