// TableContextBuilder: the columns and rows of one table (hierarchy,
// contents, FAI contents, recipient, attachment, template tables) collected
// in memory and written as a new node.
//
//   TableContextBuilder tc(format);                  // RowId, RowVer columns
//   tc.AddColumn(MakeTag(0x3001, kPtypString));
//   tc.AddRow(child_nid, {{MakeTag(0x3001, kPtypString), name}});
//   PST_ASSIGN_OR_RETURN(auto node, tc.Write(txn));
//
// Rows keep the order they were added in; the row index finds them by row
// id. Cells are the stored bytes of the column's type, as for property
// contexts (prop_types.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "pst/base/bytes.h"
#include "pst/base/id_map.h"
#include "pst/base/result.h"
#include "pst/ltp/prop_types.h"
#include "pst/ltp/property_context_builder.h"
#include "pst/ltp/table_context.h"
#include "pst/ndb/block_writer.h"

namespace pst::ltp {

constexpr PropTag kTagLtpRowId = 0x67F20003;
constexpr PropTag kTagLtpRowVer = 0x67F30003;

// The subnode that holds a row matrix too large for the heap.
constexpr ndb::Nid kRowMatrixSubnode = 0x3F;

class TableContextBuilder {
 public:
  using Column = TableContext::Column;

  // Cells take 4 bytes (8-byte types: 8; I16: 2; Boolean: 1); variable-size
  // values and GUIDs are 4-byte HNIDs. 0 for types no table can hold.
  static uint8_t CellSizeOf(uint16_t type);
  // A table has at most 255 columns (TCINFO's column count is one byte).
  static constexpr size_t kMaxColumns = 255;

  // A table with the two columns every table starts with: PidTagLtpRowId
  // and PidTagLtpRowVer.
  explicit TableContextBuilder(ndb::Format format);

  // A table with exactly these columns and cell positions (those of an
  // existing table or template). Checked: RowId first at offset 0, cells in
  // the group of their size, no overlaps, distinct tags and bits.
  static Result<TableContextBuilder> WithColumns(ndb::Format format,
                                                 std::vector<Column> columns);
  // The columns and every row of an existing table.
  static Result<TableContextBuilder> FromTable(ndb::Format format, const TableContext& table);
  // An existing table to add rows to. Its rows stay in `base` and are read
  // again when written, so a folder's table grows at each commit without
  // being held whole; only rows added or replaced are kept. The base's
  // blocks must stay in the store until Write returns. Removing a row or
  // adding a column loads the base's rows first.
  static Result<TableContextBuilder> Extending(ndb::Format format, std::unique_ptr<TableContext> base);

  // Adds a column after the existing ones; the layout is then recomputed as
  // Outlook lays out a table: cells of 8 and 4 bytes, then 2, then 1 byte,
  // each group in column (bit) order, then the cell-existence bitmap.
  Status AddColumn(PropTag tag);
  // Adds several columns at once, laying the row out once.
  Status AddColumns(std::span<const PropTag> tags);
  const std::vector<Column>& columns() const { return columns_; }
  const Column* FindColumn(PropTag tag) const;
  uint32_t row_size() const { return row_size_; }

  // Adds a row. Every cell's tag must be a column's; PidTagLtpRowId is
  // set from row_id (a RowId cell, if given, must agree). Cells not given
  // do not exist in the row. OutOfSpace when the table is full().
  Status AddRow(uint32_t row_id, const std::vector<PropValue>& cells);
  // The most rows a table of this format holds: an ANSI row index keeps
  // 16-bit row numbers, so 65,535; a Unicode one 32-bit numbers.
  static uint64_t MaxRows(ndb::Format format) {
    return format == ndb::Format::kAnsi ? kMaxAnsiRows : 0xFFFFFFFFu;
  }
  bool full() const { return row_count() >= MaxRows(format_); }
  static constexpr uint64_t kMaxAnsiRows = 0xFFFF;
  // Replaces the cells of an existing row.
  Status SetRow(uint32_t row_id, const std::vector<PropValue>& cells);
  // Removes a row: the last row moves into its place. False if none.
  Result<bool> RemoveRow(uint32_t row_id);
  size_t row_count() const { return base_rows_ + rows_.size(); }
  // Bytes the rows added or replaced keep in memory until Write: what grows
  // with the size of their values.
  uint64_t held_bytes() const { return stored_bytes_ + rows_.size() * sizeof(StoredRow); }
  Result<bool> HasRow(uint32_t row_id) const;
  // The rows' ids, in row order.
  Result<std::vector<uint32_t>> RowIds() const;
  // The cells of a row (RowId included), or nullopt.
  Result<std::optional<std::vector<PropValue>>> RowCells(uint32_t row_id) const;
  // Calls fn with each row's cell of column `tag` (nullopt where the row
  // has none), in row order.
  Status ForEachCellOf(PropTag tag, const std::function<void(std::optional<ByteSpan>)>& fn) const;

