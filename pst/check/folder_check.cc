// Folder pass: each folder's tables against the node index and its counts
// ([MS-PST] 2.4.4), and the store's folder EntryIDs ([MS-PST] 2.4.3).
//
// A normal folder (type 0x02) has three tables sharing its nidIndex:
//   hierarchy 0x0D  one row per child folder     RowID = folder NID
//   contents  0x0E  one row per normal message   RowID = message NID
//   FAI       0x0F  one row per associated msg   RowID = message NID
// and the children are the NBT nodes whose nidParent is the folder. The
// folder's PidTagContentCount (0x3602) counts the contents rows,
// PidTagContentUnreadCount (0x3603) the messages without MSGFLAG_READ (0x01
// in PidTagMessageFlags 0x0E07), PidTagSubfolders (0x360A) says whether the
// hierarchy table has rows, PidTagAssociatedContentCount (0x3617, when
// present; only folders copied from a server carry it, so a difference is a
// warning) counts the FAI rows. A folder's row in its parent's hierarchy
// table carries the same name and counts as the folder itself.
// Search folders (type 0x03) list messages of other folders in a type 0x10
// table; those rows must name existing messages.
#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/check/context.h"
#include "pst/ltp/property_context.h"
#include "pst/ltp/table_context.h"
#include "pst/messaging/entry_id.h"
#include "pst/messaging/property_access.h"
#include "pst/messaging/tags.h"

namespace pst::check {
namespace {

using ndb::Nid;
namespace msg = messaging;

constexpr uint16_t kPidAssociatedContentCount = 0x3617;
constexpr uint32_t kMsgFlagRead = 0x01;
constexpr uint16_t kClientMagicPst = 0x4D53;  // "SM"

bool IsFolderType(uint8_t t) {
  return t == ndb::kNidTypeNormalFolder || t == ndb::kNidTypeSearchFolder;
}

class FolderChecker {
 public:
  FolderChecker(Context& ctx, const ndb::Database& db) : ctx_(ctx), db_(db) {}

  void Run() {
    if (!ctx_.FindNode(ndb::kNidRootFolder)) {
      ctx_.findings.Error(NodeWhere(ndb::kNidRootFolder), "the root folder is missing");
    }
    IndexChildren();
    for (const ndb::NodeEntry& n : ctx_.nodes) {
      const uint8_t type = ndb::NidTypeOf(n.nid);
      if (type == ndb::kNidTypeNormalFolder) Folder(n.nid);
      if (type == ndb::kNidTypeSearchFolder) SearchFolder(n.nid);
    }
    // An OST's store object names its folders by server ids instead.
    if (ctx_.header.client_magic == kClientMagicPst) StoreEntryIds();
  }

 private:
  struct Children {
    std::vector<Nid> folders, messages, associated;
  };

  // Children by nidParent; also checks that every folder and message names
  // an existing folder as its parent.
  void IndexChildren() {
    for (const ndb::NodeEntry& n : ctx_.nodes) {
      const uint8_t type = ndb::NidTypeOf(n.nid);
      const bool folder = IsFolderType(type);
      const bool message = type == ndb::kNidTypeNormalMessage || type == ndb::kNidTypeAssocMessage;
      if (!folder && !message) continue;
      if (n.nid == ndb::kNidRootFolder) {
        if (n.parent_nid != n.nid) {
          ctx_.findings.Error(NodeWhere(n.nid), "the root folder's nidParent is " +
                                                    Hex(n.parent_nid) + ", not itself");
        }
        continue;
      }
      const ndb::NodeEntry* parent = ctx_.FindNode(n.parent_nid);
      if (parent == nullptr || ndb::NidTypeOf(n.parent_nid) != ndb::kNidTypeNormalFolder) {
        ctx_.findings.Error(NodeWhere(n.nid), "nidParent " + Hex(n.parent_nid) +
                                                  (parent ? " is not a folder" : " names no node"));
        continue;
      }
      Children& c = children_[n.parent_nid];
      (folder ? c.folders : type == ndb::kNidTypeNormalMessage ? c.messages : c.associated)
          .push_back(n.nid);
    }
  }

