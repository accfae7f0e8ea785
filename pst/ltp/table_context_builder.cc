// Table context as written ([MS-PST] 2.3.4): a heap with client signature
// 0x7C whose user root is the TCINFO.
//
//   TCINFO  0   1  bType        0x7C
//           1   1  cCols
//           2   8  rgib[4]      ends of the 8/4-byte cells, the 2-byte cells,
//                               the 1-byte cells, the cell-existence bitmap
//                               (= row size)
//           10  4  hidRowIndex  BTH: row id (4) -> row number (4 Unicode, 2 ANSI)
//           14  4  hnidRows     row matrix: 0 (no rows), a heap item, or 0x3F
//           18  4  hidIndex     0
//           22  8n rgTCOLDESC   tag (4), ibData (2), cbData (1), iBit (1),
//                               sorted by tag
//
// Heap order as Outlook writes it: row index header (0x20), TCINFO (0x40),
// row index records (0x60), row matrix when it stays in the heap (0x80),
// then the cell values row by row.
//
// Row matrix: rows of rgib[3] bytes in insertion order; cells of bit k
// exist iff bit 0x80 >> (k % 8) of bitmap byte k / 8 is set. Up to about
// 1 KB it is a heap item; larger, it is subnode 0x3F, each block holding
// whole rows, every block but the last padded with zeros to full size.
#include "pst/ltp/table_context_builder.h"

#include <algorithm>
#include <bitset>
#include <string>

#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/ltp/bth_writer.h"
#include "pst/ltp/heap_writer.h"
#include "pst/ltp/value_check.h"
#include "pst/ltp/value_writer.h"
#include "pst/ndb/header.h"

