#include "pst/messaging/store_writer.h"

#include <algorithm>
#include <string>

#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/ltp/node_writer.h"
#include "pst/messaging/entry_id.h"
#include "pst/messaging/table_templates.h"
#include "pst/messaging/tags.h"

namespace pst::messaging {
namespace {

constexpr int kMaxEmbeddingDepth = 32;
constexpr size_t kMaxFolderDepth = 256;

// Index of a folder's table among its three: hierarchy, contents, FAI.
int TableIndex(uint8_t table_type) { return table_type - ndb::kNidTypeHierarchyTable; }

ndb::Nid TemplateOf(uint8_t table_type) {
  switch (table_type) {
    case ndb::kNidTypeHierarchyTable: return ndb::kNidHierarchyTableTemplate;
    case ndb::kNidTypeContentsTable: return ndb::kNidContentsTableTemplate;
    default: return ndb::kNidAssocContentsTableTemplate;
  }
}

Bytes Int32Bytes(uint32_t v) {
  Bytes b(4);
  EncodeFixed32(b.data(), v);
  return b;
}

// Gives back the references of subnodes written before a failure.
class SubnodeGuard {
 public:
  explicit SubnodeGuard(ndb::BlockWriter& writer) : writer_(writer) {}
  ~SubnodeGuard() {
    for (const auto& e : entries_) {
      if (e.data_bid) (void)writer_.Release(e.data_bid);
      if (e.subnode_bid) (void)writer_.Release(e.subnode_bid);
    }
  }
  void Add(const ndb::SubnodeEntry& e) { entries_.push_back(e); }
  void Dismiss() { entries_.clear(); }

