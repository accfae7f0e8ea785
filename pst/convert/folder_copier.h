// Copies a folder with everything below it — subfolders, messages, FAI
// messages, recipients, attachments and embedded messages — from one store
// into a folder of another store, which may be of the other format. Values
// go through a PropertyConverter; large values are streamed from the source
// block by block. A message or folder that cannot be copied is reported and
// skipped; running out of space or being cancelled ends the copy.
//
// Salvage (on unless CopyOptions::salvage is off): the source is read
// through damage (ndb::Database::ReadThroughDamage), a message is copied
// without the property, recipient or attachment that cannot be read, and a
// folder whose hierarchy or contents table is damaged gives up its children
// by the parent links of the node B-tree. Every such decision is in the
// report's recovered_with_damage / unreadable lists.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "pst/base/id_set.h"
#include "pst/base/result.h"
#include "pst/convert/property_converter.h"
#include "pst/messaging/store.h"
#include "pst/messaging/store_writer.h"
#include "pst/ndb/damage_log.h"

namespace pst::convert {

struct CopyProgress {
  uint64_t folders = 0;
  uint64_t messages = 0;  // normal and FAI
  uint64_t attachments = 0;
  uint64_t bytes = 0;     // bytes of property values copied
  std::string current_folder;  // UTF-8 display name
};

// Returns false to cancel the copy.
using ProgressCallback = std::function<bool(const CopyProgress&)>;

struct CopyOptions {
  // Code page of folder names (and of the source's 8-bit strings that carry
  // none of their own); see codepage_policy.h for how objects' strings are
  // written into an ANSI target.
  uint32_t default_codepage = 1252;
  ProgressCallback progress;
  // Progress is also reported every this many bytes inside large values.
  uint64_t progress_bytes = 1 << 20;
  // Copy what can still be read from a damaged source (see above). On by
  // default: people convert a store because it misbehaves.
  bool salvage = true;
};

// One decision a salvage copy made, for the user: what, where, and why.
struct SalvageNote {
  std::string folder;  // the source folder's path, UTF-8 ("Inbox/Projects"); "" if not known
  std::string object;  // "message 0x200024 \"Subject\"", "folder 0x8062"
  std::string what;    // the part concerned: "property 0x1000001E", "recipient 2",
                       // "attachment 0x8025", "contents table", "block 0x1A4 at offset 0x...";
                       // "" for the whole object
  std::string why;     // the engine's error, or what did not match in a damaged block
};

// A folder not all of whose messages went into the output (it was full).
struct MessagesLeftOut {
  std::string folder;  // the source folder's path, UTF-8 ("Inbox/Projects")
  uint64_t messages = 0;
  uint64_t fai_messages = 0;
  bool folder_copied = false;  // whether the folder itself is in the output (in some part)
};

// A folder beside a copy that took the messages its table could not hold
// (an ANSI table holds at most 65,535).
struct ContinuationFolder {
  std::string folder;  // the source folder's path
  std::string name;    // "Inbox (2)"
  uint64_t messages = 0;
  uint64_t subfolders = 0;
  // The copy went on filling it after an earlier part of the report (one
  // ended by a full output) took its first entry: the counts add to that one.
  bool resumed = false;
};

struct CopyReport {
  CopyProgress done;
  uint64_t fai_messages = 0;
  uint64_t embedded_messages = 0;
  ConversionCounters strings;
  // Objects that could not be copied, and properties that were left out,
  // each with where and why.
  std::vector<std::string> failures;
  std::vector<std::string> dropped_properties;
  // Where characters were replaced (folder path, message, property, how
  // many, which code page), and which objects were given a code page
  // (PidTagMessageCodepage) so that their label matches their 8-bit
  // strings. Lists stop at kMaxListed entries; the counts go on.
  static constexpr size_t kMaxListed = 1000;
  std::vector<std::string> replacements;
  std::vector<std::string> codepages_declared;
  uint64_t objects_declared = 0;
  // Source folder NID -> its copy's NID.
  std::map<ndb::Nid, ndb::Nid> folder_map;
  // What did not fit into the output, and where messages went past a full table.
  std::vector<MessagesLeftOut> left_out;
  std::vector<ContinuationFolder> continued;
  // Source folders whose copy did not fit: not orphans for RecoverOrphans.
  std::set<ndb::Nid> folders_left_out;

