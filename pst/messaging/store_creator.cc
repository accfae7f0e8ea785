// A new store, node by node ([MS-PST] 2.4, 2.7; the node sets of empty
// stores Outlook made):
//
//   0x21          store: record key, name, EntryIDs of the IPM subtree,
//                 wastebasket and finder (and, Outlook 2007 on, the common
//                 views), password 0
//   0x61          name-to-id map: 251 buckets, the names Outlook starts with
//   0x122         root folder (its own parent), no name, + 0x12D/E/F tables
//   0x1E1 0x201 0x261   search queue, activity list, domain object
//   0x60D ...     table templates; empty folder tables share their blocks
//   0x62B         receive-folder table: "" -> root folder
//   folders       Top of Personal Folders (+ Deleted Items), Search Root
//
// Outlook 2007 and later add the junk-mail search folder 0x2223 (with its
// update queue 0x2226, criteria 0x2227 and contents table 0x2230, listed in
// the activity list), IPM_COMMON_VIEWS, the templates 0x6B6/0x6D7/0x6F8,
// an empty GUID index 0xC01 and the empty nodes 0xE41, 0xEC1, 0xF21; older
// versions swap the NIDs of Deleted Items and Search Root.
#include "pst/messaging/store_creator.h"

#include <optional>
#include <random>
#include <vector>

#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/ltp/bth_writer.h"
#include "pst/ltp/heap_writer.h"
#include "pst/ltp/node_writer.h"
#include "pst/messaging/entry_id.h"
#include "pst/messaging/initial_names.h"
#include "pst/messaging/name_map_writer.h"
#include "pst/messaging/table_templates.h"
#include "pst/messaging/tags.h"
#include "pst/messaging/text.h"
#include "pst/ndb/transaction.h"

namespace pst::messaging {
namespace {

using ltp::MakeTag;
using ltp::PropTag;
using ndb::Nid;

constexpr Nid kNidSpamSearchFolder = 0x2223;
constexpr Nid kNidGuidIndex = 0xC01;
constexpr Nid kEmptyInternalNodes[] = {0xE41, 0xEC1, 0xF21};
constexpr uint8_t kHeapClientGuidIndex = 0x9C;

// Store properties without a name in tags.h.
constexpr uint16_t kPidReplVersionHistory = 0x0E34;
constexpr uint16_t kPidReplFlags = 0x0E38;
constexpr uint16_t kPidValidFolderMask = 0x35DF;
constexpr uint16_t kPidCommonViewsEntryId = 0x35E6;
constexpr uint16_t kPidPstLrNoRestrictions = 0x6633;
constexpr uint16_t kPidPstLatestEnsure = 0x66FA;
constexpr uint16_t kPid66FC = 0x66FC;
constexpr uint16_t kPidReceiveFolderNid = 0x6605;
constexpr uint16_t kPidSearchCriteriaState = 0x660B;

Bytes I32(uint32_t v) {
  Bytes b(4);
  EncodeFixed32(b.data(), v);
  return b;
}

std::array<uint8_t, 16> NewGuid() {
  std::random_device random;
  std::array<uint8_t, 16> g;
  for (size_t i = 0; i < g.size(); i += 4) EncodeFixed32(g.data() + i, random());
  g[7] = static_cast<uint8_t>((g[7] & 0x0F) | 0x40);  // version 4, random
  g[8] = static_cast<uint8_t>((g[8] & 0x3F) | 0x80);
  return g;
}

struct Folder {
  Nid nid = 0;
  Nid parent = 0;
  std::string name;
  std::optional<std::string> comment;  // "" is stored as an empty value
  std::vector<const Folder*> children;
};

class StoreWriter {
 public:
  StoreWriter(ndb::Transaction& txn, const StoreOptions& options)
      : txn_(txn), options_(options), format_(options.format),
        set_(TemplateSetFor(options.format)), record_key_(NewGuid()) {}

  Status Write();

