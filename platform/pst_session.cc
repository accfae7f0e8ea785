#include "platform/pst_session.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "pst/base/hex.h"
#include "pst/messaging/store.h"
#include "pst/messaging/tags.h"

namespace quillmar::platform {
namespace {

namespace fs = std::filesystem;
using pst::messaging::Store;
using pst::ndb::Nid;

// wMagicClient of an offline store (OST): "SO".
constexpr uint16_t kOfflineClientMagic = 0x4F53;

Status WriterMissing(const std::string& what) {
  return Status::NotSupported("session: " + what +
                              " needs the store writer, which this build does not have");
}

class PstSession;

class PstStore : public MessageStore, public std::enable_shared_from_this<PstStore> {
 public:
  PstStore(std::shared_ptr<PstSession> session, std::string path, std::unique_ptr<Store> store)
      : session_(std::move(session)), path_(std::move(path)), store_(std::move(store)) {}

  Result<int32_t> StoreKind() override {
    PST_RETURN_IF_ERROR(CheckAttached());
    const auto& header = store_->database().header();
    if (header.client_magic == kOfflineClientMagic) return kStoreKindOffline;
    return store_->format() == pst::ndb::Format::kAnsi ? kStoreKindAnsi : kStoreKindUnicode;
  }
  Result<std::shared_ptr<MessageFolder>> IPMRootFolder() override;
  Status Remove() override {
    PST_RETURN_IF_ERROR(CheckAttached());
    Detach();
    return Status::Ok();
  }

  // Closes the file; every later call fails.
  void Detach() { store_.reset(); }
  Status CheckAttached() const {
    if (!store_) return Status::InvalidArgument("session: the store " + path_ + " is no longer attached");
    return Status::Ok();
  }
  const Store& store() const { return *store_; }
  const std::string& path() const { return path_; }

 private:
  std::shared_ptr<PstSession> session_;
  std::string path_;
  std::unique_ptr<Store> store_;
};

class PstFolder : public MessageFolder {
 public:
  PstFolder(std::shared_ptr<PstStore> store, Nid nid) : store_(std::move(store)), nid_(nid) {}

  Result<std::string> Name() override {
    PST_ASSIGN_OR_RETURN(auto folder, Open());
    auto name = folder.DisplayName();
    if (!name.ok()) return Context(name.status());
    return name;
  }
  Result<std::unique_ptr<FolderEnumerator>> Folders() override;
  Status Delete() override { return WriterMissing("deleting a folder"); }
  Status CopyTo(MessageFolder& destination, CopyObserver*) override {
    if (!dynamic_cast<PstFolder*>(&destination)) {
      return Status::InvalidArgument("session: the destination folder belongs to another kind of session");
    }
    return WriterMissing("copying a folder");
  }

  Result<pst::messaging::Folder> Open() const {
    PST_RETURN_IF_ERROR(store_->CheckAttached());
    auto folder = store_->store().OpenFolder(nid_);
    if (!folder.ok()) return Context(folder.status());
    return folder;
  }
  Status Context(const Status& status) const {
    return status.WithContext(store_->path() + ", folder " + pst::Hex(nid_));
  }

 private:
  std::shared_ptr<PstStore> store_;
  Nid nid_;
};

// Walks a snapshot of the subfolder list taken when the enumeration began,
// so deleting the folder just yielded does not disturb it; a folder gone
// meanwhile is passed over.
class PstFolderEnumerator : public FolderEnumerator {
 public:
  PstFolderEnumerator(std::shared_ptr<PstStore> store, std::vector<Nid> nids)
      : store_(std::move(store)), nids_(std::move(nids)) {}

  Result<std::shared_ptr<MessageFolder>> Next() override {
    PST_RETURN_IF_ERROR(store_->CheckAttached());
    while (index_ < nids_.size()) {
      const Nid nid = nids_[index_++];
      auto node = store_->store().database().FindNode(nid);
      if (!node.ok() && node.status().IsNotFound()) continue;
      if (!node.ok()) return node.status().WithContext(store_->path());
      return std::shared_ptr<MessageFolder>(std::make_shared<PstFolder>(store_, nid));
    }
    return std::shared_ptr<MessageFolder>();
  }

