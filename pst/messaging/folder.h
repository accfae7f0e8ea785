// A folder ([MS-PST] 2.4.4): its property context (type 0x02 or 0x03 node)
// and the tables that list its children, which share its NID index:
//   hierarchy table  type 0x0D  child folders
//   contents table   type 0x0E  messages (search folders: type 0x10)
//   FAI contents     type 0x0F  associated (hidden) messages
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pst/base/result.h"
#include "pst/ltp/property_context.h"
#include "pst/ltp/table_context.h"
#include "pst/ndb/types.h"

namespace pst::messaging {

class Store;

class Folder {
 public:
  static Result<Folder> Open(const Store& store, ndb::Nid nid);

  ndb::Nid nid() const { return nid_; }
  bool is_search_folder() const { return ndb::NidTypeOf(nid_) == ndb::kNidTypeSearchFolder; }
  const ltp::PropertyContext& properties() const { return *props_; }

  // UTF-8; 8-bit names are decoded with the store's default code page.
  Result<std::string> DisplayName() const;

  // Child folders in hierarchy-table order (none for search folders); when
  // the table is damaged, the folders whose parent link names this one.
  Result<std::vector<ndb::Nid>> SubfolderNids() const;
  // Messages in contents-table order (none for search folders, whose
  // table lists results held by other folders).
  Result<std::vector<ndb::Nid>> MessageNids() const;
  // Associated (FAI) messages in FAI-contents-table order.
  Result<std::vector<ndb::Nid>> AssociatedMessageNids() const;
  // The same ids handed to `take` at most `piece_size` at a time, so that a
  // folder of millions of messages is never held whole. A table with an
  // unreadable row gives its error before any piece, as the lists above do.
  using NidPiece = std::function<void(const std::vector<ndb::Nid>&)>;
  Status ForEachMessageNidPiece(size_t piece_size, const NidPiece& take) const;
  Status ForEachAssociatedMessageNidPiece(size_t piece_size, const NidPiece& take) const;

  Result<ltp::TableContext> OpenHierarchyTable() const;
  Result<ltp::TableContext> OpenContentsTable() const;
  Result<ltp::TableContext> OpenAssociatedContentsTable() const;

  Folder(Folder&&) = default;
  Folder& operator=(Folder&&) = default;

 private:
  Folder(const Store* store, ndb::Nid nid) : store_(store), nid_(nid) {}
  Result<ltp::TableContext> OpenTable(uint8_t nid_type) const;
  Result<std::vector<ndb::Nid>> RowIds(uint8_t nid_type) const;
  Status RowIdPieces(uint8_t nid_type, size_t piece_size, const NidPiece& take) const;

  const Store* store_;
  ndb::Nid nid_;
  std::unique_ptr<ltp::PropertyContext> props_;
};

}  // namespace pst::messaging