 private:
  bool modern() const { return set_ == TemplateSet::kOutlook2007; }
  PropTag StringTag(uint16_t id) const {
    return MakeTag(id, format_ == ndb::Format::kAnsi ? ltp::kPtypString8 : ltp::kPtypString);
  }
  Result<Bytes> Text(const std::string& utf8) const;
  Bytes EntryIdOf(Nid nid) const {
    EntryId id;
    id.store_uid = record_key_;
    id.nid = nid;
    return EncodeEntryId(id);
  }

  Status WriteTemplates();
  Status WriteStoreObject(const Folder& top, const Folder& deleted, const Folder& finder,
                          const Folder* views);
  Status WriteNameMap();
  Status WriteReceiveFolders();
  Status WriteFolder(const Folder& folder, bool search_folder = false);
  Status WriteSpamSearchFolder(const Folder& folder);
  Status WriteInternalNodes();
  Result<std::vector<ltp::PropValue>> HierarchyRow(const Folder& child);

  ndb::Transaction& txn_;
  const StoreOptions& options_;
  ndb::Format format_;
  TemplateSet set_;
  std::array<uint8_t, 16> record_key_;
  // Row versions: small numbers counting the rows written, as in Outlook's
  // fresh stores.
  uint32_t next_row_version_ = 2;
};

Result<Bytes> StoreWriter::Text(const std::string& utf8) const {
  Bytes utf16 = Utf8ToUtf16Le(utf8);
  if (format_ != ndb::Format::kAnsi) return utf16;
  PST_ASSIGN_OR_RETURN(EncodedText text, EncodeCodepage(utf16, options_.codepage));
  return text.bytes;
}

Status StoreWriter::WriteTemplates() {
  for (Nid nid : TemplateNids(set_)) {
    PST_ASSIGN_OR_RETURN(ltp::TableContextBuilder table, TemplateTable(nid, format_));
    PST_RETURN_IF_ERROR(ltp::PutTableContext(txn_, nid, 0, table));
  }
  return Status::Ok();
}

Status StoreWriter::WriteStoreObject(const Folder& top, const Folder& deleted,
                                     const Folder& finder, const Folder* views) {
  ltp::PropertyContextBuilder pc(format_);
  const Bytes key(record_key_.begin(), record_key_.end());
  PST_RETURN_IF_ERROR(pc.Set(MakeTag(kPidRecordKey, ltp::kPtypBinary), key));
  PST_ASSIGN_OR_RETURN(Bytes name, Text(options_.display_name));
  PST_RETURN_IF_ERROR(pc.Set(StringTag(kPidDisplayName), name));
  PST_RETURN_IF_ERROR(pc.Set(MakeTag(kPidValidFolderMask, ltp::kPtypInteger32),
                             I32(modern() ? 0xC9 : 0x89)));
  PST_RETURN_IF_ERROR(pc.Set(MakeTag(kPidIpmSubtreeEntryId, ltp::kPtypBinary), EntryIdOf(top.nid)));
  PST_RETURN_IF_ERROR(
      pc.Set(MakeTag(kPidIpmWastebasketEntryId, ltp::kPtypBinary), EntryIdOf(deleted.nid)));
  PST_RETURN_IF_ERROR(pc.Set(MakeTag(kPidFinderEntryId, ltp::kPtypBinary), EntryIdOf(finder.nid)));
  PST_RETURN_IF_ERROR(pc.Set(MakeTag(kPidPstPassword, ltp::kPtypInteger32), I32(0)));
  if (modern()) {
    // A version history of one entry: this store's own replica GUID.
    Bytes history = I32(1);
    const auto replica = NewGuid();
    history.insert(history.end(), replica.begin(), replica.end());
    const Bytes one = I32(1);
    history.insert(history.end(), one.begin(), one.end());
    PST_RETURN_IF_ERROR(pc.Set(MakeTag(kPidReplVersionHistory, ltp::kPtypBinary), history));
    PST_RETURN_IF_ERROR(pc.Set(MakeTag(kPidReplFlags, ltp::kPtypInteger32), I32(0)));
    PST_RETURN_IF_ERROR(
        pc.Set(MakeTag(kPidCommonViewsEntryId, ltp::kPtypBinary), EntryIdOf(views->nid)));
    PST_RETURN_IF_ERROR(pc.Set(MakeTag(kPidPstLrNoRestrictions, ltp::kPtypBoolean), Bytes{1}));
    // Values Outlook writes in a new store; their meaning is not published.
    PST_RETURN_IF_ERROR(pc.Set(MakeTag(kPidPstLatestEnsure, ltp::kPtypInteger32), I32(0xE0011)));
    PST_RETURN_IF_ERROR(pc.Set(MakeTag(kPid66FC, ltp::kPtypInteger32), I32(0x18B2B3)));
  }
  return ltp::PutPropertyContext(txn_, ndb::kNidMessageStore, 0, pc);
}

Status StoreWriter::WriteNameMap() {
  // Outlook's new stores already name a few properties; readers such as
  // libpff refuse a map without entries.
  PST_ASSIGN_OR_RETURN(NameMapWriter names, NameMapWriter::FromExisting(NameMap()));
  for (const NamedProperty& name : InitialNames(modern())) {
    PST_RETURN_IF_ERROR(names.IdFor(name).status());
  }
  ltp::PropertyContextBuilder pc(format_);
  PST_RETURN_IF_ERROR(names.WriteTo(pc));
  return ltp::PutPropertyContext(txn_, ndb::kNidNameToIdMap, 0, pc);
}

Status StoreWriter::WriteReceiveFolders() {
  PST_ASSIGN_OR_RETURN(ltp::TableContextBuilder table, TemplateTable(kNidReceiveFolderTable, format_));
  // Messages of every class ("") are received into the root folder.
  PST_RETURN_IF_ERROR(table.AddRow(
      1, {{StringTag(kPidMessageClass), Bytes()},
          {MakeTag(kPidReceiveFolderNid, ltp::kPtypInteger32), I32(ndb::kNidRootFolder)},
          {ltp::kTagLtpRowVer, I32(next_row_version_++)}}));
  return ltp::PutTableContext(txn_, kNidReceiveFolderTable, 0, table);
}

Result<std::vector<ltp::PropValue>> StoreWriter::HierarchyRow(const Folder& child) {
  PST_ASSIGN_OR_RETURN(Bytes name, Text(child.name));
  return std::vector<ltp::PropValue>{
      {StringTag(kPidDisplayName), name},
      {MakeTag(kPidContentCount, ltp::kPtypInteger32), I32(0)},
      {MakeTag(kPidContentUnreadCount, ltp::kPtypInteger32), I32(0)},
      {MakeTag(kPidSubfolders, ltp::kPtypBoolean), Bytes{child.children.empty() ? uint8_t{0} : uint8_t{1}}},
      {ltp::kTagLtpRowVer, I32(next_row_version_++)}};
}

Status StoreWriter::WriteFolder(const Folder& folder, bool search_folder) {
  ltp::PropertyContextBuilder pc(format_);
  PST_ASSIGN_OR_RETURN(Bytes name, Text(folder.name));
  PST_RETURN_IF_ERROR(pc.Set(StringTag(kPidDisplayName), name));
  if (folder.comment) {
    PST_ASSIGN_OR_RETURN(Bytes comment, Text(*folder.comment));
    PST_RETURN_IF_ERROR(pc.Set(StringTag(kPidComment), comment));
  }
  PST_RETURN_IF_ERROR(pc.Set(MakeTag(kPidContentCount, ltp::kPtypInteger32), I32(0)));
  PST_RETURN_IF_ERROR(pc.Set(MakeTag(kPidContentUnreadCount, ltp::kPtypInteger32), I32(0)));
  PST_RETURN_IF_ERROR(pc.Set(MakeTag(kPidSubfolders, ltp::kPtypBoolean),
                             Bytes{folder.children.empty() ? uint8_t{0} : uint8_t{1}}));
  PST_RETURN_IF_ERROR(ltp::PutPropertyContext(txn_, folder.nid, folder.parent, pc));
  if (search_folder) return Status::Ok();

  const Nid hierarchy = ndb::WithNidType(folder.nid, ndb::kNidTypeHierarchyTable);
  if (folder.children.empty()) {
    PST_RETURN_IF_ERROR(ltp::PutSharedCopy(txn_, hierarchy, 0, ndb::kNidHierarchyTableTemplate).status());
  } else {
    PST_ASSIGN_OR_RETURN(ltp::TableContextBuilder table,
                         TemplateTable(ndb::kNidHierarchyTableTemplate, format_));
    for (const Folder* child : folder.children) {
      PST_ASSIGN_OR_RETURN(std::vector<ltp::PropValue> row, HierarchyRow(*child));
      PST_RETURN_IF_ERROR(table.AddRow(child->nid, row));
    }
    PST_RETURN_IF_ERROR(ltp::PutTableContext(txn_, hierarchy, 0, table));
  }
  PST_RETURN_IF_ERROR(ltp::PutSharedCopy(txn_, ndb::WithNidType(folder.nid, ndb::kNidTypeContentsTable),
                                         0, ndb::kNidContentsTableTemplate)
                          .status());
  return ltp::PutSharedCopy(txn_, ndb::WithNidType(folder.nid, ndb::kNidTypeAssocContentsTable), 0,
                            ndb::kNidAssocContentsTableTemplate)
      .status();
}

Status StoreWriter::WriteSpamSearchFolder(const Folder& folder) {
  PST_RETURN_IF_ERROR(WriteFolder(folder, /*search_folder=*/true));
  // Its update queue starts empty; its criteria hold only a state of 0.
  PST_RETURN_IF_ERROR(
      txn_.PutNode({ndb::WithNidType(folder.nid, ndb::kNidTypeSearchUpdateQueue), 0, 0, 0}));
  ltp::PropertyContextBuilder criteria(format_);
  PST_RETURN_IF_ERROR(criteria.Set(MakeTag(kPidSearchCriteriaState, ltp::kPtypInteger32), I32(0)));
  PST_RETURN_IF_ERROR(ltp::PutPropertyContext(
      txn_, ndb::WithNidType(folder.nid, ndb::kNidTypeSearchCriteriaObject), 0, criteria));
  return ltp::PutSharedCopy(txn_, ndb::WithNidType(folder.nid, ndb::kNidTypeSearchContentsTable),
                            0, ndb::kNidSearchContentsTableTemplate)
      .status();
}

Status StoreWriter::WriteInternalNodes() {
  // The search queue and the search domain start empty.
  PST_RETURN_IF_ERROR(txn_.PutNode({ndb::kNidSearchManagementQueue, 0, 0, 0}));
  PST_RETURN_IF_ERROR(txn_.PutNode({ndb::kNidSearchDomainObject, 0, 0, 0}));
  if (!modern()) return txn_.PutNode({ndb::kNidSearchActivityList, 0, 0, 0});

  // The activity list names the one search folder.
  PST_ASSIGN_OR_RETURN(ndb::Bid list, txn_.WriteData(I32(kNidSpamSearchFolder)));
  Status put = txn_.PutNode({ndb::kNidSearchActivityList, list, 0, 0});
  if (!put.ok()) {
    (void)txn_.Release(list);
    return put;
  }
  // An empty index from GUIDs to NIDs (a BTH with 16-byte keys on a heap).
  ltp::HeapWriter heap(kHeapClientGuidIndex, format_);
  ltp::BthWriter index(&heap, 16, 4);
  PST_ASSIGN_OR_RETURN(ltp::Hid root, index.Write(Bytes()));
  heap.set_user_root(root);
  PST_ASSIGN_OR_RETURN(ndb::Bid data, txn_.WriteBlocks(heap.Finish()));
  put = txn_.PutNode({kNidGuidIndex, data, 0, 0});
  if (!put.ok()) {
    (void)txn_.Release(data);
    return put;
  }
  for (Nid nid : kEmptyInternalNodes) PST_RETURN_IF_ERROR(txn_.PutNode({nid, 0, 0, 0}));
  return Status::Ok();
}

Status StoreWriter::Write() {
  PST_RETURN_IF_ERROR(WriteTemplates());

  // Folder NIDs come from the store's counter, in Outlook's order.
  Folder root{ndb::kNidRootFolder, ndb::kNidRootFolder, "", std::nullopt, {}};
  Folder top, deleted, finder, views, spam;
  PST_ASSIGN_OR_RETURN(top.nid, txn_.AllocateNid(ndb::kNidTypeNormalFolder));
  if (modern()) {
    PST_ASSIGN_OR_RETURN(finder.nid, txn_.AllocateNid(ndb::kNidTypeNormalFolder));
    PST_ASSIGN_OR_RETURN(deleted.nid, txn_.AllocateNid(ndb::kNidTypeNormalFolder));
    PST_ASSIGN_OR_RETURN(views.nid, txn_.AllocateNid(ndb::kNidTypeNormalFolder));
  } else {
    PST_ASSIGN_OR_RETURN(deleted.nid, txn_.AllocateNid(ndb::kNidTypeNormalFolder));
    PST_ASSIGN_OR_RETURN(finder.nid, txn_.AllocateNid(ndb::kNidTypeNormalFolder));
  }
  top.parent = finder.parent = root.nid;
  deleted.parent = top.nid;
  top.name = kTopOfPersonalFolders;
  deleted.name = kDeletedItems;
  deleted.comment = "Deleted Items folder";
  finder.name = kSearchRoot;
  if (!modern()) top.comment = finder.comment = "";
  top.children = {&deleted};
  root.children = {&top, &finder};
  if (modern()) {
    spam = {kNidSpamSearchFolder, root.nid, "SPAM Search Folder 2", std::nullopt, {}};
    views.parent = root.nid;
    views.name = "IPM_COMMON_VIEWS";
    views.comment = "";
    root.children.push_back(&spam);
    root.children.push_back(&views);
  }

  PST_RETURN_IF_ERROR(WriteStoreObject(top, deleted, finder, modern() ? &views : nullptr));
  PST_RETURN_IF_ERROR(WriteNameMap());
  PST_RETURN_IF_ERROR(WriteReceiveFolders());
  PST_RETURN_IF_ERROR(WriteFolder(root));
  PST_RETURN_IF_ERROR(WriteFolder(top));
  PST_RETURN_IF_ERROR(WriteFolder(finder));
  PST_RETURN_IF_ERROR(WriteFolder(deleted));
  if (modern()) {
    PST_RETURN_IF_ERROR(WriteFolder(views));
    PST_RETURN_IF_ERROR(WriteSpamSearchFolder(spam));
  }
  return WriteInternalNodes();
}

}  // namespace

Status CreateStore(std::shared_ptr<io::WritableFile> file, const StoreOptions& options) {
  if (options.format != ndb::Format::kAnsi && options.format != ndb::Format::kUnicode) {
    return Status::NotSupported("messaging: new stores are ANSI or Unicode stores");
  }
  if (options.format == ndb::Format::kAnsi && !IsSupportedCodepage(options.codepage)) {
    return Status::InvalidArgument("messaging: unknown code page " +
                                   std::to_string(options.codepage));
  }
  PST_ASSIGN_OR_RETURN(auto db, ndb::WritableDatabase::Create(file, options.format, options.crypt));
  PST_ASSIGN_OR_RETURN(auto txn, db->Begin());
  Status s = StoreWriter(*txn, options).Write();
  if (!s.ok()) return s.WithContext("messaging: creating the store " + file->Name());
  return txn->Commit();
}

Status CreateStore(const std::string& path, const StoreOptions& options) {
  return io::CreateWhole(path, [&options](std::shared_ptr<io::WritableFile> file) {
    return CreateStore(std::move(file), options);
  });
}

}  // namespace pst::messaging
