#include "pst/messaging/folder.h"

#include <algorithm>

#include "pst/base/hex.h"
#include "pst/messaging/property_access.h"
#include "pst/messaging/store.h"
#include "pst/messaging/tags.h"

namespace pst::messaging {

Result<Folder> Folder::Open(const Store& store, ndb::Nid nid) {
  const uint8_t type = ndb::NidTypeOf(nid);
  if (type != ndb::kNidTypeNormalFolder && type != ndb::kNidTypeSearchFolder) {
    return Status::InvalidArgument("node " + Hex(nid) + " is not a folder");
  }
  Folder folder(&store, nid);
  auto node = store.database().OpenNode(nid);
  if (!node.ok()) return node.status().WithContext("folder " + Hex(nid));
  auto pc = ltp::PropertyContext::Open(std::move(node).value());
  if (!pc.ok()) return pc.status().WithContext("folder " + Hex(nid));
  folder.props_ = std::make_unique<ltp::PropertyContext>(std::move(pc).value());
  return folder;
}

Result<std::string> Folder::DisplayName() const {
  PST_ASSIGN_OR_RETURN(auto name, GetString(*props_, kPidDisplayName, store_->default_codepage()));
  return name.value_or(std::string());
}

Result<ltp::TableContext> Folder::OpenTable(uint8_t nid_type) const {
  const ndb::Nid table_nid = ndb::WithNidType(nid_, nid_type);
  auto node = store_->database().OpenNode(table_nid);
  if (!node.ok()) return node.status().WithContext("table " + Hex(table_nid) + " of folder " + Hex(nid_));
  auto table = ltp::TableContext::Open(std::move(node).value());
  if (!table.ok()) return table.status().WithContext("table " + Hex(table_nid) + " of folder " + Hex(nid_));
  return table;
}

Result<std::vector<ndb::Nid>> Folder::RowIds(uint8_t nid_type) const {
  PST_ASSIGN_OR_RETURN(ltp::TableContext table, OpenTable(nid_type));
  std::vector<ndb::Nid> ids;
  ids.reserve(table.row_count());
  for (size_t row = 0; row < table.row_count(); ++row) {
    PST_ASSIGN_OR_RETURN(uint32_t id, table.RowId(row));
    ids.push_back(id);
  }
  return ids;
}

Status Folder::RowIdPieces(uint8_t nid_type, size_t piece_size, const NidPiece& take) const {
  PST_ASSIGN_OR_RETURN(ltp::TableContext table, OpenTable(nid_type));
  piece_size = std::max<size_t>(piece_size, 1);
  const size_t rows = table.row_count();
  // A table of more than one piece is read through once first: a damaged row
  // near its end must refuse the table before the first piece is used.
  if (rows > piece_size) {
    for (size_t row = 0; row < rows; ++row) PST_RETURN_IF_ERROR(table.RowId(row).status());
  }
  std::vector<ndb::Nid> piece;
  piece.reserve(std::min(rows, piece_size));
  for (size_t row = 0; row < rows; ++row) {
    PST_ASSIGN_OR_RETURN(uint32_t id, table.RowId(row));
    piece.push_back(id);
    if (piece.size() == piece_size || row + 1 == rows) {
      take(piece);
      piece.clear();
    }
  }
  return Status::Ok();
}

Result<ltp::TableContext> Folder::OpenHierarchyTable() const {
  return OpenTable(ndb::kNidTypeHierarchyTable);
}

Result<ltp::TableContext> Folder::OpenContentsTable() const {
  return OpenTable(is_search_folder() ? ndb::kNidTypeSearchContentsTable : ndb::kNidTypeContentsTable);
}

Result<ltp::TableContext> Folder::OpenAssociatedContentsTable() const {
  return OpenTable(ndb::kNidTypeAssocContentsTable);
}

Result<std::vector<ndb::Nid>> Folder::SubfolderNids() const {
  if (is_search_folder()) return std::vector<ndb::Nid>();
  auto ids = RowIds(ndb::kNidTypeHierarchyTable);
  if (ids.ok() || ids.status().code() != Status::Code::kCorruption) return ids;
  // A damaged hierarchy table: the subfolders still name this folder as
  // their parent in the node B-tree.
  auto links = store_->Links();
  if (!links.ok()) return ids;
  std::vector<ndb::Nid> found = (*links)->ChildrenOf(nid_, ndb::kNidTypeNormalFolder);
  for (ndb::Nid search : (*links)->ChildrenOf(nid_, ndb::kNidTypeSearchFolder)) found.push_back(search);
  if (found.empty()) return ids;
  return found;
}

Result<std::vector<ndb::Nid>> Folder::MessageNids() const {
  // A search folder holds no messages of its own: its table lists search
  // results that live in other folders (and may not be built yet).
  if (is_search_folder()) return std::vector<ndb::Nid>();
  return RowIds(ndb::kNidTypeContentsTable);
}

Result<std::vector<ndb::Nid>> Folder::AssociatedMessageNids() const {
  if (is_search_folder()) return std::vector<ndb::Nid>();
  return RowIds(ndb::kNidTypeAssocContentsTable);
}

Status Folder::ForEachMessageNidPiece(size_t piece_size, const NidPiece& take) const {
  if (is_search_folder()) return Status::Ok();
  return RowIdPieces(ndb::kNidTypeContentsTable, piece_size, take);
}

Status Folder::ForEachAssociatedMessageNidPiece(size_t piece_size, const NidPiece& take) const {
  if (is_search_folder()) return Status::Ok();
  return RowIdPieces(ndb::kNidTypeAssocContentsTable, piece_size, take);
}

}  // namespace pst::messaging
