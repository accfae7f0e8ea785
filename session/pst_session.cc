// The engine-backed session, its stores collection and its stores.
#include "session/pst_session.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "session/pst_session_objects.h"
#include "pst/base/hex.h"
#include "pst/convert/codepage_policy.h"
#include "pst/convert/store_copy.h"
#include "pst/io/file.h"
#include "pst/io/write_behind_file.h"
#include "pst/io/writeback_file.h"
#include "pst/messaging/store_creator.h"
#include "pst/messaging/tags.h"
#include "pst/messaging/text.h"

namespace quillmar::session::pst_session {
namespace {

namespace fs = std::filesystem;

// wMagicClient of an offline store (OST): "SO".
constexpr uint16_t kOfflineClientMagic = 0x4F53;

bool IsOffline(const Store& store) { return store.database().header().client_magic == kOfflineClientMagic; }

fs::path PathOf(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

}  // namespace

class PstSession : public RDOSession, public std::enable_shared_from_this<PstSession> {
 public:
  explicit PstSession(const PstSessionOptions& options) : options_(options) {}

  Status Logon() override {
    logged_on_ = true;
    return Status::Ok();
  }
  Result<std::string> ClientVersion() override { return std::string(kPstEngineClientVersion); }
  Result<std::shared_ptr<RDOStores>> Stores() override;
  Status Logoff() override {
    // Every store is closed whatever happens; the first failure is told.
    Status first_failure;
    for (auto& weak : stores_) {
      auto store = weak.lock();
      if (!store || !store->attached()) continue;
      Status detached = store->Detach();
      if (first_failure.ok() && !detached.ok()) first_failure = detached;
    }
    stores_.clear();
    logged_on_ = false;
    return first_failure;
  }

  Result<std::shared_ptr<MessageStore>> Attach(const std::string& path,
                                               const std::optional<std::string>& display_name,
                                               const StoreCredentials& credentials);

