// Table context ([MS-PST] 2.3.4): the rows of a hierarchy, contents,
// recipient or attachment table.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "pst/base/result.h"
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

  const ndb::NodeData& node() const { return *node_; }

  TableContext(TableContext&&) = default;
  TableContext& operator=(TableContext&&) = default;

 private:
  TableContext() = default;

  std::unique_ptr<ndb::NodeData> node_;
  std::unique_ptr<Heap> heap_;
  std::vector<Column> columns_;
  size_t row_count_ = 0;
  uint32_t row_size_ = 0;
  uint32_t hnid_rows_ = 0;
};

}  // namespace pst::ltp
