// Store: a PST opened for reading at the messaging level — the message store
// object (node 0x21), its folders, messages and named-property map.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "pst/base/result.h"
#include "pst/io/file.h"
#include "pst/ltp/property_context.h"
#include "pst/messaging/folder.h"
#include "pst/messaging/message.h"
#include "pst/messaging/name_map.h"
#include "pst/messaging/node_links.h"
#include "pst/ndb/database.h"

namespace pst::messaging {

class Store {
 public:
  // Opens the store and reads its property context. The file is only read.
  static Result<std::unique_ptr<Store>> Open(std::shared_ptr<const io::RandomAccessFile> file);
  static Result<std::unique_ptr<Store>> OpenPath(const std::string& path);
  // Reads a store through an already opened node database (e.g. the
  // committed state of a store being updated).
  static Result<std::unique_ptr<Store>> OpenDatabase(std::shared_ptr<const ndb::Database> db);

  ~Store();

  const ndb::Database& database() const { return *db_; }
  // True when the store opened only by reading through damage (a damaged
  // B-tree root or store object): then all its reads do so, logging what
  // they took in spite of it in database().damage_log().
  bool opened_through_damage() const { return own_damage_log_ != nullptr; }
  ndb::Format format() const { return db_->format(); }
  bool is_unicode() const { return format() != ndb::Format::kAnsi; }
  const ltp::PropertyContext& properties() const { return *props_; }

  // PidTagPstPassword: the CRC-32 of the password, 0 when there is none.
  uint32_t password_crc() const { return password_crc_; }
  bool has_password() const { return password_crc_ != 0; }
  // Checks a password given as 8-bit characters.
  bool PasswordMatches(std::string_view password) const;
  // Checks a password typed as UTF-8 text: as its bytes, and as the store's
  // default code page spells it (what Outlook hashes for non-ASCII text).
  bool PasswordMatchesText(std::string_view utf8) const;

  // The code page for 8-bit strings that carry none of their own.
  uint32_t default_codepage() const { return default_codepage_; }
  void set_default_codepage(uint32_t codepage) { default_codepage_ = codepage; }

  Result<std::string> DisplayName() const;
  // The store's record key, the uid of its EntryIDs.
  std::optional<Guid> record_key() const { return record_key_; }

  // The folder behind a store EntryID property (e.g. the IPM subtree).
  Result<ndb::Nid> FolderNidOf(uint16_t entry_id_property) const;

  // The top of the visible folder tree ("Top of Personal Folders"): the
  // folder PidTagIpmSubtreeEntryId names, or in an offline store that has
  // none, the mailbox root's "IPM_SUBTREE".
  Result<ndb::Nid> IpmSubtreeNid() const;

  Result<Folder> OpenFolder(ndb::Nid nid) const;
  Result<Folder> OpenRootFolder() const { return OpenFolder(ndb::kNidRootFolder); }
  Result<Message> OpenMessage(ndb::Nid nid) const;

  // Loaded on first use; an unreadable map is an error for the caller.
  Result<const NameMap*> Names() const;
  // The parent links of the node B-tree, built on first use (one walk).
  Result<const NodeLinks*> Links() const;

 private:
  Store() = default;

  std::shared_ptr<const ndb::Database> db_;
  std::unique_ptr<ltp::PropertyContext> props_;
  uint32_t password_crc_ = 0;
  uint32_t default_codepage_ = 1252;
  std::optional<Guid> record_key_;
  mutable std::unique_ptr<NameMap> names_;
  mutable std::unique_ptr<NodeLinks> links_;
  std::unique_ptr<ndb::DamageLog> own_damage_log_;
};

}  // namespace pst::messaging