namespace pst::ltp {
namespace {

// A full table is not a full disk: the message says which table limit it is.
Status TableFull(ndb::Format format, uint64_t rows) {
  return Status::FormatLimit("the table is full: " + std::string(format == ndb::Format::kAnsi ? "an ANSI" : "a") +
                            " table holds at most " + std::to_string(TableContextBuilder::MaxRows(format)) +
                            " rows, not " + std::to_string(rows));
}

constexpr uint8_t kTableType = 0x7C;
constexpr size_t kTcInfoSize = 22;
constexpr size_t kColumnDescSize = 8;

std::string ColumnName(PropTag tag) { return "column " + Hex(tag); }

size_t BitmapSize(size_t columns) { return (columns + 7) / 8; }

// Group of a cell size: 0 for 8/4-byte cells, 1 for 2-byte, 2 for 1-byte.
int GroupOf(uint8_t size) { return size >= 4 ? 0 : (size == 2 ? 1 : 2); }

}  // namespace

// Cells are kept by this class alone, so they are trusted here.
template <typename Fn>
void TableContextBuilder::ForEachCell(ByteSpan cells, Fn&& fn) {
  for (size_t at = 0; at < cells.size();) {
    const size_t index = cells[at++];
    size_t size = 0;
    for (int shift = 0;; shift += 7) {
      const uint8_t byte = cells[at++];
      size |= size_t{byte & 0x7Fu} << shift;
      if ((byte & 0x80) == 0) break;
    }
    fn(index, cells.subspan(at, size));
    at += size;
  }
}

void TableContextBuilder::AppendCell(Bytes* cells, size_t index, ByteSpan value) {
  uint8_t head[6];
  size_t length = 0;
  head[length++] = static_cast<uint8_t>(index);
  uint32_t size = static_cast<uint32_t>(value.size());
  for (; size >= 0x80; size >>= 7) head[length++] = static_cast<uint8_t>(size | 0x80);
  head[length++] = static_cast<uint8_t>(size);
  cells->insert(cells->end(), head, head + length);
  cells->insert(cells->end(), value.begin(), value.end());
}

Bytes& TableContextBuilder::ChunkWithRoom(size_t size) {
  constexpr size_t kFirstChunk = 256;
  constexpr size_t kLargestChunk = 64 << 10;
  if (cell_chunks_.empty() || cell_chunks_.back().capacity() - cell_chunks_.back().size() < size) {
    const size_t last = cell_chunks_.empty() ? 0 : cell_chunks_.back().capacity();
    cell_chunks_.emplace_back().reserve(std::max(size, std::clamp(2 * last, kFirstChunk, kLargestChunk)));
  }
  return cell_chunks_.back();
}

template <typename Fn>
void TableContextBuilder::RewriteRows(Fn&& rewrite) {
  std::vector<Bytes> old;
  old.swap(cell_chunks_);
  stored_bytes_ = dead_bytes_ = 0;
  Bytes cells;
  for (std::vector<StoredRow>* rows : {&rows_, &replacements_}) {
    for (StoredRow& row : *rows) {
      cells.clear();
      rewrite(ByteSpan(old[row.chunk]).subspan(row.offset, row.size), &cells);
      Bytes& chunk = ChunkWithRoom(cells.size());
      row.chunk = static_cast<uint32_t>(cell_chunks_.size() - 1);
      row.offset = static_cast<uint32_t>(chunk.size());
      row.size = static_cast<uint32_t>(cells.size());
      chunk.insert(chunk.end(), cells.begin(), cells.end());
      stored_bytes_ += cells.size();
    }
  }
}

void TableContextBuilder::Forget(const StoredRow& row) {
  dead_bytes_ += row.size;
  if (dead_bytes_ > (64u << 10) && 2 * dead_bytes_ > stored_bytes_) {
    RewriteRows([](ByteSpan cells, Bytes* out) { out->assign(cells.begin(), cells.end()); });
  }
}

uint8_t TableContextBuilder::CellSizeOf(uint16_t type) {
  switch (KindOf(type)) {
    case ValueKind::kUnsupported:
      return 0;
    case ValueKind::kVariable:
      return 4;
    case ValueKind::kFixed:
      break;
  }
  const size_t size = FixedSizeOf(type);
  return size > 8 ? 4 : static_cast<uint8_t>(size);  // GUIDs through an HNID
}

TableContextBuilder::TableContextBuilder(ndb::Format format) : format_(format) {
  columns_.push_back({kTagLtpRowId, 0, 4, 0});
  columns_.push_back({kTagLtpRowVer, 0, 4, 1});
  (void)Layout();
}

Result<TableContextBuilder> TableContextBuilder::WithColumns(ndb::Format format,
                                                             std::vector<Column> columns) {
  TableContextBuilder b(format);
  std::sort(columns.begin(), columns.end(),
            [](const Column& x, const Column& y) { return x.bit < y.bit; });
  b.columns_ = std::move(columns);
  PST_RETURN_IF_ERROR(b.CheckLayout());
  return b;
}

Result<TableContextBuilder> TableContextBuilder::FromTable(ndb::Format format,
                                                           const TableContext& table) {
  PST_ASSIGN_OR_RETURN(TableContextBuilder b, WithColumns(format, table.columns()));
  if (table.row_count() <= MaxRows(format)) b.rows_.reserve(table.row_count());
  for (size_t r = 0; r < table.row_count(); ++r) {
    PST_ASSIGN_OR_RETURN(uint32_t id, table.RowId(r));
    PST_ASSIGN_OR_RETURN(std::vector<PropValue> cells, table.ReadRow(r));
    PST_RETURN_IF_ERROR(b.AddRow(id, cells));
  }
  return b;
}

Result<TableContextBuilder> TableContextBuilder::Extending(ndb::Format format,
                                                           std::unique_ptr<TableContext> base) {
  PST_ASSIGN_OR_RETURN(TableContextBuilder b, WithColumns(format, base->columns()));
  b.base_rows_ = base->row_count();
  b.base_ = std::move(base);
  if (b.base_rows_ > MaxRows(format)) return TableFull(format, b.base_rows_);
  return b;
}

Status TableContextBuilder::LoadBaseRows() {
  if (!base_) return Status::Ok();
  std::vector<StoredRow> rows;
  rows.reserve(base_rows_ + rows_.size());
  IdMap positions;
  for (size_t r = 0; r < base_rows_; ++r) {
    StoredRow row;
    if (const std::optional<uint32_t> replaced = replaced_.Find(static_cast<uint32_t>(r))) {
      row = replacements_[*replaced];
    } else {
      PST_ASSIGN_OR_RETURN(uint32_t id, base_->RowId(r));
      PST_ASSIGN_OR_RETURN(std::vector<PropValue> cells, base_->ReadRow(r));
      PST_ASSIGN_OR_RETURN(row, StoreRow(id, cells));
    }
    if (!positions.Insert(row.id, static_cast<uint32_t>(rows.size()))) {
      return Status::Corruption("table has row " + Hex(row.id) + " twice");
    }
    rows.push_back(row);
  }
  for (const StoredRow& row : rows_) {
    positions.Set(row.id, static_cast<uint32_t>(rows.size()));
    rows.push_back(row);
  }
  rows_ = std::move(rows);
  row_positions_ = std::move(positions);
  base_.reset();
  base_rows_ = 0;
  replaced_.clear();
  replacements_.clear();
  return Status::Ok();
}

const TableContextBuilder::Column* TableContextBuilder::FindColumn(PropTag tag) const {
  for (const Column& c : columns_) {
    if (c.tag == tag) return &c;
  }
  return nullptr;
}

Status TableContextBuilder::CheckLayout() {
  const size_t n = columns_.size();
  if (n == 0 || n > kMaxColumns) {
    return Status::InvalidArgument("table of " + std::to_string(n) + " columns (1 to " +
                                   std::to_string(kMaxColumns) + ")");
  }
  std::bitset<256> bits;
  uint32_t ends[3] = {0, 0, 0};
  for (const Column& c : columns_) {
    const uint8_t size = CellSizeOf(PropTypeOf(c.tag));
    if (size == 0) {
      return Status::InvalidArgument(ColumnName(c.tag) + ": type " +
                                     TypeName(PropTypeOf(c.tag)) + " cannot be stored");
    }
    if (c.size != size) {
      return Status::InvalidArgument(ColumnName(c.tag) + " has " + std::to_string(c.size) +
                                     "-byte cells (its type needs " + std::to_string(size) + ")");
    }
    if (c.bit >= 8 * BitmapSize(n) || bits.test(c.bit)) {
      return Status::InvalidArgument(ColumnName(c.tag) + ": bit " + std::to_string(c.bit) +
                                     " used twice or outside the bitmap");
    }
    bits.set(c.bit);
    uint32_t& end = ends[GroupOf(c.size)];
    end = std::max<uint32_t>(end, c.offset + c.size);
  }
  const Column& first = columns_.front();
  if (first.tag != kTagLtpRowId || first.offset != 0 || first.bit != 0) {
    return Status::InvalidArgument("a table's first column must be " + Hex(kTagLtpRowId) +
                                   " at offset 0, bit 0");
  }
  std::vector<PropTag> tags;
  tags.reserve(n);
  for (const Column& c : columns_) tags.push_back(c.tag);
  std::sort(tags.begin(), tags.end());
  if (auto twice = std::adjacent_find(tags.begin(), tags.end()); twice != tags.end()) {
    return Status::InvalidArgument(ColumnName(*twice) + " twice");
  }
  ends[1] = std::max(ends[1], ends[0]);
  ends[2] = std::max(ends[2], ends[1]);
  // Every cell inside its group, none overlapping.
  std::vector<const Column*> by_offset;
  for (const Column& c : columns_) by_offset.push_back(&c);
  std::sort(by_offset.begin(), by_offset.end(),
            [](const Column* x, const Column* y) { return x->offset < y->offset; });
  uint32_t next_free = 0;
  for (const Column* c : by_offset) {
    const int group = GroupOf(c->size);
    const uint32_t start = group == 0 ? 0 : ends[group - 1];
    if (c->offset < start || c->offset + c->size > ends[group] || c->offset < next_free) {
      return Status::InvalidArgument(ColumnName(c->tag) + " at offset " +
                                     std::to_string(c->offset) +
                                     " overlaps another cell or leaves its size group");
    }
    next_free = c->offset + c->size;
  }
  ends_[0] = static_cast<uint16_t>(ends[0]);
  ends_[1] = static_cast<uint16_t>(ends[1]);
  ends_[2] = static_cast<uint16_t>(ends[2]);
  ends_[3] = static_cast<uint16_t>(ends[2] + BitmapSize(n));
  row_size_ = ends_[3];
  return Status::Ok();
}

Status TableContextBuilder::Layout() {
  // Columns are kept in bit order; cells are placed group by group in it.
  std::sort(columns_.begin(), columns_.end(),
            [](const Column& x, const Column& y) { return x.bit < y.bit; });
  uint16_t at = 0;
  for (int group = 0; group < 3; ++group) {
    for (Column& c : columns_) {
      if (GroupOf(c.size) != group) continue;
      c.offset = at;
      at = static_cast<uint16_t>(at + c.size);
    }
  }
  return CheckLayout();
}

Status TableContextBuilder::AddColumn(PropTag tag) { return AddColumns(std::span<const PropTag>(&tag, 1)); }

Status TableContextBuilder::AddColumns(std::span<const PropTag> tags) {
  if (tags.empty()) return Status::Ok();
  for (size_t i = 0; i < tags.size(); ++i) {
    const PropTag tag = tags[i];
    if (CellSizeOf(PropTypeOf(tag)) == 0) {
      return Status::InvalidArgument(ColumnName(tag) + ": type " + TypeName(PropTypeOf(tag)) +
                                     " cannot be stored");
    }
    if (FindColumn(tag) || std::find(tags.begin(), tags.begin() + static_cast<ptrdiff_t>(i), tag) !=
                               tags.begin() + static_cast<ptrdiff_t>(i)) {
      return Status::InvalidArgument(ColumnName(tag) + " already exists");
    }
  }
  if (columns_.size() + tags.size() > kMaxColumns) {
    return Status::InvalidArgument("a table holds at most " + std::to_string(kMaxColumns) +
                                   " columns");
  }
  PST_RETURN_IF_ERROR(LoadBaseRows());
  std::bitset<256> used;
  for (const Column& c : columns_) used.set(c.bit);
  // Rows keep their cells by column index; the new columns are absent in them.
  std::vector<PropTag> before;
  for (const Column& c : columns_) before.push_back(c.tag);
  uint8_t bit = 0;
  for (const PropTag tag : tags) {
    while (used.test(bit)) ++bit;
    used.set(bit);
    columns_.push_back({tag, 0, CellSizeOf(PropTypeOf(tag)), bit});
  }
  PST_RETURN_IF_ERROR(Layout());
  std::vector<size_t> moved_to(before.size());
  for (size_t i = 0; i < before.size(); ++i) moved_to[i] = static_cast<size_t>(FindColumn(before[i]) - columns_.data());
  RewriteRows([&](ByteSpan row, Bytes* out) {
    std::vector<std::pair<size_t, ByteSpan>> cells;
    ForEachCell(row, [&](size_t index, ByteSpan value) { cells.emplace_back(moved_to[index], value); });
    std::sort(cells.begin(), cells.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    for (const auto& [index, value] : cells) AppendCell(out, index, value);
  });
  return Status::Ok();
}

Result<TableContextBuilder::StoredRow> TableContextBuilder::StoreRow(
    uint32_t row_id, const std::vector<PropValue>& cells) {
  std::vector<const Bytes*> by_column(columns_.size(), nullptr);
  for (const PropValue& v : cells) {
    const Column* c = FindColumn(v.tag);
    if (!c) return Status::InvalidArgument("row " + Hex(row_id) + ": no " + ColumnName(v.tag));
    const size_t index = static_cast<size_t>(c - columns_.data());
    if (by_column[index]) {
      return Status::InvalidArgument("row " + Hex(row_id) + ": " + ColumnName(v.tag) + " twice");
    }
    Status check = CheckValue(PropTypeOf(v.tag), v.data);
    if (!check.ok()) {
      return Status::InvalidArgument("row " + Hex(row_id) + ", " + ColumnName(v.tag) + ": " +
                                     check.message());
    }
    if (v.tag == kTagLtpRowId && DecodeFixed32(v.data.data()) != row_id) {
      return Status::InvalidArgument("row " + Hex(row_id) + " has a row id cell of " +
                                     Hex(DecodeFixed32(v.data.data())));
    }
    by_column[index] = &v.data;
  }
  uint64_t size = 2 + 4;  // the RowId cell
  for (size_t i = 1; i < by_column.size(); ++i) {
    if (by_column[i]) size += 6 + by_column[i]->size();  // index, a varint of at most 5 bytes
  }
  if (size > UINT32_MAX) {
    return Status::InvalidArgument("row " + Hex(row_id) + " holds " + std::to_string(size) +
                                   " bytes; a table row holds less than 4 GiB");
  }
  Bytes& chunk = ChunkWithRoom(static_cast<size_t>(size));
  StoredRow row;
  row.id = row_id;
  row.chunk = static_cast<uint32_t>(cell_chunks_.size() - 1);
  row.offset = static_cast<uint32_t>(chunk.size());
  uint8_t id[4];
  EncodeFixed32(id, row_id);
  AppendCell(&chunk, 0, ByteSpan(id, 4));  // RowId is column 0 (bit 0)
  for (size_t i = 1; i < by_column.size(); ++i) {
    if (by_column[i]) AppendCell(&chunk, i, *by_column[i]);
  }
  row.size = static_cast<uint32_t>(chunk.size() - row.offset);
  stored_bytes_ += row.size;
  return row;
}

size_t TableContextBuilder::FindRowIndex(uint32_t row_id) const {
  const std::optional<uint32_t> index = row_positions_.Find(row_id);
  return index ? *index : rows_.size();
}

Result<std::optional<size_t>> TableContextBuilder::FindBaseRow(uint32_t row_id) const {
  if (!base_) return std::optional<size_t>();
  return base_->FindRow(row_id);
}

Result<bool> TableContextBuilder::HasRow(uint32_t row_id) const {
  if (FindRowIndex(row_id) != rows_.size()) return true;
  PST_ASSIGN_OR_RETURN(std::optional<size_t> base_row, FindBaseRow(row_id));
  return base_row.has_value();
}

Status TableContextBuilder::AddRow(uint32_t row_id, const std::vector<PropValue>& cells) {
  PST_ASSIGN_OR_RETURN(bool exists, HasRow(row_id));
  if (exists) return Status::InvalidArgument("table already has row " + Hex(row_id));
  if (full()) return TableFull(format_, row_count() + 1);
  PST_ASSIGN_OR_RETURN(StoredRow row, StoreRow(row_id, cells));
  row_positions_.Set(row_id, static_cast<uint32_t>(rows_.size()));
  rows_.push_back(row);
  return Status::Ok();
}

Status TableContextBuilder::SetRow(uint32_t row_id, const std::vector<PropValue>& cells) {
  const size_t index = FindRowIndex(row_id);
  std::optional<size_t> base_row;
  if (index == rows_.size()) {
    PST_ASSIGN_OR_RETURN(base_row, FindBaseRow(row_id));
    if (!base_row) return Status::NotFound("table has no row " + Hex(row_id));
  }
  PST_ASSIGN_OR_RETURN(StoredRow row, StoreRow(row_id, cells));
  if (!base_row) {
    const StoredRow old = rows_[index];
    rows_[index] = row;
    Forget(old);
  } else if (const std::optional<uint32_t> replaced = replaced_.Find(static_cast<uint32_t>(*base_row))) {
    const StoredRow old = replacements_[*replaced];
    replacements_[*replaced] = row;
    Forget(old);
  } else {
    replaced_.Set(static_cast<uint32_t>(*base_row), static_cast<uint32_t>(replacements_.size()));
    replacements_.push_back(row);
  }
  return Status::Ok();
}

Result<bool> TableContextBuilder::RemoveRow(uint32_t row_id) {
  if (FindRowIndex(row_id) == rows_.size()) {
    PST_ASSIGN_OR_RETURN(std::optional<size_t> base_row, FindBaseRow(row_id));
    if (!base_row) return false;
    PST_RETURN_IF_ERROR(LoadBaseRows());
  }
  const size_t index = FindRowIndex(row_id);
  row_positions_.Erase(row_id);
  const StoredRow removed = rows_[index];
  if (index + 1 != rows_.size()) {
    rows_[index] = rows_.back();
    row_positions_.Set(rows_[index].id, static_cast<uint32_t>(index));
  }
  rows_.pop_back();
  Forget(removed);
  return true;
}

Result<uint32_t> TableContextBuilder::RowIdOf(size_t row) const {
  if (row >= base_rows_) return rows_[row - base_rows_].id;
  if (const std::optional<uint32_t> replaced = replaced_.Find(static_cast<uint32_t>(row))) {
    return replacements_[*replaced].id;
  }
  return base_->RowId(row);
}

Result<ByteSpan> TableContextBuilder::CellsOfRow(size_t row, Bytes* scratch) const {
  if (row >= base_rows_) return CellsOf(rows_[row - base_rows_]);
  if (const std::optional<uint32_t> replaced = replaced_.Find(static_cast<uint32_t>(row))) {
    return CellsOf(replacements_[*replaced]);
  }
  PST_ASSIGN_OR_RETURN(std::vector<PropValue> cells, base_->ReadRow(row));
  scratch->clear();
  for (const PropValue& cell : cells) {
    const Column* c = FindColumn(cell.tag);
    if (!c) return Status::Corruption("base table row " + std::to_string(row) + ": no " + ColumnName(cell.tag));
    AppendCell(scratch, static_cast<size_t>(c - columns_.data()), cell.data);
  }
  return ByteSpan(*scratch);
}

Result<std::vector<uint32_t>> TableContextBuilder::RowIds() const {
  std::vector<uint32_t> ids;
  ids.reserve(row_count());
  for (size_t r = 0; r < row_count(); ++r) {
    PST_ASSIGN_OR_RETURN(uint32_t id, RowIdOf(r));
    ids.push_back(id);
  }
  return ids;
}

Result<std::optional<std::vector<PropValue>>> TableContextBuilder::RowCells(uint32_t row_id) const {
  size_t row = FindRowIndex(row_id);
  if (row != rows_.size()) {
    row += base_rows_;
  } else {
    PST_ASSIGN_OR_RETURN(std::optional<size_t> base_row, FindBaseRow(row_id));
    if (!base_row) return std::optional<std::vector<PropValue>>();
    row = *base_row;
  }
  Bytes scratch;
  PST_ASSIGN_OR_RETURN(ByteSpan cells, CellsOfRow(row, &scratch));
  std::vector<PropValue> out;
  ForEachCell(cells, [&](size_t column, ByteSpan value) {
    out.push_back({columns_[column].tag, Bytes(value.begin(), value.end())});
  });
  return std::optional<std::vector<PropValue>>(std::move(out));
}

Status TableContextBuilder::ForEachCellOf(PropTag tag,
                                          const std::function<void(std::optional<ByteSpan>)>& fn) const {
  const Column* c = FindColumn(tag);
  if (!c) return Status::InvalidArgument("table has no " + ColumnName(tag));
  const size_t wanted = static_cast<size_t>(c - columns_.data());
  auto own_cell = [&](const StoredRow& row) {
    std::optional<ByteSpan> found;
    ForEachCell(CellsOf(row), [&](size_t index, ByteSpan value) {
      if (index == wanted) found = value;
    });
    fn(found);
  };
  const TableContext::Column* base_column = base_ ? base_->FindColumn(tag) : nullptr;
  if (base_ && !base_column) return Status::Corruption("base table has no " + ColumnName(tag));
  for (size_t r = 0; r < base_rows_; ++r) {
    if (const std::optional<uint32_t> replaced = replaced_.Find(static_cast<uint32_t>(r))) {
      own_cell(replacements_[*replaced]);
      continue;
    }
    PST_ASSIGN_OR_RETURN(std::optional<Bytes> value, base_->ReadCell(r, *base_column));
    fn(value ? std::optional<ByteSpan>(*value) : std::nullopt);
  }
  for (const StoredRow& row : rows_) own_cell(row);
  return Status::Ok();
}

Result<Bytes> TableContextBuilder::EncodeRow(uint32_t row_id, ByteSpan cells, ValueWriter& values) const {
  Bytes bytes(row_size_, 0);
  Status failed;
  ForEachCell(cells, [&](size_t i, ByteSpan cell) {
    if (!failed.ok()) return;
    const Column& c = columns_[i];
    const uint16_t type = PropTypeOf(c.tag);
    if (KindOf(type) == ValueKind::kFixed && FixedSizeOf(type) == c.size) {
      std::copy(cell.begin(), cell.end(), bytes.begin() + c.offset);
    } else {
      auto hnid = values.Place(cell);
      if (!hnid.ok()) {
        failed = hnid.status().WithContext("row " + Hex(row_id) + ", " + ColumnName(c.tag));
        return;
      }
      EncodeFixed32(bytes.data() + c.offset, *hnid);
    }
    bytes[ends_[2] + c.bit / 8] |= static_cast<uint8_t>(0x80 >> (c.bit % 8));
  });
  PST_RETURN_IF_ERROR(failed);
  return bytes;
}

Result<WrittenNode> TableContextBuilder::Write(ndb::BlockWriter& writer) const {
  if (format_ != writer.format()) {
    return Status::InvalidArgument("table context built for another format than the store's");
  }
  if (format_ == ndb::Format::kUnicode4k) {
    return Status::NotSupported("writing table contexts in 4K-page stores");
  }
  const bool ansi = format_ == ndb::Format::kAnsi;
  const uint8_t index_entry = ansi ? 2 : 4;
  const size_t rows = row_count();
  if (rows > MaxRows(format_)) return TableFull(format_, rows);

  // The heap goes out page by page as the pages fill: the cell values of a
  // folder of 200,000 messages are not held at once.
  std::unique_ptr<ndb::BlocksInOrder> pages = writer.StartBlocks();
  HeapWriter heap(kHeapClientTable, format_);
  heap.StreamTo(pages.get());
  BthWriter row_index(&heap, 4, index_entry);
  PST_ASSIGN_OR_RETURN(Hid index_hid, row_index.AllocateHeader());
  PST_ASSIGN_OR_RETURN(Hid info_hid, heap.Reserve(kTcInfoSize + kColumnDescSize * columns_.size()));
  heap.set_user_root(info_hid);

  // Row index: row ids ascending -> row numbers, given to the BTH a piece
  // at a time. The base's rows come in that order from its own row index,
  // so only the rows added are sorted here: the table is written at the
  // peak of a conversion's memory, and a folder may hold a million rows.
  // Written before the cells' values, so that the heap's first pages are
  // complete early.
  {
    constexpr size_t kPieceBytes = 64 * 1024;
    const size_t record_size = 4u + index_entry;
    Bytes records;
    records.reserve(kPieceBytes + record_size);
    auto put = [&](uint32_t id, size_t row) -> Status {
      const size_t at = records.size();
      records.resize(at + record_size);
      EncodeFixed32(records.data() + at, id);
      if (ansi) {
        EncodeFixed16(records.data() + at + 4, static_cast<uint16_t>(row));
      } else {
        EncodeFixed32(records.data() + at + 4, static_cast<uint32_t>(row));
      }
      if (records.size() < kPieceBytes) return Status::Ok();
      Status added = row_index.Add(records);
      records.clear();
      return added;
    };
    std::vector<uint64_t> added(rows_.size());
    for (size_t i = 0; i < rows_.size(); ++i) added[i] = uint64_t{rows_[i].id} << 32 | (base_rows_ + i);
    std::sort(added.begin(), added.end());
    size_t next = 0;
    auto put_added_below = [&](uint64_t id) -> Status {
      for (; next < added.size() && (added[next] >> 32) < id; ++next) {
        PST_RETURN_IF_ERROR(put(static_cast<uint32_t>(added[next] >> 32), static_cast<uint32_t>(added[next])));
      }
      return Status::Ok();
    };
    size_t base_indexed = 0;
    if (base_) {
      PST_RETURN_IF_ERROR(base_->ForEachIndexed([&](uint32_t id, size_t row) -> Status {
        if (row >= base_rows_) {
          return Status::Corruption("row index names row " + std::to_string(row) + " of " +
                                    std::to_string(base_rows_));
        }
        ++base_indexed;
        PST_RETURN_IF_ERROR(put_added_below(id));
        return put(id, row);
      }));
    }
    if (base_indexed != base_rows_) {
      return Status::Corruption("row index names " + std::to_string(base_indexed) + " of the table's " +
                                std::to_string(base_rows_) + " rows");
    }
    PST_RETURN_IF_ERROR(put_added_below(uint64_t{1} << 32));
    PST_RETURN_IF_ERROR(row_index.Add(records));
    PST_RETURN_IF_ERROR(row_index.Finish().status());
  }

  const uint64_t matrix_size = uint64_t{row_size_} * rows;
  const bool matrix_in_heap = matrix_size <= std::min(heap_limit_, HeapWriter::kMaxItemSize);
  uint32_t hnid_rows = 0;
  if (rows != 0 && matrix_in_heap) {
    PST_ASSIGN_OR_RETURN(hnid_rows, heap.Reserve(static_cast<size_t>(matrix_size)));
  } else if (rows != 0) {
    hnid_rows = kRowMatrixSubnode;
  }

  Bytes info(kTcInfoSize, 0);
  info[0] = kTableType;
  info[1] = static_cast<uint8_t>(columns_.size());
  for (int i = 0; i < 4; ++i) EncodeFixed16(info.data() + 2 + 2 * i, ends_[i]);
  EncodeFixed32(info.data() + 10, index_hid);
  EncodeFixed32(info.data() + 14, hnid_rows);
  std::vector<Column> sorted = columns_;
  std::sort(sorted.begin(), sorted.end(),
            [](const Column& x, const Column& y) { return x.tag < y.tag; });
  for (const Column& c : sorted) {
    uint8_t desc[kColumnDescSize];
    EncodeFixed32(desc, c.tag);
    EncodeFixed16(desc + 4, c.offset);
    desc[6] = c.size;
    desc[7] = c.bit;
    info.insert(info.end(), desc, desc + kColumnDescSize);
  }
  PST_RETURN_IF_ERROR(heap.Write(info_hid, info));

  // The row matrix: one heap item, or blocks of whole rows, each block
  // encoded as the writer asks for it.
  ValueWriter values(&writer, &heap, heap_limit_);
  Bytes scratch;
  auto encode = [&](size_t row) -> Result<Bytes> {
    PST_ASSIGN_OR_RETURN(uint32_t id, RowIdOf(row));
    PST_ASSIGN_OR_RETURN(ByteSpan cells, CellsOfRow(row, &scratch));
    return EncodeRow(id, cells, values);
  };
  if (rows != 0 && matrix_in_heap) {
    Bytes matrix;
    matrix.reserve(static_cast<size_t>(matrix_size));
    for (size_t r = 0; r < rows; ++r) {
      PST_ASSIGN_OR_RETURN(Bytes bytes, encode(r));
      matrix.insert(matrix.end(), bytes.begin(), bytes.end());
    }
    PST_RETURN_IF_ERROR(heap.Write(hnid_rows, matrix));
  } else if (rows != 0) {
    const size_t block_size = ndb::LayoutOf(format_).max_block_data;
    const size_t per_block = block_size / row_size_;
    const size_t full_blocks = (rows - 1) / per_block;  // every block but the last is full size
    const uint64_t size = uint64_t{full_blocks} * block_size + (rows - full_blocks * per_block) * row_size_;
    auto block = [&](uint64_t offset, std::span<uint8_t> out) -> Status {
      std::fill(out.begin(), out.end(), 0);
      size_t r = static_cast<size_t>(offset / block_size) * per_block;
      for (size_t at = 0; r < rows && at + row_size_ <= out.size(); ++r, at += row_size_) {
        PST_ASSIGN_OR_RETURN(Bytes bytes, encode(r));
        std::copy(bytes.begin(), bytes.end(), out.begin() + static_cast<ptrdiff_t>(at));
      }
      return Status::Ok();
    };
    PST_RETURN_IF_ERROR(values.PlaceStreamAs(kRowMatrixSubnode, size, block));
  }

  PST_RETURN_IF_ERROR(heap.FinishInto());
  PST_ASSIGN_OR_RETURN(ndb::Bid data_bid, pages->Finish());
  std::vector<ndb::SubnodeEntry> own = values.Take();
  auto subnode_bid = writer.WriteSubnodeTree(own);
  if (!subnode_bid.ok()) {
    (void)writer.Release(data_bid);
    (void)ReleaseSubnodes(writer, own);
    return subnode_bid.status();
  }
  return WrittenNode{data_bid, *subnode_bid};
}

}  // namespace pst::ltp
