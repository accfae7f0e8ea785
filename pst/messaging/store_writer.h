// Updating a store at the messaging level: folders, messages, recipients,
// attachments, embedded messages and named properties. One StoreUpdate is
// one transaction: nothing of it is on disk until Commit, and a failed or
// abandoned update leaves the store as it was.
//
// Messages are written to the file as they are created (their large values
// streamed from their source); the rows of the folder tables and the
// folders' counts are collected in memory and written at Commit, so a
// folder's table is written once however many messages it receives.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "pst/base/result.h"
#include "pst/io/file.h"
#include "pst/ltp/property_context_builder.h"
#include "pst/ltp/table_context_builder.h"
#include "pst/messaging/name_map_writer.h"
#include "pst/messaging/store.h"
#include "pst/ndb/transaction.h"

namespace pst::messaging {

// A property to write: its stored bytes, or a large value streamed at write
// time from `source` (which must stay valid until the write returns).
struct PropertyInput {
  ltp::PropTag tag = 0;
  Bytes data;
  bool streamed = false;
  uint64_t size = 0;
  ndb::StreamSource source;
  ndb::StoredStreamSource stored;  // the bytes as a source store keeps them, if it can

  static PropertyInput Value(ltp::PropTag tag, Bytes data);
  static PropertyInput Stream(ltp::PropTag tag, uint64_t size, ndb::StreamSource source,
                              ndb::StoredStreamSource stored = {});
};

struct MessageInput;

struct AttachmentInput {
  // PidTagAttachDataObject is made from `embedded` or `object`.
  std::vector<PropertyInput> properties;
  std::unique_ptr<MessageInput> embedded;  // the message inside (attach method 5)
  // The bytes of an OLE storage (attach method 6), streamed into a subnode.
  bool has_object = false;
  uint64_t object_size = 0;
  ndb::StreamSource object_source;
};

struct MessageInput {
  std::vector<PropertyInput> properties;
  std::vector<std::vector<ltp::PropValue>> recipients;  // one row of cells each
  std::vector<AttachmentInput> attachments;
  // Cells the folder's contents-table row carries besides the message's own
  // properties (Outlook keeps e.g. PidTagMessageStatus only in the row).
  std::vector<ltp::PropValue> row_extras;
};

class StoreUpdate;

class StoreWriter {
 public:
  static Result<std::unique_ptr<StoreWriter>> Open(std::shared_ptr<io::WritableFile> file,
                                                   const ndb::WriteOptions& options = {});
  ~StoreWriter();

  // The committed state.
  const Store& store() const { return *store_; }
  ndb::Format format() const { return db_->database().format(); }

  // One update at a time.
  Result<std::unique_ptr<StoreUpdate>> Begin();

  // A Deleted Items folder that was deleted while it still had that role; a
  // store must always have one, so it stays on disk until another folder
  // takes the role (see pst/convert/store_copy.h). 0 when there is none.
  ndb::Nid retired_wastebasket() const { return retired_wastebasket_; }
  void set_retired_wastebasket(ndb::Nid nid) { retired_wastebasket_ = nid; }

 private:
  friend class StoreUpdate;
  StoreWriter() = default;
  Status Reload();

  std::unique_ptr<ndb::WritableDatabase> db_;
  std::unique_ptr<Store> store_;
  ndb::Nid retired_wastebasket_ = 0;
};

class StoreUpdate {
 public:
  ~StoreUpdate();

  // A new folder under `parent` with these properties (counts are kept by
  // the update). Its tables start empty, with the store's template columns.
  // FormatLimit, with nothing written, when the parent's hierarchy table is
  // full (SubfoldersLeft is 0).
  Result<ndb::Nid> CreateFolder(ndb::Nid parent, const std::vector<PropertyInput>& properties);
  // Removes a folder with everything below it, and its row in its parent.
  Status DeleteFolder(ndb::Nid folder);
  // A new message (associated: an FAI message) in `folder`. FormatLimit,
  // with nothing written, when the folder's table is full (RowsLeft is 0).
  Result<ndb::Nid> CreateMessage(ndb::Nid folder, const MessageInput& message, bool associated);
  // How many more messages `folder`'s contents table (associated: its FAI
  // table) takes: an ANSI table holds at most 65,535. A caller whose
  // CreateMessage failed asks here to tell a full table from a full disk.
  Result<uint64_t> RowsLeft(ndb::Nid folder, bool associated);
  // How many more subfolders `folder`'s hierarchy table takes.
  Result<uint64_t> SubfoldersLeft(ndb::Nid folder);

  // Bytes the rows of the tables this update changes keep until Commit: a
  // caller that fills a big folder commits before they grow too many.
  uint64_t held_row_bytes() const;

  // The property id of a named property in this store (added when new).
  Result<uint16_t> NamedPropertyId(const NamedProperty& name);
  // Sets a property of the store object or of a folder.
  Status SetStoreProperty(ltp::PropTag tag, Bytes value);
  Status SetFolderProperty(ndb::Nid folder, ltp::PropTag tag, Bytes value);
  // The store's EntryID for a folder or message of this store.
  Bytes EntryIdOf(ndb::Nid nid) const;

  // Writes the tables, counts, name map and store object, then commits. On
  // failure nothing of the update is kept (the file is cut back to its old
  // length) and the update cannot be used again.
  Status Commit();

 private:
  friend class StoreWriter;
  struct PendingFolder;
  StoreUpdate(StoreWriter* writer, std::unique_ptr<ndb::Transaction> txn);

  Result<PendingFolder*> Folder(ndb::Nid nid);
  Result<uint64_t> RowsLeftIn(ndb::Nid folder, uint8_t table_type);
  std::string TableLimit() const;  // "an ANSI table holds at most 65535"
  Status LoadProps(PendingFolder& folder);
  Status LoadTable(PendingFolder& folder, uint8_t table_type);
  ltp::TableContextBuilder& Table(PendingFolder& folder, uint8_t table_type);
  Result<ltp::WrittenNode> WriteMessageNode(const MessageInput& message, int depth);
  Result<ndb::SubnodeEntry> WriteAttachment(const AttachmentInput& attachment, int depth);
  Status SetProperties(ltp::PropertyContextBuilder& pc, const std::vector<PropertyInput>& properties);
  std::vector<ltp::PropValue> RowFor(const ltp::TableContextBuilder& table,
                                     const std::vector<PropertyInput>& properties,
                                     const std::vector<ltp::PropValue>& extras);
  Status DeleteFolderTree(ndb::Nid nid, int depth);
  Status UpdateCounts(PendingFolder& folder);
  Status WriteFolders();
  Status WriteAndCommit();

  StoreWriter* writer_;
  std::unique_ptr<ndb::Transaction> txn_;
  std::map<ndb::Nid, std::unique_ptr<PendingFolder>> folders_;
  std::optional<NameMapWriter> names_;
  std::unique_ptr<ltp::PropertyContext> store_pc_source_;
  std::optional<ltp::PropertyContextBuilder> store_pc_;
  uint32_t row_version_ = 1;
  bool done_ = false;
};

}  // namespace pst::messaging