 private:
  PstSessionOptions options_;
  bool logged_on_ = false;
  std::vector<std::weak_ptr<PstStore>> stores_;
};

Result<std::shared_ptr<MessageStore>> PstSession::Attach(const std::string& path,
                                                         const std::optional<std::string>& display_name,
                                                         const StoreCredentials& credentials) {
  if (!logged_on_) return Status::InvalidArgument("session: not logged on");
  if (path.empty()) return Status::InvalidArgument("session: no store file given");
  std::error_code ec;
  const fs::path file = PathOf(path);
  const fs::file_status status = fs::symlink_status(file, ec);
  if (status.type() == fs::file_type::not_found) {
    pst::messaging::StoreOptions options;
    options.format = pst::ndb::Format::kUnicode;
    if (display_name) options.display_name = *display_name;
    Status created = pst::messaging::CreateStore(path, options);
    if (!created.ok()) return created.WithContext("session: creating the new store " + path);
  } else if (fs::is_directory(file, ec)) {
    return Status::InvalidArgument("session: " + path + " is a folder");
  }

  auto store = Store::OpenPath(path);
  if (!store.ok()) return store.status().WithContext(path);
  // An offline store's 0x67FF is no password (OSTs carry 0xFFFFFFFF there).
  if (!IsOffline(**store) && (*store)->has_password() &&
      !(credentials.password && (*store)->PasswordMatchesText(*credentials.password))) {
    return Status::PermissionDenied(
        "session: " + path + (credentials.password ? ": wrong password" : " is protected by a password"));
  }

  auto attached = std::make_shared<PstStore>(shared_from_this(), path, std::move(store).value(), options_);
  if (display_name) {
    Status named = attached->SetDisplayName(*display_name);
    if (!named.ok()) {
      (void)attached->Detach();
      return named;
    }
  }
  stores_.push_back(attached);
  return std::shared_ptr<MessageStore>(std::move(attached));
}

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

// ---------------------------------------------------------------------------
// PstStore

PstStore::PstStore(std::shared_ptr<PstSession> session, std::string path, std::unique_ptr<Store> reader,
                   const PstSessionOptions& options)
    : session_(std::move(session)), path_(std::move(path)), options_(options), reader_(std::move(reader)) {}

PstStore::~PstStore() {
  // Released without Remove or Logoff: still leave a written store sound.
  if (attached()) (void)Detach();
}

Result<int32_t> PstStore::StoreKind() {
  PST_RETURN_IF_ERROR(CheckAttached());
  if (IsOffline(store())) return kStoreKindOffline;
  return store().format() == pst::ndb::Format::kAnsi ? kStoreKindAnsi : kStoreKindUnicode;
}

Result<std::shared_ptr<MessageFolder>> PstStore::IPMRootFolder() {
  PST_RETURN_IF_ERROR(CheckAttached());
  auto nid = store().IpmSubtreeNid();
  if (!nid.ok()) return nid.status().WithContext(path_ + ", top of the folder tree");
  auto folder = std::make_shared<PstFolder>(shared_from_this(), *nid);
  PST_RETURN_IF_ERROR(folder->Open().status());  // a dangling EntryID fails here, not later
  return std::shared_ptr<MessageFolder>(std::move(folder));
}

Status PstStore::Remove() {
  PST_RETURN_IF_ERROR(CheckAttached());
  // A store that cannot be finished stays attached, so the caller may retry;
  // Logoff closes it regardless.
  PST_RETURN_IF_ERROR(Finish());
  return Close();
}

Status PstStore::Detach() {
  Status finished = attached() ? Finish() : Status::Ok();
  Status closed = Close();
  return finished.ok() ? closed : finished;
}

Status PstStore::Finish() {
  if (!writer_) return Status::Ok();  // never written: nothing to finish
  Status s = pst::convert::EnsureWastebasket(*writer_);
  if (!s.ok()) return s.WithContext("session: " + path_ + ", giving the store a Deleted Items folder");
  return Status::Ok();
}

Status PstStore::Close() {
  const bool written = writer_ != nullptr;
  reader_.reset();
  writer_.reset();
  bool write_failed = false;
  for (const auto& [source, conversion] : conversions_) write_failed = write_failed || conversion->report().write_failed;
  conversions_.clear();
  // A failed write may have left the file damaged: say so rather than pass
  // it off as a finished store.
  if (written && write_failed && !pst::convert::IsSoundStore(path_)) {
    return Status::Corruption("session: writing " + path_ + " failed and it is not a sound store");
  }
  return Status::Ok();
}

Status PstStore::CheckAttached() const {
  if (!attached()) return Status::InvalidArgument("session: the store " + path_ + " is no longer attached");
  return Status::Ok();
}

uint32_t PstStore::Codepage() {
  if (!codepage_) {
    codepage_ = reader_ ? pst::convert::UseNamesCodepage(*reader_, std::nullopt)
                        : pst::convert::ChooseNamesCodepage(store(), std::nullopt);
  }
  return *codepage_;
}

pst::convert::Conversion& PstStore::ConversionFrom(PstStore& source) {
  auto& conversion = conversions_[source.path()];
  if (!conversion) {
    source.Codepage();  // the source reads its names with the conversion's code page
    conversion = std::make_unique<pst::convert::Conversion>(source.store(), pst::convert::ConversionOptions{});
  }
  return *conversion;
}

Result<StoreWriter*> PstStore::Writer() {
  PST_RETURN_IF_ERROR(CheckAttached());
  if (writer_) return writer_.get();
  if (IsOffline(*reader_)) {
    return Status::NotSupported("session: " + path_ + " is an offline store (OST), which is not written");
  }
  // A file marked read-only is not written, even by a user whom the
  // system would let (an administrator, root).
  std::error_code ec;
  const fs::perms perms = fs::status(PathOf(path_), ec).permissions();
  constexpr fs::perms kAnyWrite = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  if (!ec && (perms & kAnyWrite) == fs::perms::none) {
    return Status::PermissionDenied("session: " + path_ + " is read-only and is not changed");
  }
  auto file = pst::io::OpenReadWrite(path_);
  if (!file.ok()) return file.status().WithContext("session: opening " + path_ + " for writing");
  const pst::ndb::Format format = reader_->format();
  const pst::ndb::WriteOptions options = pst::convert::OutputWriteOptions(
      format, format == pst::ndb::Format::kAnsi ? options_.ansi_max_file_size : 0);
  // Writes reach the disk on a second thread while the next are made, and
  // the disk flushes them as they come; each commit's sync waits for the
  // rest, on a worker while the window turns.
  auto writeback = std::make_shared<pst::io::WritebackFile>(std::shared_ptr<pst::io::WritableFile>(std::move(file).value()));
  auto behind = std::make_shared<pst::io::WriteBehindFile>(std::move(writeback));
  auto waiting = std::make_shared<pst::io::WaitingSyncFile>(std::move(behind));
  auto writer = StoreWriter::Open(waiting, options);
  if (!writer.ok()) return writer.status().WithContext("session: opening " + path_ + " for writing");
  writer_ = std::move(writer).value();
  file_ = std::move(waiting);
  reader_.reset();
  return writer_.get();
}

Status PstStore::SetDisplayName(const std::string& name) {
  auto current = store().DisplayName();
  if (current.ok() && *current == name) return Status::Ok();
  const bool unicode = store().is_unicode();
  pst::Bytes value = pst::messaging::Utf8ToUtf16Le(name);
  if (!unicode) {
    const uint32_t codepage = store().default_codepage();
    auto encoded = pst::messaging::EncodeCodepage(value, codepage);
    if (!encoded.ok()) return encoded.status().WithContext("session: naming the store " + path_);
    if (encoded->replaced != 0) {
      return Status::InvalidArgument("session: the name \"" + name + "\" cannot be written in code page " +
                                     std::to_string(codepage) + " of the ANSI store " + path_);
    }
    value = std::move(encoded->bytes);
  }
  PST_ASSIGN_OR_RETURN(StoreWriter * writer, Writer());
  auto update = writer->Begin();
  Status s = update.ok() ? Status::Ok() : update.status();
  if (s.ok()) {
    s = (*update)->SetStoreProperty(
        pst::ltp::MakeTag(pst::messaging::kPidDisplayName, unicode ? pst::ltp::kPtypString : pst::ltp::kPtypString8),
        std::move(value));
  }
  if (s.ok()) s = (*update)->Commit();
  if (!s.ok()) return s.WithContext("session: naming the store " + path_);
  return Status::Ok();
}

void PstStore::ForgetDeletedCopies() {
  for (auto& [source, conversion] : conversions_) conversion->ForgetDeletedCopies(store());
}

bool PstStore::IsTopFolder(Nid nid) const {
  auto top = store().IpmSubtreeNid();
  return top.ok() && *top == nid;
}

bool PstStore::IsStructuralFolder(Nid nid) const {
  if (nid == pst::ndb::kNidRootFolder) return true;
  auto top = store().IpmSubtreeNid();
  if (top.ok() && *top == nid) return true;
  auto finder = store().FolderNidOf(pst::messaging::kPidFinderEntryId);
  return finder.ok() && *finder == nid;
}

}  // namespace quillmar::session::pst_session

namespace quillmar::session {

Result<std::shared_ptr<RDOSession>> PstSessionFactory::CreateSession(std::string_view prog_id) {
  if (prog_id != kSessionProgId) {
    return Status::NotFound("session: no component is registered as \"" + std::string(prog_id) + "\"");
  }
  return std::shared_ptr<RDOSession>(std::make_shared<pst_session::PstSession>(options_));
}

}  // namespace quillmar::session