  void set_heap_value_limit(size_t limit) { heap_limit_ = limit; }

  // Writes the node. On failure every block this call wrote is given back.
  Result<WrittenNode> Write(ndb::BlockWriter& writer) const;

 private:
  // A row as it waits for Write, compact because a folder's table may hold
  // 100,000: its cells lie back to back in one of cell_chunks_, each as its
  // column's index (1 byte), its size (a base-128 varint) and its bytes, in
  // column order.
  struct StoredRow {
    uint32_t id = 0;
    uint32_t chunk = 0;
    uint32_t offset = 0;
    uint32_t size = 0;
  };
  ByteSpan CellsOf(const StoredRow& row) const {
    return ByteSpan(cell_chunks_[row.chunk]).subspan(row.offset, row.size);
  }
  // Calls fn(column index, cell bytes) for each cell of a row.
  template <typename Fn>
  static void ForEachCell(ByteSpan cells, Fn&& fn);
  static void AppendCell(Bytes* cells, size_t index, ByteSpan value);
  // Room for `size` more bytes at the end of the last chunk: chunks grow
  // to 64 KiB and are never moved, so rows are stored without the copies
  // (and the twice-the-size moments) of one growing buffer.
  Bytes& ChunkWithRoom(size_t size);
  // Checks a row and stores its cells.
  Result<StoredRow> StoreRow(uint32_t row_id, const std::vector<PropValue>& cells);
  // Stores every row's cells again, as rewrite(cells, &out) makes them,
  // leaving out those of replaced and removed rows.
  template <typename Fn>
  void RewriteRows(Fn&& rewrite);
  // Gives back the room of a replaced or removed row once it is most of it.
  void Forget(const StoredRow& row);

  Status Layout();
  Status CheckLayout();
  size_t FindRowIndex(uint32_t row_id) const;
  // The base's row number of a row, or nullopt.
  Result<std::optional<size_t>> FindBaseRow(uint32_t row_id) const;
  // Moves the base's rows into rows_, ahead of the rows added.
  Status LoadBaseRows();
  // Row `row` (base rows first) as stored cells: a base row is read into
  // `scratch`.
  Result<ByteSpan> CellsOfRow(size_t row, Bytes* scratch) const;
  Result<uint32_t> RowIdOf(size_t row) const;
  Result<Bytes> EncodeRow(uint32_t row_id, ByteSpan cells, ValueWriter& values) const;

  ndb::Format format_;
  size_t heap_limit_ = kOutlookHeapValueLimit;
  std::vector<Column> columns_;  // in bit (creation) order
  uint16_t ends_[4] = {8, 8, 8, 9};  // rgib: 4/8-byte, 2-byte, 1-byte groups, bitmap
  uint32_t row_size_ = 9;
  std::vector<StoredRow> rows_;
  std::vector<Bytes> cell_chunks_;
  uint64_t stored_bytes_ = 0;  // in cell_chunks_
  uint64_t dead_bytes_ = 0;    // of those, of replaced and removed rows
  IdMap row_positions_;        // row id -> index in rows_

  // Rows 0 to base_rows_ - 1 are the base's, then those of rows_. A base
  // row replaced by SetRow has its cells in replaced_.
  std::unique_ptr<TableContext> base_;
  size_t base_rows_ = 0;
  IdMap replaced_;  // base row number -> index in replacements_
  std::vector<StoredRow> replacements_;
};

}  // namespace pst::ltp