  Result<ltp::PropertyContext> OpenProperties(Nid nid) {
    PST_ASSIGN_OR_RETURN(auto node, db_.OpenNode(nid));
    return ltp::PropertyContext::Open(std::move(node));
  }

  // The rows of one of a folder's tables against the children found in the
  // NBT. Returns the table (or nullopt if it cannot be read).
  std::optional<ltp::TableContext> Table(Nid folder, uint8_t table_type, uint8_t child_type,
                                         const std::vector<Nid>& expected, const char* name) {
    const std::string where = "folder " + Hex(folder);
    const Nid table_nid = ndb::WithNidType(folder, table_type);
    if (!ctx_.FindNode(table_nid)) {
      ctx_.findings.Error(where, std::string("has no ") + name + " table (node " +
                                     Hex(table_nid) + ")");
      return std::nullopt;
    }
    auto node = db_.OpenNode(table_nid);
    if (!node.ok()) return std::nullopt;  // reported by the object pass
    auto tc = ltp::TableContext::Open(std::move(node).value());
    if (!tc.ok()) return std::nullopt;
    // Errors: a row that leads nowhere is an item Outlook lists but cannot
    // open, and a child without a row is mail Outlook never shows.
    std::unordered_set<Nid> rows;
    for (size_t row = 0; row < tc->row_count(); ++row) {
      auto id = tc->RowId(row);
      if (!id.ok()) continue;
      rows.insert(*id);
      const ndb::NodeEntry* child = ctx_.FindNode(*id);
      const std::string what = std::string(name) + " row " + std::to_string(row) + " names ";
      if (child == nullptr) {
        ctx_.findings.Error(where, what + Hex(*id) + ", which is not in the NBT");
      } else if (ndb::NidTypeOf(*id) != child_type &&
                 !(child_type == ndb::kNidTypeNormalFolder && IsFolderType(ndb::NidTypeOf(*id)))) {
        ctx_.findings.Error(where, what + Hex(*id) + ", a node of the wrong type");
      } else if (child->parent_nid != folder) {
        ctx_.findings.Error(where, what + Hex(*id) + ", whose nidParent is " +
                                       Hex(child->parent_nid));
      }
    }
    for (Nid c : expected) {
      if (!rows.count(c)) {
        ctx_.findings.Error(where, NodeWhere(c) + " names the folder as its parent but has no row "
                                                  "in its " + name + " table");
      }
    }
    return std::move(tc).value();
  }

  // Compares a row's cell with the child's own property of the same tag.
  void CompareCell(const ltp::TableContext& tc, size_t row, ltp::PropTag tag,
                   const ltp::PropertyContext& child, const std::string& where) {
    const auto* column = tc.FindColumn(tag);
    const auto* entry = child.Find(ltp::PropIdOf(tag));
    if (column == nullptr || entry == nullptr || entry->type != ltp::PropTypeOf(tag)) return;
    auto cell = tc.ReadCell(row, *column);
    auto value = child.ReadValue(*entry);
    if (!cell.ok() || !value.ok() || !*cell) return;
    if (**cell != *value) {
      // Warning: the row is the parent's cached copy; readers and Outlook
      // take the folder's own property.
      ctx_.findings.Warning(where, "its row in the parent's hierarchy table differs from its own "
                                 "property " + Hex(tag));
    }
  }

