#include "pst/messaging/store.h"

#include <algorithm>

#include "pst/base/crc32.h"
#include "pst/base/hex.h"
#include "pst/messaging/entry_id.h"
#include "pst/messaging/property_access.h"
#include "pst/messaging/tags.h"
#include "pst/messaging/text.h"

namespace pst::messaging {

Result<std::unique_ptr<Store>> Store::Open(std::shared_ptr<const io::RandomAccessFile> file) {
  auto strict = [&]() -> Result<std::unique_ptr<Store>> {
    PST_ASSIGN_OR_RETURN(std::unique_ptr<ndb::Database> db, ndb::Database::Open(file));
    return OpenDatabase(std::shared_ptr<const ndb::Database>(std::move(db)));
  }();
  if (strict.ok() || strict.status().code() != Status::Code::kCorruption) return strict;
  // A store whose B-tree roots or store object are damaged but still hold
  // together is opened through that damage rather than not at all, and stays
  // so: every read of it takes what still decodes and logs the rest.
  auto log = std::make_unique<ndb::DamageLog>();
  auto db = ndb::Database::Open(file, log.get());
  if (!db.ok()) return strict.status();
  auto store = OpenDatabase(std::shared_ptr<const ndb::Database>(std::move(db).value()));
  if (!store.ok()) return strict.status();
  (*store)->own_damage_log_ = std::move(log);
  return store;
}

Store::~Store() {
  if (own_damage_log_ && db_) db_->ReadThroughDamage(nullptr);
}

Result<std::unique_ptr<Store>> Store::OpenDatabase(std::shared_ptr<const ndb::Database> db) {
  std::unique_ptr<Store> store(new Store());
  store->db_ = std::move(db);
  auto node = store->db_->OpenNode(ndb::kNidMessageStore);
  if (!node.ok()) return node.status().WithContext("message store object (node 0x21)");
  auto pc = ltp::PropertyContext::Open(std::move(node).value());
  if (!pc.ok()) return pc.status().WithContext("message store object (node 0x21)");
  store->props_ = std::make_unique<ltp::PropertyContext>(std::move(pc).value());

  PST_ASSIGN_OR_RETURN(auto password, GetInt32(*store->props_, kPidPstPassword));
  store->password_crc_ = password ? static_cast<uint32_t>(*password) : 0;
  // Offline stores (client magic "SO") keep 0xFFFFFFFF there; it guards nothing.
  if (store->db_->header().client_magic == 0x4F53) store->password_crc_ = 0;
  PST_ASSIGN_OR_RETURN(auto record_key, GetBinary(*store->props_, kPidRecordKey));
  if (record_key && record_key->size() == 16) {
    Guid key;
    std::copy(record_key->begin(), record_key->end(), key.begin());
    store->record_key_ = key;
  }
  return store;
}

Result<std::unique_ptr<Store>> Store::OpenPath(const std::string& path) {
  PST_ASSIGN_OR_RETURN(auto file, io::OpenReadOnly(path));
  return Open(std::shared_ptr<const io::RandomAccessFile>(std::move(file)));
}

bool Store::PasswordMatches(std::string_view password) const {
  if (!has_password()) return true;
  ByteSpan bytes(reinterpret_cast<const uint8_t*>(password.data()), password.size());
  return PstCrc32(bytes) == password_crc_;
}

bool Store::PasswordMatchesText(std::string_view utf8) const {
  if (PasswordMatches(utf8)) return true;
  auto encoded = EncodeCodepage(Utf8ToUtf16Le(utf8), default_codepage_);
  if (!encoded.ok() || encoded->replaced != 0) return false;
  return PasswordMatches(std::string_view(reinterpret_cast<const char*>(encoded->bytes.data()), encoded->bytes.size()));
}

Result<std::string> Store::DisplayName() const {
  PST_ASSIGN_OR_RETURN(auto name, GetString(*props_, kPidDisplayName, default_codepage_));
  return name.value_or(std::string());
}

Result<ndb::Nid> Store::FolderNidOf(uint16_t entry_id_property) const {
  PST_ASSIGN_OR_RETURN(auto bytes, GetBinary(*props_, entry_id_property));
  if (!bytes) return Status::NotFound("the store has no property " + Hex(entry_id_property));
  auto id = DecodeEntryId(*bytes);
  if (!id) {
    return Status::Corruption("store property " + Hex(entry_id_property) + " is not a 24-byte EntryID");
  }
  return id->nid;
}

Result<ndb::Nid> Store::IpmSubtreeNid() const {
  auto named = FolderNidOf(kPidIpmSubtreeEntryId);
  if (named.ok() || !named.status().IsNotFound()) return named;
  // Offline stores: root -> "Root - Mailbox" -> "IPM_SUBTREE".
  PST_ASSIGN_OR_RETURN(Folder root, OpenRootFolder());
  PST_ASSIGN_OR_RETURN(std::vector<ndb::Nid> tops, root.SubfolderNids());
  for (ndb::Nid top : tops) {
    auto folder = OpenFolder(top);
    if (!folder.ok() || folder->DisplayName().value_or("") == "Root - Public") continue;
    auto children = folder->SubfolderNids();
    for (ndb::Nid child : children.ok() ? *children : std::vector<ndb::Nid>()) {
      auto sub = OpenFolder(child);
      if (sub.ok() && sub->DisplayName().value_or("") == "IPM_SUBTREE") return child;
    }
  }
  return Status::NotFound("the store names no top of its folder tree");
}

Result<Folder> Store::OpenFolder(ndb::Nid nid) const { return Folder::Open(*this, nid); }

Result<Message> Store::OpenMessage(ndb::Nid nid) const {
  auto node = db_->OpenNode(nid);
  if (!node.ok()) return node.status().WithContext("message " + Hex(nid));
  return Message::Open(std::move(node).value(), default_codepage_);
}

Result<const NameMap*> Store::Names() const {
  if (!names_) {
    auto node = db_->OpenNode(ndb::kNidNameToIdMap);
    if (!node.ok()) return node.status().WithContext("name-to-id map (node 0x61)");
    auto pc = ltp::PropertyContext::Open(std::move(node).value());
    if (!pc.ok()) return pc.status().WithContext("name-to-id map (node 0x61)");
    auto map = NameMap::Read(*pc);
    if (!map.ok()) return map.status();
    names_ = std::make_unique<NameMap>(std::move(map).value());
  }
  return names_.get();
}

Result<const NodeLinks*> Store::Links() const {
  if (!links_) {
    PST_ASSIGN_OR_RETURN(NodeLinks links, NodeLinks::Build(*db_));
    links_ = std::make_unique<NodeLinks>(std::move(links));
  }
  return links_.get();
}

}  // namespace pst::messaging