  // Salvage. Copied objects that were read through a damaged block (a byte
  // may be wrong) or that lack a part that could not be read, one note per
  // part; and objects that could not be read at all (also in `failures`).
  std::vector<SalvageNote> recovered_with_damage;
  std::vector<SalvageNote> unreadable;
  // Distinct messages behind those notes: what a summary should count.
  uint64_t messages_recovered_with_damage = 0;
  uint64_t messages_unreadable = 0;
  // Source messages this copy listed (copied or not); what no folder listed
  // is found by RecoverOrphans (salvage.h).
  IdSet listed_messages;
};

class AlreadyRead;

class FolderCopier {
 public:
  FolderCopier(const messaging::Store& source, messaging::StoreUpdate& target, bool unicode_target,
               const CopyOptions& options, CopyReport* report);
  ~FolderCopier();

  // Copies source folder `folder` as a new subfolder of `target_parent`.
  Result<ndb::Nid> CopyFolder(ndb::Nid folder, ndb::Nid target_parent);
  // Copies the messages and FAI messages held by source folder `folder`
  // (not its subfolders) into the existing target folder `target_folder`.
  Status CopyContents(ndb::Nid folder, ndb::Nid target_folder);
  // Copies the given source messages (normal, not FAI) into `target_folder`;
  // `path` names where they came from in the report. Messages already in
  // the report's listed_messages are skipped.
  Status CopyMessageList(const std::vector<ndb::Nid>& messages, ndb::Nid target_folder, const std::string& path);

  // The steps of a copy committed in pieces (tree_copy.h), each writing
  // into the update given last (Retarget).
  void Retarget(messaging::StoreUpdate& target) { target_ = &target; }
  // A new subfolder of `target_parent` with `folder`'s properties, named
  // `name` instead of the folder's own when given (a continuation folder,
  // which is then not recorded in the report's folder_map).
  Result<ndb::Nid> CreateFolderCopy(const messaging::Folder& folder, ndb::Nid target_parent, const std::string& path,
                                    const std::optional<std::string>& name = std::nullopt);
  // The messages a folder lists, in order, with their rows in the table
  // (kNoRow: found by its parent link). A folder may list millions of
  // messages, so a sound table listing each message once is the listing
  // itself (`whole_table`): ids are read from it again as they are copied.
  // Otherwise ids are kept, and rows only when they are not the messages'
  // own positions (a row unreadable, a message listed twice, one found by
  // its parent link).
  struct MessageListing {
    static constexpr uint32_t kNoRow = UINT32_MAX;
    std::optional<ltp::TableContext> table;
    size_t whole_table = 0;      // when not 0: rows 0 .. whole_table - 1 of `table`, no ids kept
    std::vector<ndb::Nid> ids;
    std::vector<uint32_t> rows;  // empty: message i is in row i

    size_t size() const { return whole_table > 0 ? whole_table : ids.size(); }
    Result<ndb::Nid> IdAt(size_t i) const { return whole_table > 0 ? table->RowId(i) : Result<ndb::Nid>(ids[i]); }
    uint32_t RowOf(size_t i) const { return rows.empty() ? static_cast<uint32_t>(i) : rows[i]; }
    // Adds a message; its row is kept once one is not its position.
    void Add(ndb::Nid id, uint32_t row);
    // Keeps the messages `keep` is true of, in order.
    void Filter(const std::function<bool(ndb::Nid, uint32_t row)>& keep);

   private:
    void KeepRows();
  };
  // The messages (or FAI messages) `folder` lists that no earlier listing
  // of this report did, with the table their rows are in; they are added to
  // the report's listed_messages. A damaged table is noted in the report
  // and, when salvaging, completed from the messages' parent links.
  MessageListing ListMessages(const messaging::Folder& folder, bool associated, const std::string& path);
  // Copies one listed message; Ok also when it could not be read (then it
  // is reported), an error only when the copy must end (EndsCopy).
  Status CopyListedMessage(const MessageListing& listing, size_t index, ndb::Nid target, bool associated,
                           const std::string& path);
  // The folder's subfolders, from its hierarchy table or, when that is
  // damaged and salvaging, from their parent links; damage is noted.
  std::vector<ndb::Nid> Subfolders(const messaging::Folder& folder, const std::string& path);