  void Folder(Nid nid) {
    ++ctx_.report->counts.folders;
    const std::string where = "folder " + Hex(nid);
    const Children& kids = children_[nid];
    auto pc = OpenProperties(nid);
    if (!pc.ok()) return;  // reported by the object pass
    for (uint16_t id : {msg::kPidDisplayName, msg::kPidContentCount, msg::kPidContentUnreadCount,
                        msg::kPidSubfolders}) {
      // Warning: the counts are computed by the store, and Outlook writes
      // stores whose folders lack them; a missing name shows as empty.
      if (!pc->Find(id)) ctx_.findings.Warning(where, "lacks property " + Hex(id));
    }
    auto count = msg::GetInt32(*pc, msg::kPidContentCount);
    auto unread = msg::GetInt32(*pc, msg::kPidContentUnreadCount);
    auto subfolders = msg::GetBool(*pc, msg::kPidSubfolders);
    auto assoc = msg::GetInt32(*pc, kPidAssociatedContentCount);

    auto hierarchy = Table(nid, ndb::kNidTypeHierarchyTable, ndb::kNidTypeNormalFolder,
                           kids.folders, "hierarchy");
    auto contents = Table(nid, ndb::kNidTypeContentsTable, ndb::kNidTypeNormalMessage,
                          kids.messages, "contents");
    auto fai = Table(nid, ndb::kNidTypeAssocContentsTable, ndb::kNidTypeAssocMessage,
                     kids.associated, "FAI contents");

    if (hierarchy && subfolders.ok() && *subfolders &&
        **subfolders != (hierarchy->row_count() > 0)) {
      // Warning, as the counts below: a summary of the table, which readers
      // read instead.
      ctx_.findings.Warning(where, std::string("PidTagSubfolders is ") +
                                     (**subfolders ? "true" : "false") + ", the hierarchy table has " +
                                     std::to_string(hierarchy->row_count()) + " rows");
    }
    if (contents && count.ok() && *count &&
        static_cast<uint64_t>(static_cast<uint32_t>(**count)) != contents->row_count()) {
      ctx_.findings.Warning(where, "PidTagContentCount is " + std::to_string(**count) +
                                     ", the contents table has " +
                                     std::to_string(contents->row_count()) + " rows");
    }
    if (fai && assoc.ok() && *assoc &&
        static_cast<uint64_t>(static_cast<uint32_t>(**assoc)) != fai->row_count()) {
      // Note: only folders copied from a server carry it, with the server's
      // count; the store never keeps it up to date.
      ctx_.findings.Note(where, "PidTagAssociatedContentCount is " + std::to_string(**assoc) +
                                       ", the FAI contents table has " +
                                       std::to_string(fai->row_count()) + " rows");
    }
    if (contents) Messages(nid, *contents, unread);
    if (hierarchy) SubfolderRows(*hierarchy);
  }

  // Counts the unread messages of the contents table and compares each row's
  // flags with the message's own.
  void Messages(Nid folder, const ltp::TableContext& contents,
                const Result<std::optional<int32_t>>& unread) {
    const std::string where = "folder " + Hex(folder);
    const auto* flags_column = contents.FindColumn(ltp::MakeTag(msg::kPidMessageFlags, ltp::kPtypInteger32));
    uint64_t counted = 0;
    bool complete = true;
    for (size_t row = 0; row < contents.row_count(); ++row) {
      auto id = contents.RowId(row);
      if (!id.ok() || ndb::NidTypeOf(*id) != ndb::kNidTypeNormalMessage || !ctx_.FindNode(*id)) {
        complete = false;
        continue;
      }
      ++ctx_.report->counts.messages;
      auto pc = OpenProperties(*id);
      if (!pc.ok()) {
        complete = false;
        continue;
      }
      auto flags = msg::GetInt32(*pc, msg::kPidMessageFlags);
      if (!flags.ok() || !*flags) {
        complete = false;
        continue;
      }
      const uint32_t f = static_cast<uint32_t>(**flags);
      if ((f & kMsgFlagRead) == 0) ++counted;
      if (flags_column == nullptr) continue;
      auto cell = contents.ReadCell(row, *flags_column);
      if (cell.ok() && *cell && (*cell)->size() == 4 && DecodeFixed32((*cell)->data()) != f) {
        // Warning: the row caches the message's flags; the message decides.
        ctx_.findings.Warning(where, "contents row of " + NodeWhere(*id) + " has PidTagMessageFlags " +
                                       Hex(DecodeFixed32((*cell)->data())) + ", the message " +
                                       Hex(f));
      }
    }
    if (complete && unread.ok() && *unread &&
        static_cast<uint64_t>(static_cast<uint32_t>(**unread)) != counted) {
      ctx_.findings.Warning(where, "PidTagContentUnreadCount is " + std::to_string(**unread) + ", " +
                                     std::to_string(counted) + " of its messages are unread");
    }
  }