 private:
  ndb::BlockWriter& writer_;
  std::vector<ndb::SubnodeEntry> entries_;
};

}  // namespace

PropertyInput PropertyInput::Value(ltp::PropTag tag, Bytes data) {
  PropertyInput p;
  p.tag = tag;
  p.data = std::move(data);
  return p;
}

PropertyInput PropertyInput::Stream(ltp::PropTag tag, uint64_t size, ndb::StreamSource source,
                                    ndb::StoredStreamSource stored) {
  PropertyInput p;
  p.tag = tag;
  p.streamed = true;
  p.size = size;
  p.source = std::move(source);
  p.stored = std::move(stored);
  return p;
}

struct StoreUpdate::PendingFolder {
  ndb::Nid nid = 0;
  ndb::Nid parent = 0;
  bool is_new = false;
  std::unique_ptr<ltp::PropertyContext> source_pc;  // outlives `props`, which may stream from it
  std::optional<ltp::PropertyContextBuilder> props;
  bool props_dirty = false;
  bool row_stale = false;  // its row in the parent's hierarchy table needs writing
  std::optional<ltp::TableContextBuilder> tables[3];
  bool table_dirty[3] = {false, false, false};
};

// ---------------------------------------------------------------------------
// StoreWriter

Result<std::unique_ptr<StoreWriter>> StoreWriter::Open(std::shared_ptr<io::WritableFile> file,
                                                       const ndb::WriteOptions& options) {
  std::unique_ptr<StoreWriter> writer(new StoreWriter());
  PST_ASSIGN_OR_RETURN(writer->db_, ndb::WritableDatabase::Open(std::move(file), options));
  PST_RETURN_IF_ERROR(writer->Reload());
  return writer;
}

StoreWriter::~StoreWriter() = default;

Status StoreWriter::Reload() {
  // The store reads the database's committed state; the database outlives it.
  std::shared_ptr<const ndb::Database> view(&db_->database(), [](const ndb::Database*) {});
  PST_ASSIGN_OR_RETURN(store_, Store::OpenDatabase(std::move(view)));
  return Status::Ok();
}

Result<std::unique_ptr<StoreUpdate>> StoreWriter::Begin() {
  PST_ASSIGN_OR_RETURN(auto txn, db_->Begin());
  return std::unique_ptr<StoreUpdate>(new StoreUpdate(this, std::move(txn)));
}

// ---------------------------------------------------------------------------
// StoreUpdate

StoreUpdate::StoreUpdate(StoreWriter* writer, std::unique_ptr<ndb::Transaction> txn)
    : writer_(writer), txn_(std::move(txn)) {}

StoreUpdate::~StoreUpdate() = default;

Bytes StoreUpdate::EntryIdOf(ndb::Nid nid) const {
  EntryId id;
  if (auto key = writer_->store().record_key()) id.store_uid = *key;
  id.nid = nid;
  return EncodeEntryId(id);
}

Result<StoreUpdate::PendingFolder*> StoreUpdate::Folder(ndb::Nid nid) {
  auto it = folders_.find(nid);
  if (it != folders_.end()) return it->second.get();
  const uint8_t type = ndb::NidTypeOf(nid);
  if (type != ndb::kNidTypeNormalFolder) {
    return Status::InvalidArgument("node " + Hex(nid) + " is not a folder that can hold folders or messages");
  }
  PST_ASSIGN_OR_RETURN(ndb::NodeEntry entry, txn_->FindNode(nid));
  auto folder = std::make_unique<PendingFolder>();
  folder->nid = nid;
  folder->parent = entry.parent_nid;
  PendingFolder* raw = folder.get();
  folders_.emplace(nid, std::move(folder));
  return raw;
}

Status StoreUpdate::LoadProps(PendingFolder& folder) {
  if (folder.props) return Status::Ok();
  PST_ASSIGN_OR_RETURN(auto node, txn_->OpenNode(folder.nid));
  PST_ASSIGN_OR_RETURN(ltp::PropertyContext pc, ltp::PropertyContext::Open(std::move(node)));
  folder.source_pc = std::make_unique<ltp::PropertyContext>(std::move(pc));
  PST_ASSIGN_OR_RETURN(auto builder,
                       ltp::PropertyContextBuilder::FromExisting(writer_->format(), *folder.source_pc));
  folder.props.emplace(std::move(builder));
  return Status::Ok();
}

Status StoreUpdate::LoadTable(PendingFolder& folder, uint8_t table_type) {
  auto& slot = folder.tables[TableIndex(table_type)];
  if (slot) return Status::Ok();
  // A new folder's table starts as a copy of the store's template.
  const ndb::Nid source = folder.is_new ? TemplateOf(table_type) : ndb::WithNidType(folder.nid, table_type);
  auto node = txn_->OpenNode(source);
  if (!node.ok()) {
    if (folder.is_new && node.status().IsNotFound()) {
      PST_ASSIGN_OR_RETURN(auto table, TemplateTable(source, writer_->format()));
      slot.emplace(std::move(table));
      return Status::Ok();
    }
    return node.status().WithContext("table " + Hex(source) + " of folder " + Hex(folder.nid));
  }
  PST_ASSIGN_OR_RETURN(ltp::TableContext table, ltp::TableContext::Open(std::move(node).value()));
  // The rows already there are read again when the table is written, not
  // held: a folder being filled over many commits keeps only the new ones.
  PST_ASSIGN_OR_RETURN(auto builder, ltp::TableContextBuilder::Extending(
                                         writer_->format(), std::make_unique<ltp::TableContext>(std::move(table))));
  slot.emplace(std::move(builder));
  return Status::Ok();
}

uint64_t StoreUpdate::held_row_bytes() const {
  uint64_t held = 0;
  for (const auto& [nid, folder] : folders_) {
    for (const auto& table : folder->tables) held += table ? table->held_bytes() : 0;
  }
  return held;
}

ltp::TableContextBuilder& StoreUpdate::Table(PendingFolder& folder, uint8_t table_type) {
  return *folder.tables[TableIndex(table_type)];
}

Status StoreUpdate::SetProperties(ltp::PropertyContextBuilder& pc,
                                  const std::vector<PropertyInput>& properties) {
  for (const auto& p : properties) {
    Status s = p.streamed ? pc.SetStream(p.tag, p.size, p.source, p.stored) : pc.Set(p.tag, p.data);
    if (!s.ok()) return s.WithContext("property " + Hex(p.tag));
  }
  return Status::Ok();
}

std::vector<ltp::PropValue> StoreUpdate::RowFor(const ltp::TableContextBuilder& table,
                                                const std::vector<PropertyInput>& properties,
                                                const std::vector<ltp::PropValue>& extras) {
  std::vector<ltp::PropValue> cells;
  for (const auto& column : table.columns()) {
    if (column.tag == ltp::kTagLtpRowId) continue;
    if (column.tag == ltp::kTagLtpRowVer) {
      cells.push_back({column.tag, Int32Bytes(row_version_++)});
      continue;
    }
    auto p = std::find_if(properties.begin(), properties.end(),
                          [&](const PropertyInput& in) { return in.tag == column.tag && !in.streamed; });
    if (p != properties.end()) {
      cells.push_back({column.tag, p->data});
      continue;
    }
    auto e = std::find_if(extras.begin(), extras.end(),
                          [&](const ltp::PropValue& v) { return v.tag == column.tag; });
    if (e != extras.end()) cells.push_back(*e);
  }
  return cells;
}

Result<ndb::Nid> StoreUpdate::CreateFolder(ndb::Nid parent, const std::vector<PropertyInput>& properties) {
  PST_ASSIGN_OR_RETURN(PendingFolder * parent_folder, Folder(parent));
  PST_RETURN_IF_ERROR(LoadTable(*parent_folder, ndb::kNidTypeHierarchyTable));
  if (Table(*parent_folder, ndb::kNidTypeHierarchyTable).full()) {
    return Status::FormatLimit("folder " + Hex(parent) + ": the table is full: " + TableLimit() + " subfolders");
  }
  PST_ASSIGN_OR_RETURN(ndb::Nid nid, txn_->AllocateNid(ndb::kNidTypeNormalFolder));
  // The folder's three tables share its index; keep their counters with it.
  for (uint8_t type : {ndb::kNidTypeHierarchyTable, ndb::kNidTypeContentsTable, ndb::kNidTypeAssocContentsTable}) {
    PST_RETURN_IF_ERROR(txn_->RaiseNidCounter(type, ndb::NidIndexOf(nid)));
  }
  auto folder = std::make_unique<PendingFolder>();
  folder->nid = nid;
  folder->parent = parent_folder->nid;
  folder->is_new = true;
  folder->props.emplace(writer_->format());
  PST_RETURN_IF_ERROR(SetProperties(*folder->props, properties));
  folder->props_dirty = true;
  folder->row_stale = true;
  for (uint8_t type : {ndb::kNidTypeHierarchyTable, ndb::kNidTypeContentsTable, ndb::kNidTypeAssocContentsTable}) {
    PST_RETURN_IF_ERROR(LoadTable(*folder, type));
    folder->table_dirty[TableIndex(type)] = true;
  }
  // Its row now, so that the parent's table counts it; the cells are
  // written with the rest of the folders at commit.
  auto& hierarchy = Table(*parent_folder, ndb::kNidTypeHierarchyTable);
  PST_RETURN_IF_ERROR(hierarchy.AddRow(nid, RowFor(hierarchy, {}, {})));
  parent_folder->table_dirty[TableIndex(ndb::kNidTypeHierarchyTable)] = true;
  folders_.emplace(nid, std::move(folder));
  return nid;
}

Status StoreUpdate::DeleteFolderTree(ndb::Nid nid, int depth) {
  if (depth > static_cast<int>(kMaxFolderDepth)) {
    return Status::Corruption("folder tree below " + Hex(nid) + " is deeper than " +
                              std::to_string(kMaxFolderDepth));
  }
  PST_ASSIGN_OR_RETURN(PendingFolder * folder, Folder(nid));
  std::vector<uint32_t> children, messages;
  for (uint8_t type : {ndb::kNidTypeHierarchyTable, ndb::kNidTypeContentsTable, ndb::kNidTypeAssocContentsTable}) {
    PST_RETURN_IF_ERROR(LoadTable(*folder, type));
    PST_ASSIGN_OR_RETURN(auto ids, Table(*folder, type).RowIds());
    auto& into = type == ndb::kNidTypeHierarchyTable ? children : messages;
    into.insert(into.end(), ids.begin(), ids.end());
  }
  const bool was_new = folder->is_new;
  for (uint32_t child : children) {
    if (ndb::NidTypeOf(child) == ndb::kNidTypeNormalFolder) {
      PST_RETURN_IF_ERROR(DeleteFolderTree(child, depth + 1));
    } else if (txn_->FindNode(child).ok()) {
      // A search folder: its own nodes only.
      for (uint8_t type : {ndb::kNidTypeSearchFolder, ndb::kNidTypeSearchUpdateQueue,
                           ndb::kNidTypeSearchCriteriaObject, ndb::kNidTypeSearchContentsTable}) {
        Status s = txn_->DeleteNode(ndb::WithNidType(child, type));
        if (!s.ok() && !s.IsNotFound()) return s;
      }
    }
  }
  for (uint32_t message : messages) {
    Status s = txn_->DeleteNode(message);
    if (!s.ok() && !s.IsNotFound()) return s;
  }
  folders_.erase(nid);
  // A folder made in this update has no nodes yet.
  if (was_new) return Status::Ok();
  for (uint8_t type : {ndb::kNidTypeNormalFolder, ndb::kNidTypeHierarchyTable, ndb::kNidTypeContentsTable,
                       ndb::kNidTypeAssocContentsTable}) {
    Status s = txn_->DeleteNode(ndb::WithNidType(nid, type));
    if (!s.ok() && !s.IsNotFound()) return s;
  }
  return Status::Ok();
}

Status StoreUpdate::DeleteFolder(ndb::Nid nid) {
  PST_ASSIGN_OR_RETURN(PendingFolder * folder, Folder(nid));
  const ndb::Nid parent_nid = folder->parent;
  if (parent_nid == nid || nid == ndb::kNidRootFolder) {
    return Status::InvalidArgument("the root folder cannot be deleted");
  }
  PST_RETURN_IF_ERROR(DeleteFolderTree(nid, 0));
  PST_ASSIGN_OR_RETURN(PendingFolder * parent, Folder(parent_nid));
  PST_RETURN_IF_ERROR(LoadTable(*parent, ndb::kNidTypeHierarchyTable));
  PST_RETURN_IF_ERROR(Table(*parent, ndb::kNidTypeHierarchyTable).RemoveRow(nid).status());
  parent->table_dirty[TableIndex(ndb::kNidTypeHierarchyTable)] = true;
  PST_RETURN_IF_ERROR(LoadProps(*parent));
  parent->props_dirty = true;
  return Status::Ok();
}

Result<ndb::SubnodeEntry> StoreUpdate::WriteAttachment(const AttachmentInput& attachment, int depth) {
  PST_ASSIGN_OR_RETURN(ndb::Nid nid, txn_->AllocateNid(ndb::kNidTypeAttachment));
  ltp::PropertyContextBuilder pc(writer_->format());
  PST_RETURN_IF_ERROR(SetProperties(pc, attachment.properties));
  SubnodeGuard guard(*txn_);
  if (attachment.embedded) {
    if (depth >= kMaxEmbeddingDepth) {
      return Status::NotSupported("embedded messages nest deeper than " + std::to_string(kMaxEmbeddingDepth));
    }
    PST_ASSIGN_OR_RETURN(ndb::Nid inner_nid, txn_->AllocateNid(ndb::kNidTypeNormalMessage));
    PST_ASSIGN_OR_RETURN(ltp::WrittenNode inner, WriteMessageNode(*attachment.embedded, depth + 1));
    const ndb::SubnodeEntry entry{inner_nid, inner.data_bid, inner.subnode_bid};
    guard.Add(entry);
    PST_RETURN_IF_ERROR(pc.AddSubnode(entry));
    uint32_t size = 0;
    for (const auto& p : attachment.embedded->properties) {
      if (p.tag == ltp::MakeTag(kPidMessageSize, ltp::kPtypInteger32) && p.data.size() == 4) {
        size = DecodeFixed32(p.data.data());
      }
    }
    Bytes object(8);
    EncodeFixed32(object.data(), inner_nid);
    EncodeFixed32(object.data() + 4, size);
    PST_RETURN_IF_ERROR(pc.Set(ltp::MakeTag(kPidAttachDataBinary, ltp::kPtypObject), std::move(object)));
  }
  if (attachment.has_object && !attachment.embedded) {
    if (attachment.object_size > UINT32_MAX) return Status::NotSupported("attached object larger than 4 GB");
    PST_ASSIGN_OR_RETURN(ndb::Nid object_nid, txn_->AllocateNid(ndb::kNidTypeLtp));
    PST_ASSIGN_OR_RETURN(ndb::Bid data, txn_->WriteStream(attachment.object_size, attachment.object_source));
    const ndb::SubnodeEntry entry{object_nid, data, 0};
    guard.Add(entry);
    PST_RETURN_IF_ERROR(pc.AddSubnode(entry));
    Bytes object(8);
    EncodeFixed32(object.data(), object_nid);
    EncodeFixed32(object.data() + 4, static_cast<uint32_t>(attachment.object_size));
    PST_RETURN_IF_ERROR(pc.Set(ltp::MakeTag(kPidAttachDataBinary, ltp::kPtypObject), std::move(object)));
  }
  PST_ASSIGN_OR_RETURN(ndb::SubnodeEntry written, ltp::WritePropertySubnode(*txn_, nid, pc));
  guard.Dismiss();  // the attachment's subnode tree now holds the embedded message
  return written;
}

Result<ltp::WrittenNode> StoreUpdate::WriteMessageNode(const MessageInput& message, int depth) {
  ltp::PropertyContextBuilder pc(writer_->format());
  PST_RETURN_IF_ERROR(SetProperties(pc, message.properties));
  SubnodeGuard guard(*txn_);

  if (!message.recipients.empty()) {
    PST_ASSIGN_OR_RETURN(auto table, TemplateTable(ndb::kNidRecipientTable, writer_->format()));
    uint32_t row_id = 1;
    for (const auto& row : message.recipients) {
      for (const auto& cell : row) {
        if (!table.FindColumn(cell.tag)) PST_RETURN_IF_ERROR(table.AddColumn(cell.tag));
      }
      std::vector<ltp::PropValue> cells;
      for (const auto& cell : row) {
        if (cell.tag != ltp::kTagLtpRowId && cell.tag != ltp::kTagLtpRowVer) cells.push_back(cell);
      }
      cells.push_back({ltp::kTagLtpRowVer, Int32Bytes(row_id + 2)});
      PST_RETURN_IF_ERROR(table.AddRow(row_id++, cells));
    }
    PST_ASSIGN_OR_RETURN(auto entry, ltp::WriteTableSubnode(*txn_, ndb::kNidRecipientTable, table));
    guard.Add(entry);
    PST_RETURN_IF_ERROR(pc.AddSubnode(entry));
  }

  if (!message.attachments.empty()) {
    PST_ASSIGN_OR_RETURN(auto table, TemplateTable(ndb::kNidAttachmentTable, writer_->format()));
    for (const auto& attachment : message.attachments) {
      PST_ASSIGN_OR_RETURN(ndb::SubnodeEntry entry, WriteAttachment(attachment, depth));
      guard.Add(entry);
      PST_RETURN_IF_ERROR(pc.AddSubnode(entry));
      PST_RETURN_IF_ERROR(table.AddRow(entry.nid, RowFor(table, attachment.properties, {})));
    }
    PST_ASSIGN_OR_RETURN(auto entry, ltp::WriteTableSubnode(*txn_, ndb::kNidAttachmentTable, table));
    guard.Add(entry);
    PST_RETURN_IF_ERROR(pc.AddSubnode(entry));
  }
  PST_ASSIGN_OR_RETURN(ltp::WrittenNode node, pc.Write(*txn_));
  guard.Dismiss();  // the subnodes belong to the written node now
  return node;
}

Result<ndb::Nid> StoreUpdate::CreateMessage(ndb::Nid folder_nid, const MessageInput& message, bool associated) {
  PST_ASSIGN_OR_RETURN(PendingFolder * folder, Folder(folder_nid));
  const uint8_t table_type = associated ? ndb::kNidTypeAssocContentsTable : ndb::kNidTypeContentsTable;
  PST_RETURN_IF_ERROR(LoadTable(*folder, table_type));
  if (Table(*folder, table_type).full()) {
    return Status::FormatLimit("folder " + Hex(folder_nid) + ": the table is full: " + TableLimit() + " messages");
  }
  PST_ASSIGN_OR_RETURN(ndb::Nid nid,
                       txn_->AllocateNid(associated ? ndb::kNidTypeAssocMessage : ndb::kNidTypeNormalMessage));
  PST_ASSIGN_OR_RETURN(ltp::WrittenNode node, WriteMessageNode(message, 0));
  Status put = txn_->PutNode({nid, node.data_bid, node.subnode_bid, folder_nid});
  if (!put.ok()) {
    if (node.data_bid) (void)txn_->Release(node.data_bid);
    if (node.subnode_bid) (void)txn_->Release(node.subnode_bid);
    return put;
  }
  auto& table = Table(*folder, table_type);
  Status row = table.AddRow(nid, RowFor(table, message.properties, message.row_extras));
  if (!row.ok()) {
    (void)txn_->DeleteNode(nid);
    return row.WithContext("row of message " + Hex(nid));
  }
  folder->table_dirty[TableIndex(table_type)] = true;
  if (!folder->props) PST_RETURN_IF_ERROR(LoadProps(*folder));
  folder->props_dirty = true;
  return nid;
}

std::string StoreUpdate::TableLimit() const {
  return std::string(writer_->format() == ndb::Format::kAnsi ? "an ANSI" : "a") + " table holds at most " +
         std::to_string(ltp::TableContextBuilder::MaxRows(writer_->format()));
}

Result<uint64_t> StoreUpdate::RowsLeft(ndb::Nid folder_nid, bool associated) {
  return RowsLeftIn(folder_nid, associated ? ndb::kNidTypeAssocContentsTable : ndb::kNidTypeContentsTable);
}

Result<uint64_t> StoreUpdate::SubfoldersLeft(ndb::Nid folder_nid) {
  return RowsLeftIn(folder_nid, ndb::kNidTypeHierarchyTable);
}

Result<uint64_t> StoreUpdate::RowsLeftIn(ndb::Nid folder_nid, uint8_t table_type) {
  PST_ASSIGN_OR_RETURN(PendingFolder * folder, Folder(folder_nid));
  PST_RETURN_IF_ERROR(LoadTable(*folder, table_type));
  const uint64_t rows = Table(*folder, table_type).row_count();
  const uint64_t max = ltp::TableContextBuilder::MaxRows(writer_->format());
  return rows < max ? max - rows : 0;
}

Result<uint16_t> StoreUpdate::NamedPropertyId(const NamedProperty& name) {
  if (!names_) {
    PST_ASSIGN_OR_RETURN(const NameMap* existing, writer_->store().Names());
    PST_ASSIGN_OR_RETURN(auto names, NameMapWriter::FromExisting(*existing));
    names_.emplace(std::move(names));
  }
  return names_->IdFor(name);
}

Status StoreUpdate::SetStoreProperty(ltp::PropTag tag, Bytes value) {
  if (!store_pc_) {
    PST_ASSIGN_OR_RETURN(auto node, txn_->OpenNode(ndb::kNidMessageStore));
    PST_ASSIGN_OR_RETURN(ltp::PropertyContext pc, ltp::PropertyContext::Open(std::move(node)));
    store_pc_source_ = std::make_unique<ltp::PropertyContext>(std::move(pc));
    PST_ASSIGN_OR_RETURN(auto builder,
                         ltp::PropertyContextBuilder::FromExisting(writer_->format(), *store_pc_source_));
    store_pc_.emplace(std::move(builder));
  }
  return store_pc_->Set(tag, std::move(value));
}

Status StoreUpdate::SetFolderProperty(ndb::Nid nid, ltp::PropTag tag, Bytes value) {
  PST_ASSIGN_OR_RETURN(PendingFolder * folder, Folder(nid));
  PST_RETURN_IF_ERROR(LoadProps(*folder));
  PST_RETURN_IF_ERROR(folder->props->Set(tag, std::move(value)));
  folder->props_dirty = true;
  return Status::Ok();
}

// Sets the counts a folder's property context keeps of its tables; marks
// its parent's row stale when they changed.
Status StoreUpdate::UpdateCounts(PendingFolder& folder) {
  PST_RETURN_IF_ERROR(LoadProps(folder));
  for (uint8_t type : {ndb::kNidTypeHierarchyTable, ndb::kNidTypeContentsTable, ndb::kNidTypeAssocContentsTable}) {
    PST_RETURN_IF_ERROR(LoadTable(folder, type));
  }
  const auto& contents = Table(folder, ndb::kNidTypeContentsTable);
  const uint32_t count = static_cast<uint32_t>(contents.row_count());
  uint32_t unread = count;
  const ltp::PropTag flags = ltp::MakeTag(kPidMessageFlags, ltp::kPtypInteger32);
  if (contents.FindColumn(flags)) {
    PST_RETURN_IF_ERROR(contents.ForEachCellOf(flags, [&](std::optional<ByteSpan> cell) {
      if (cell && cell->size() >= 4 && (DecodeFixed32(cell->data()) & 0x1) != 0) --unread;
    }));
  }
  const bool subfolders = Table(folder, ndb::kNidTypeHierarchyTable).row_count() > 0;
  auto& pc = *folder.props;
  const ltp::PropTag count_tag = ltp::MakeTag(kPidContentCount, ltp::kPtypInteger32);
  const ltp::PropTag unread_tag = ltp::MakeTag(kPidContentUnreadCount, ltp::kPtypInteger32);
  const ltp::PropTag subfolders_tag = ltp::MakeTag(kPidSubfolders, ltp::kPtypBoolean);
  const Bytes new_count = Int32Bytes(count), new_unread = Int32Bytes(unread);
  const Bytes new_subfolders = {static_cast<uint8_t>(subfolders ? 1 : 0)};
  auto differs = [&](uint16_t id, const Bytes& value) {
    const Bytes* old = pc.Find(id);
    return !old || *old != value;
  };
  // PidTagAssociatedContentCount is kept only where the folder has it.
  constexpr uint16_t kPidAssociatedContentCount = 0x3617;
  const Bytes new_associated =
      Int32Bytes(static_cast<uint32_t>(Table(folder, ndb::kNidTypeAssocContentsTable).row_count()));
  if (pc.Has(kPidAssociatedContentCount) && differs(kPidAssociatedContentCount, new_associated)) {
    PST_RETURN_IF_ERROR(pc.Set(ltp::MakeTag(kPidAssociatedContentCount, ltp::kPtypInteger32), new_associated));
    folder.props_dirty = true;
    folder.row_stale = true;
  }
  if (differs(kPidContentCount, new_count) || differs(kPidContentUnreadCount, new_unread) ||
      differs(kPidSubfolders, new_subfolders)) {
    PST_RETURN_IF_ERROR(pc.Set(count_tag, new_count));
    PST_RETURN_IF_ERROR(pc.Set(unread_tag, new_unread));
    PST_RETURN_IF_ERROR(pc.Set(subfolders_tag, new_subfolders));
    folder.props_dirty = true;
    folder.row_stale = true;
  }
  return Status::Ok();
}

Status StoreUpdate::WriteFolders() {
  // Counts first, then each changed folder's row in its parent, until no
  // row changes a parent's counts any more (one pass per tree level).
  for (size_t pass = 0; pass <= kMaxFolderDepth + 1; ++pass) {
    std::vector<PendingFolder*> changed;
    for (auto& [nid, folder] : folders_) {
      bool touched = folder->props_dirty || folder->table_dirty[0] || folder->table_dirty[1] ||
                     folder->table_dirty[2];
      if (touched) PST_RETURN_IF_ERROR(UpdateCounts(*folder));
      if (folder->row_stale) changed.push_back(folder.get());
    }
    if (changed.empty()) break;
    if (pass == kMaxFolderDepth + 1) return Status::Corruption("folder parents form a cycle");
    for (PendingFolder* folder : changed) {
      folder->row_stale = false;
      if (folder->parent == folder->nid || folder->parent == 0) continue;  // the root folder
      const ndb::Nid nid = folder->nid;
      const ndb::Nid parent_nid = folder->parent;
      std::vector<PropertyInput> values;
      PST_ASSIGN_OR_RETURN(PendingFolder * parent, Folder(parent_nid));
      PST_RETURN_IF_ERROR(LoadTable(*parent, ndb::kNidTypeHierarchyTable));
      auto& hierarchy = Table(*parent, ndb::kNidTypeHierarchyTable);
      PendingFolder* self = folders_.at(nid).get();
      for (const auto& column : hierarchy.columns()) {
        if (const Bytes* v = self->props->Find(ltp::PropIdOf(column.tag))) {
          values.push_back(PropertyInput::Value(column.tag, *v));
        }
      }
      auto cells = RowFor(hierarchy, values, {});
      auto listed = hierarchy.HasRow(nid);
      Status s = !listed.ok() ? listed.status() : *listed ? hierarchy.SetRow(nid, cells) : hierarchy.AddRow(nid, cells);
      if (!s.ok()) return s.WithContext("row of folder " + Hex(nid) + " in " + Hex(parent_nid));
      parent->table_dirty[TableIndex(ndb::kNidTypeHierarchyTable)] = true;
    }
  }

  // An empty new table shares its template's block, as Outlook does. The
  // block's reference count tops out at 65,535; past that a table gets a
  // copy, and the tables after it share the copy.
  std::map<uint8_t, ndb::Nid> share_from;
  for (auto& [nid, folder] : folders_) {
    for (uint8_t type : {ndb::kNidTypeHierarchyTable, ndb::kNidTypeContentsTable, ndb::kNidTypeAssocContentsTable}) {
      const int i = TableIndex(type);
      if (!folder->table_dirty[i]) continue;
      const ndb::Nid table_nid = ndb::WithNidType(nid, type);
      if (folder->is_new && folder->tables[i]->row_count() == 0 && txn_->FindNode(TemplateOf(type)).ok()) {
        auto source = share_from.try_emplace(type, TemplateOf(type)).first;
        PST_ASSIGN_OR_RETURN(bool shared, ltp::PutSharedCopy(*txn_, table_nid, 0, source->second));
        if (!shared) source->second = table_nid;
      } else {
        PST_RETURN_IF_ERROR(ltp::PutTableContext(*txn_, table_nid, 0, *folder->tables[i]));
      }
    }
    if (folder->props_dirty) {
      PST_RETURN_IF_ERROR(ltp::PutPropertyContext(*txn_, nid, folder->parent, *folder->props));
    }
  }
  return Status::Ok();
}

Status StoreUpdate::Commit() {
  if (done_) return Status::InvalidArgument("this update is already committed or has failed");
  Status s = WriteAndCommit();
  if (!s.ok()) {
    // Give the space back now, not when the caller lets go of the update:
    // the file is as long as it was when Commit returns.
    done_ = true;
    folders_.clear();
    txn_->Abandon();
    return s;
  }
  done_ = true;
  folders_.clear();
  store_pc_.reset();
  store_pc_source_.reset();
  return writer_->Reload();
}

Status StoreUpdate::WriteAndCommit() {
  PST_RETURN_IF_ERROR(WriteFolders());
  if (names_ && names_->changed()) {
    PST_ASSIGN_OR_RETURN(auto node, txn_->OpenNode(ndb::kNidNameToIdMap));
    PST_ASSIGN_OR_RETURN(ltp::PropertyContext pc, ltp::PropertyContext::Open(std::move(node)));
    PST_ASSIGN_OR_RETURN(auto builder, ltp::PropertyContextBuilder::FromExisting(writer_->format(), pc));
    PST_RETURN_IF_ERROR(names_->WriteTo(builder));
    PST_RETURN_IF_ERROR(ltp::PutPropertyContext(*txn_, ndb::kNidNameToIdMap, 0, builder));
  }
  if (store_pc_) PST_RETURN_IF_ERROR(ltp::PutPropertyContext(*txn_, ndb::kNidMessageStore, 0, *store_pc_));
  return txn_->Commit();
}

}  // namespace pst::messaging