 private:
  class TargetNames;

  Result<ndb::Nid> CopyFolderTree(ndb::Nid folder, ndb::Nid target_parent, const std::string& path,
                                  int depth);
  Status CopyMessages(const messaging::Folder& folder, ndb::Nid target, bool associated,
                      const std::string& path);
  Status CopyMessage(ndb::Nid id, const ltp::TableContext* table, size_t row, ndb::Nid target,
                     bool associated, const std::string& path);
  std::vector<ndb::Nid> ListSubfolders(const messaging::Folder& folder, const std::string& path);
  // The parts found in `read` are taken from it rather than read again.
  Result<std::vector<ndb::Nid>> AttachmentIds(const messaging::Message& message, AlreadyRead* read);
  // `codepage`: the one the message's strings are written in; its
  // attachments' strings go into the same.
  Status ReadAttachment(const messaging::Message& message, ndb::Nid id, int depth, uint32_t codepage,
                        const std::string& where, messaging::MessageInput* input, AlreadyRead* read);
  // Salvage bookkeeping: a part left out of the object being read, the
  // damage the source's log gathered since the last call, and the notes.
  bool Salvaging(const Status& s) const;
  void LeaveOut(const std::string& what, const Status& why);
  void TakeDamage();
  // Notes what the log gathered while reading a folder's own parts.
  void FolderDamage(ndb::Nid folder, const std::string& path, const std::string& part);
  void Note(bool unreadable, const std::string& folder, const std::string& object, const std::string& what,
            const std::string& why);
  Status VerifyStream(const std::function<Status(uint64_t, std::span<uint8_t>)>& read, uint64_t size);
  // `codepage`, when given, receives the code page the message's strings
  // were written in.
  Result<messaging::MessageInput> ReadMessage(const messaging::Message& message, int depth,
                                              const std::string& where, uint32_t* codepage = nullptr);
  // The code page the message's strings are written in; `declare` tells
  // whether the copy must be labelled with it. What it reads of the message
  // goes to `read` (its string values as many as the budget holds).
  Result<uint32_t> TargetCodepage(const messaging::Message& message, const std::string& where, bool* declare,
                                  AlreadyRead* read);
  Result<Bytes> Convert(ltp::PropTag tag, ByteSpan value, uint32_t codepage, const std::string& where);
  void NoteReplaced(ltp::PropTag tag, uint64_t replaced, uint32_t codepage, const std::string& where);
  // Values found in `read` are taken from it rather than read again.
  Status ConvertProperties(const ltp::PropertyContext& pc, uint32_t codepage, const std::string& where,
                           std::vector<messaging::PropertyInput>* out, bool skip_object,
                           AlreadyRead* read = nullptr);
  Result<std::vector<ltp::PropValue>> ConvertCells(const std::vector<ltp::PropValue>& cells,
                                                   uint32_t codepage, const std::string& where);
  ndb::StreamSource StreamFrom(std::shared_ptr<ltp::ValueStream> stream);
  // The same stream as the source store keeps it, where it can give it so
  // (an output of the same encoding then takes it without decoding). The
  // stream must be kept alive by StreamFrom.
  ndb::StoredStreamSource StoredFrom(const ltp::ValueStream& stream);
  // Counts streamed bytes for the progress report.
  Status CountStreamed(size_t bytes);
  Status Report();

  const messaging::Store& source_;
  messaging::StoreUpdate* target_;
  bool unicode_target_;
  CopyOptions options_;
  CopyReport* report_;
  std::unique_ptr<TargetNames> names_;
  std::unique_ptr<PropertyConverter> converter_;
  // Keeps what streamed values read from alive until the message is written.
  std::vector<std::shared_ptr<void>> keep_alive_;
  uint64_t bytes_at_last_report_ = 0;
  bool cancelled_ = false;
  ndb::DamageLog own_damage_log_;
  ndb::DamageLog* damage_log_ = nullptr;  // the source's, while salvaging
  // Parts left out of / damage met in the object being read, as (what, why).
  std::vector<std::pair<std::string, std::string>> pending_;
  // Set on a second try of a message: large values are read through first,
  // so one that cannot be read is left out instead of failing the write.
  bool verify_streams_ = false;
  // The `where` of the object being read, which LeaveOut strips from a part.
  std::string object_where_;
};

}  // namespace pst::convert