  void SubfolderRows(const ltp::TableContext& hierarchy) {
    for (size_t row = 0; row < hierarchy.row_count(); ++row) {
      auto id = hierarchy.RowId(row);
      if (!id.ok() || !IsFolderType(ndb::NidTypeOf(*id)) || !ctx_.FindNode(*id)) continue;
      auto child = OpenProperties(*id);
      if (!child.ok()) continue;
      const std::string where = "folder " + Hex(*id);
      for (ltp::PropTag tag : {ltp::MakeTag(msg::kPidContentCount, ltp::kPtypInteger32),
                               ltp::MakeTag(msg::kPidContentUnreadCount, ltp::kPtypInteger32),
                               ltp::MakeTag(msg::kPidSubfolders, ltp::kPtypBoolean),
                               ltp::MakeTag(msg::kPidDisplayName, ltp::kPtypString),
                               ltp::MakeTag(msg::kPidDisplayName, ltp::kPtypString8)}) {
        CompareCell(hierarchy, row, tag, *child, where);
      }
    }
  }

  void SearchFolder(Nid nid) {
    ++ctx_.report->counts.folders;
    const Nid table_nid = ndb::WithNidType(nid, ndb::kNidTypeSearchContentsTable);
    if (!ctx_.FindNode(table_nid)) return;  // search folders need not have one
    auto node = db_.OpenNode(table_nid);
    if (!node.ok()) return;
    auto tc = ltp::TableContext::Open(std::move(node).value());
    if (!tc.ok()) return;
    for (size_t row = 0; row < tc->row_count(); ++row) {
      auto id = tc->RowId(row);
      if (!id.ok()) continue;
      const ndb::NodeEntry* m = ctx_.FindNode(*id);
      if (m == nullptr || ndb::NidTypeOf(*id) != ndb::kNidTypeNormalMessage) {
        ctx_.findings.Error("search folder " + Hex(nid),
                            "search contents row " + std::to_string(row) + " names " + Hex(*id) +
                                (m ? ", which is not a message" : ", which is not in the NBT"));
      }
    }
  }

  void StoreEntryIds() {
    const std::string where = NodeWhere(ndb::kNidMessageStore) + " (message store)";
    if (!ctx_.FindNode(ndb::kNidMessageStore)) {
      ctx_.findings.Error(where, "the message store node is missing");
      return;
    }
    auto pc = OpenProperties(ndb::kNidMessageStore);
    if (!pc.ok()) return;
    auto record_key = msg::GetBinary(*pc, msg::kPidRecordKey);
    const bool have_key = record_key.ok() && *record_key && (*record_key)->size() == 16;
    if (!have_key) ctx_.findings.Error(where, "lacks a 16-byte PidTagRecordKey");
    for (uint16_t id : {msg::kPidIpmSubtreeEntryId, msg::kPidIpmWastebasketEntryId,
                        msg::kPidFinderEntryId}) {
      auto value = msg::GetBinary(*pc, id);
      if (!value.ok()) continue;  // reported by the object pass
      if (!*value) {
        ctx_.findings.Error(where, "lacks folder EntryID property " + Hex(id));
        continue;
      }
      auto entry = msg::DecodeEntryId(**value);
      if (!entry) {
        ctx_.findings.Error(where, "property " + Hex(id) + " is not a 24-byte EntryID");
        continue;
      }
      if (have_key && !std::equal(entry->store_uid.begin(), entry->store_uid.end(),
                                  (*record_key)->begin())) {
        ctx_.findings.Error(where, "property " + Hex(id) + " names another store");
      }
      if (!ctx_.FindNode(entry->nid) || !IsFolderType(ndb::NidTypeOf(entry->nid))) {
        ctx_.findings.Error(where, "property " + Hex(id) + " names " + Hex(entry->nid) +
                                       ", which is not a folder");
      }
    }
  }

  Context& ctx_;
  const ndb::Database& db_;
  std::unordered_map<Nid, Children> children_;
};

}  // namespace

void CheckFolders(Context& ctx, const ndb::Database& db) { FolderChecker(ctx, db).Run(); }

}  // namespace pst::check