 private:
  std::shared_ptr<PstStore> store_;
  std::vector<Nid> nids_;
  size_t index_ = 0;
};

Result<std::unique_ptr<FolderEnumerator>> PstFolder::Folders() {
  PST_ASSIGN_OR_RETURN(auto folder, Open());
  auto nids = folder.SubfolderNids();
  if (!nids.ok()) return Context(nids.status());
  return std::unique_ptr<FolderEnumerator>(
      std::make_unique<PstFolderEnumerator>(store_, std::move(nids).value()));
}

Result<std::shared_ptr<MessageFolder>> PstStore::IPMRootFolder() {
  PST_RETURN_IF_ERROR(CheckAttached());
  auto nid = store_->FolderNidOf(pst::messaging::kPidIpmSubtreeEntryId);
  if (!nid.ok()) return nid.status().WithContext(path_ + ", top of the folder tree");
  auto folder = std::make_shared<PstFolder>(shared_from_this(), *nid);
  PST_RETURN_IF_ERROR(folder->Open().status());  // a dangling EntryID fails here, not later
  return std::shared_ptr<MessageFolder>(std::move(folder));
}

class PstSession : public RDOSession, public std::enable_shared_from_this<PstSession> {
 public:
  Status Logon() override {
    logged_on_ = true;
    return Status::Ok();
  }
  Result<std::string> ClientVersion() override { return std::string(kPstEngineClientVersion); }
  Result<std::shared_ptr<RDOStores>> Stores() override;
  Status Logoff() override {
    for (auto& weak : stores_) {
      if (auto store = weak.lock()) store->Detach();
    }
    stores_.clear();
    logged_on_ = false;
    return Status::Ok();
  }

  Result<std::shared_ptr<MessageStore>> Attach(const std::string& path,
                                               const std::optional<std::string>& display_name,
                                               const StoreCredentials& credentials) {
    if (!logged_on_) return Status::InvalidArgument("session: not logged on");
    if (path.empty()) return Status::InvalidArgument("session: no store file given");
    std::error_code ec;
    const fs::path file(std::u8string(path.begin(), path.end()));
    if (!fs::exists(file, ec)) return WriterMissing("creating the new store " + path);
    if (fs::is_directory(file, ec)) return Status::InvalidArgument("session: " + path + " is a folder");

    auto store = Store::OpenPath(path);
    if (!store.ok()) return store.status().WithContext(path);
    // An offline store's 0x67FF is no password (OSTs carry 0xFFFFFFFF there).
    const bool offline = (*store)->database().header().client_magic == kOfflineClientMagic;
    if (!offline && (*store)->has_password() &&
        !(credentials.password && (*store)->PasswordMatches(*credentials.password))) {
      return Status::PermissionDenied(
          "session: " + path + (credentials.password ? ": wrong password" : " is protected by a password"));
    }
    if (display_name) return WriterMissing("naming the store " + path);

    auto attached = std::make_shared<PstStore>(shared_from_this(), path, std::move(store).value());
    stores_.push_back(attached);
    return std::shared_ptr<MessageStore>(std::move(attached));
  }

 private:
  bool logged_on_ = false;
  std::vector<std::weak_ptr<PstStore>> stores_;
};

class PstStores : public RDOStores {
 public:
  explicit PstStores(std::shared_ptr<PstSession> session) : session_(std::move(session)) {}
  using RDOStores::AddPSTStore;
  Result<std::shared_ptr<MessageStore>> AddPSTStore(const std::string& path, int16_t /*format*/,
                                                    const std::optional<std::string>& display_name,
                                                    const StoreCredentials& credentials) override {
    // An existing file opens in its own format whatever the selector says.
    return session_->Attach(path, display_name, credentials);
  }

 private:
  std::shared_ptr<PstSession> session_;
};

Result<std::shared_ptr<RDOStores>> PstSession::Stores() {
  if (!logged_on_) return Status::InvalidArgument("session: not logged on");
  return std::shared_ptr<RDOStores>(std::make_shared<PstStores>(shared_from_this()));
}

}  // namespace

Result<std::shared_ptr<RDOSession>> PstSessionFactory::CreateSession(std::string_view prog_id) {
  if (prog_id != kSessionProgId) {
    return Status::NotFound("session: no component is registered as \"" + std::string(prog_id) + "\"");
  }
  return std::shared_ptr<RDOSession>(std::make_shared<PstSession>());
}

}  // namespace quillmar::platform
