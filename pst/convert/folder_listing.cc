// FolderCopier: what a folder lists — its messages and subfolders, read
// from its tables or, when those are damaged, from the parent links of the
// node B-tree — and copying what was listed.
#include <algorithm>
#include <set>

#include "pst/base/hex.h"
#include "pst/convert/folder_copier.h"

namespace pst::convert {

FolderCopier::MessageListing FolderCopier::ListMessages(const messaging::Folder& folder, bool associated,
                                                        const std::string& path) {
  const char* table_name = associated ? "FAI contents table" : "contents table";
  FolderDamage(folder.nid(), path, "");
  auto table = associated ? folder.OpenAssociatedContentsTable() : folder.OpenContentsTable();
  MessageListing listing;
  std::string damage = table.ok() ? "" : table.status().ToString();
  // Rows at the table's start that each name a message in the store that
  // no listing had yet; they are listed (in the report) as they are found.
  size_t fresh_rows = 0;
  if (!table.ok()) {
    report_->failures.push_back(path + ": " + table_name + ": " + table.status().ToString());
  } else {
    listing.table.emplace(std::move(table).value());
    const ltp::TableContext& tc = *listing.table;
    for (; fresh_rows < tc.row_count(); ++fresh_rows) {
      auto id = tc.RowId(fresh_rows);
      if (!id.ok() || source_.database().FindNode(*id).status().IsNotFound() ||
          !report_->listed_messages.Insert(*id)) {
        break;
      }
    }
  }
  if (listing.table && fresh_rows == listing.table->row_count()) {
    listing.whole_table = fresh_rows;
    FolderDamage(folder.nid(), path, table_name);
    return listing;
  }
  if (listing.table) {
    const ltp::TableContext& tc = *listing.table;
    // Room for every row at once (a doubled vector holds up to twice what it
    // needs for the whole copy of the folder); a damaged table's row count
    // may be far above what the file holds, so only up to a bound.
    listing.ids.reserve(std::min<size_t>(tc.row_count(), size_t{1} << 20));
    for (size_t row = 0; row < tc.row_count(); ++row) {
      auto id = tc.RowId(row);
      if (!id.ok()) {
        report_->failures.push_back(path + ": message row " + std::to_string(row) + ": " + id.status().ToString());
        if (damage.empty()) damage = id.status().ToString();
        continue;
      }
      // A row naming no node is a damaged row (or table).
      if (damage.empty() && source_.database().FindNode(*id).status().IsNotFound()) {
        damage = "row " + std::to_string(row) + " names message " + Hex(*id) + ", which is not in the store";
      }
      listing.Add(*id, static_cast<uint32_t>(row));  // a table holds fewer than 2^30 rows
    }
  }
  if (!damage.empty() && options_.salvage) {
    // Messages name their folder in the node B-tree too. (Only for a
    // damaged table: a scan of a damaged store may also find messages
    // deleted long ago, which must not come back into their folder.)
    auto links = source_.Links();
    size_t found = 0;
    if (links.ok()) {
      std::set<ndb::Nid> have;
      have.insert(listing.ids.begin(), listing.ids.end());
      const uint8_t type = associated ? ndb::kNidTypeAssocMessage : ndb::kNidTypeNormalMessage;
      for (ndb::Nid id : (*links)->ChildrenOf(folder.nid(), type)) {
        if (have.insert(id).second) listing.Add(id, MessageListing::kNoRow), ++found;
      }
    }
    Note(false, path, "folder " + Hex(folder.nid()), table_name,
         "damaged (" + damage + "); " + std::to_string(found) + " messages found by their parent links" +
             (links.ok() ? "" : " (" + links.status().ToString() + ")"));
  }
  FolderDamage(folder.nid(), path, table_name);
  // A table listing one twice (or two tables listing one) copies it once.
  // The fresh rows at the start are in the listed set already.
  listing.Filter([&](ndb::Nid id, uint32_t row) {
    return (row != MessageListing::kNoRow && row < fresh_rows) || report_->listed_messages.Insert(id);
  });
  return listing;
}

void FolderCopier::MessageListing::KeepRows() {
  if (!rows.empty() || ids.empty()) return;
  rows.resize(ids.size());
  for (size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<uint32_t>(i);
}

void FolderCopier::MessageListing::Add(ndb::Nid id, uint32_t row) {
  if (rows.empty() && row != ids.size()) KeepRows();
  ids.push_back(id);
  if (!rows.empty()) rows.push_back(row);
}

void FolderCopier::MessageListing::Filter(const std::function<bool(ndb::Nid, uint32_t row)>& keep) {
  // In place: a second list would double the folder's share.
  size_t kept = 0;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (!keep(ids[i], RowOf(i))) {
      KeepRows();  // the messages after it are no longer in their rows' places
      continue;
    }
    ids[kept] = ids[i];
    if (!rows.empty()) rows[kept] = rows[i];
    ++kept;
  }
  ids.resize(kept);
  if (!rows.empty()) rows.resize(kept);
}

Status FolderCopier::CopyListedMessage(const MessageListing& listing, size_t index, ndb::Nid target,
                                       bool associated, const std::string& path) {
  const uint32_t row = listing.RowOf(index);
  const bool has_row = row != MessageListing::kNoRow && listing.table;
  auto id = listing.IdAt(index);
  if (!id.ok()) {  // read once when listed: the file changed, or a read failed
    report_->failures.push_back(path + ": message row " + std::to_string(row) + ": " + id.status().ToString());
    return Status::Ok();
  }
  return CopyMessage(*id, has_row ? &*listing.table : nullptr, has_row ? row : 0, target, associated, path);
}

Status FolderCopier::CopyMessages(const messaging::Folder& folder, ndb::Nid target, bool associated,
                                  const std::string& path) {
  const MessageListing listing = ListMessages(folder, associated, path);
  for (size_t i = 0; i < listing.size(); ++i) {
    PST_RETURN_IF_ERROR(CopyListedMessage(listing, i, target, associated, path));
  }
  return Status::Ok();
}

std::vector<ndb::Nid> FolderCopier::Subfolders(const messaging::Folder& folder, const std::string& path) {
  std::vector<ndb::Nid> children = ListSubfolders(folder, path);
  FolderDamage(folder.nid(), path, "hierarchy table");
  return children;
}

std::vector<ndb::Nid> FolderCopier::ListSubfolders(const messaging::Folder& folder, const std::string& path) {
  auto children = folder.SubfolderNids();
  if (children.ok()) return std::move(children).value();
  report_->failures.push_back(path + ": subfolders: " + children.status().ToString());
  if (!options_.salvage) return {};
  // Folders name their parent in the node B-tree too.
  auto links = source_.Links();
  std::vector<ndb::Nid> found;
  if (links.ok()) found = (*links)->ChildrenOf(folder.nid(), ndb::kNidTypeNormalFolder);
  Note(false, path, "folder " + Hex(folder.nid()), "hierarchy table",
       "damaged (" + children.status().ToString() + "); " + std::to_string(found.size()) +
           " subfolders found by their parent links" + (links.ok() ? "" : " (" + links.status().ToString() + ")"));
  return found;
}

Status FolderCopier::CopyContents(ndb::Nid folder_nid, ndb::Nid target_folder) {
  PST_ASSIGN_OR_RETURN(messaging::Folder folder, source_.OpenFolder(folder_nid));
  const std::string path = folder.DisplayName().value_or("");
  PST_RETURN_IF_ERROR(CopyMessages(folder, target_folder, false, path));
  return CopyMessages(folder, target_folder, true, path);
}

Status FolderCopier::CopyMessageList(const std::vector<ndb::Nid>& messages, ndb::Nid target_folder,
                                     const std::string& path) {
  for (ndb::Nid id : messages) {
    if (!report_->listed_messages.Insert(id)) continue;
    PST_RETURN_IF_ERROR(CopyMessage(id, nullptr, 0, target_folder, false, path));
  }
  return Status::Ok();
}

}  // namespace pst::convert
