// Folders of the engine-backed session: names, the subfolder enumeration,
// Delete, and the copies into a folder of another store.
#include <chrono>
#include <filesystem>
#include <system_error>

#include "session/pst_session_objects.h"
#include "pst/base/hex.h"
#include "pst/convert/salvage.h"
#include "pst/convert/store_copy.h"

namespace quillmar::session::pst_session {
namespace {

namespace fs = std::filesystem;
namespace convert = pst::convert;

// Progress comes from the engine after each folder and message and every
// this many bytes of a large value; it is passed on to the observer at most
// this often (the first report of a copy always), so a slow event loop does
// not slow the copy and a window waiting on it stays responsive.
constexpr uint64_t kProgressBytes = 256 * 1024;
constexpr std::chrono::milliseconds kProgressInterval{25};

// Reasons listed in an incomplete copy's error; the rest are counted.
constexpr size_t kReasonsShown = 5;

class ProgressRelay {
 public:
  ProgressRelay(CopyObserver* observer, std::string folder_name)
      : observer_(observer), folder_name_(std::move(folder_name)) {}

  bool operator()(const convert::CopyProgress& engine) {
    if (!observer_) return true;
    if (cancelled_) return false;
    const auto now = std::chrono::steady_clock::now();
    if (reported_ && now - last_ < kProgressInterval) return true;
    reported_ = true;
    last_ = now;
    last_progress_.objects_done = engine.folders + engine.messages;
    last_progress_.bytes_done = engine.bytes;
    last_progress_.current_folder = engine.current_folder.empty() ? folder_name_ : engine.current_folder;
    return observer_->OnProgress(last_progress_);
  }

  // While a commit waits for the disk: the observer hears the last progress
  // again, so a window goes on turning. A cancel asked for meanwhile ends the
  // copy at its next report.
  void KeepAlive() {
    if (!observer_ || !reported_ || cancelled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < kProgressInterval) return;
    last_ = now;
    if (!observer_->OnProgress(last_progress_)) cancelled_ = true;
  }

 private:
  CopyObserver* observer_;
  std::string folder_name_;
  bool reported_ = false;
  bool cancelled_ = false;
  std::chrono::steady_clock::time_point last_;
  CopyProgress last_progress_;
};

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

// A copy that went through but left things out: what and why.
Status Incomplete(const std::string& what, const convert::CopyReport& report) {
  const size_t failed = report.failures.size();
  const size_t dropped = report.dropped_properties.size();
  std::string message = what + " was copied incompletely:";
  auto count = [&message](size_t n, const char* one, const char* many, const char* verb) {
    message.append(" ").append(std::to_string(n)).append(n == 1 ? one : many).append(verb);
  };
  if (failed) count(failed, " object", " objects", " not copied");
  if (failed && dropped) message += ",";
  if (dropped) count(dropped, " property", " properties", " left out");
  size_t shown = 0;
  for (const auto* list : {&report.failures, &report.dropped_properties}) {
    for (const std::string& reason : *list) {
      if (shown == kReasonsShown) break;
      message += (shown++ ? "; " : " (") + reason;
    }
  }
  if (failed + dropped > shown) message += "; and " + std::to_string(failed + dropped - shown) + " more";
  message += ")";
  // Unreadable objects are the source's damage; left-out properties are
  // values the target cannot hold.
  return failed ? Status::Corruption(message) : Status::NotSupported(message);
}

// A copy the output had no room for in full: which folders kept how many
// messages out. What fitted is in the output.
Status DidNotFit(const std::string& what, const convert::CopyReport& report, const PstStore& target) {
  const bool ansi = target.format() == pst::ndb::Format::kAnsi;
  std::string message = "session: " + what + " was copied in part: the output " + target.path() + " reached " +
                        (ansi ? "the ANSI size limit" : "its size limit") + ";";
  size_t shown = 0;
  for (const convert::MessagesLeftOut& l : report.left_out) {
    if (shown == kReasonsShown) break;
    const uint64_t n = l.messages + l.fai_messages;
    message += std::string(shown++ ? "," : "") + " " + std::to_string(n) + (n == 1 ? " message" : " messages") +
               " of " + Quoted(l.folder) + (l.folder_copied ? "" : " (and the folder itself)");
  }
  if (report.left_out.size() > shown) message += " and those of " + std::to_string(report.left_out.size() - shown) + " more folders";
  return Status::SizeLimit(message + " did not fit");
}

// A copy that ended early: a cancelled one leaves nothing in the target;
// after a failed write, what was committed before it stays.
Status CopyFailed(const Status& status, const std::string& what, const PstStore& target) {
  if (status.code() == Status::Code::kCancelled) {
    return Status::Cancelled("session: copying " + what + " was cancelled; nothing of it was kept");
  }
  if (status.IsSizeLimit()) {
    const bool ansi = target.format() == pst::ndb::Format::kAnsi;
    return Status::SizeLimit("session: " + what + " was not copied: the output " + target.path() + " reached " +
                             (ansi ? "the ANSI size limit (" : "its size limit (") + status.message() + ")");
  }
  return status.WithContext("session: copying " + what + " into " + target.path());
}

}  // namespace

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
      if (store_->IsRetired(nid)) continue;
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

Result<pst::messaging::Folder> PstFolder::Open() const {
  PST_RETURN_IF_ERROR(store_->CheckAttached());
  if (store_->IsRetired(nid_)) return Context(Status::NotFound("session: the folder is deleted"));
  auto folder = store_->store().OpenFolder(nid_);
  if (!folder.ok()) return Context(folder.status());
  return folder;
}

Status PstFolder::Context(const Status& status) const {
  return status.WithContext(store_->path() + ", folder " + pst::Hex(nid_));
}

Result<std::string> PstFolder::Name() {
  PST_RETURN_IF_ERROR(store_->CheckAttached());
  // 8-bit names read in the store's own code page.
  if (!store_->store().is_unicode()) store_->Codepage();
  PST_ASSIGN_OR_RETURN(auto folder, Open());
  auto name = folder.DisplayName();
  if (!name.ok()) return Context(name.status());
  return name;
}

Result<std::unique_ptr<FolderEnumerator>> PstFolder::Folders() {
  PST_ASSIGN_OR_RETURN(auto folder, Open());
  auto nids = folder.SubfolderNids();
  if (!nids.ok()) return Context(nids.status());
  std::erase_if(*nids, [this](Nid nid) { return store_->IsRetired(nid); });
  return std::unique_ptr<FolderEnumerator>(
      std::make_unique<PstFolderEnumerator>(store_, std::move(nids).value()));
}

Status PstFolder::Delete() {
  PST_RETURN_IF_ERROR(Open().status());
  if (store_->IsStructuralFolder(nid_)) {
    return Context(Status::InvalidArgument("session: this folder holds the store's folder tree and is not deleted"));
  }
  PST_ASSIGN_OR_RETURN(StoreWriter * writer, store_->Writer());
  Status deleted = convert::DeleteFolder(*writer, nid_);
  if (!deleted.ok()) return Context(deleted.WithContext("session: deleting"));
  store_->ForgetDeletedCopies();
  return Status::Ok();
}

Result<PstFolder*> PstFolder::CopyTarget(MessageFolder& destination) const {
  auto* target = dynamic_cast<PstFolder*>(&destination);
  if (!target) {
    return Status::InvalidArgument("session: the destination folder belongs to another kind of session");
  }
  PST_RETURN_IF_ERROR(Open().status());
  PST_RETURN_IF_ERROR(target->Open().status());
  // Reading a store while writing it would read what the copy is changing.
  std::error_code ec;
  if (target->store_ == store_ ||
      fs::equivalent(fs::path(std::u8string(store_->path().begin(), store_->path().end())),
                     fs::path(std::u8string(target->store_->path().begin(), target->store_->path().end())), ec)) {
    return Context(Status::InvalidArgument("session: a folder is not copied into its own store file"));
  }
  return target;
}

Status PstFolder::CopyTo(MessageFolder& destination, CopyObserver* observer) {
  return Copy(destination, observer, /*mail_only=*/false);
}

Status PstFolder::CopyContentsTo(MessageFolder& destination, CopyObserver* observer) {
  return Copy(destination, observer, /*mail_only=*/true);
}

Status PstFolder::Copy(MessageFolder& destination, CopyObserver* observer, bool mail_only) {
  PST_ASSIGN_OR_RETURN(PstFolder * target, CopyTarget(destination));
  // The mail of a source's top folder into the destination's top folder is
  // the last copy of a whole store: then what no folder reached (a damaged
  // source) is recovered too.
  const bool whole_store = mail_only && store_->IsTopFolder(nid_) && target->store_->IsTopFolder(target->nid_);
  std::string name;
  bool holds_mail = true;
  {
    PST_ASSIGN_OR_RETURN(auto folder, Open());
    name = folder.DisplayName().value_or(pst::Hex(nid_));
    // A search folder lists messages that other folders hold; it is not
    // copied itself.
    if (folder.is_search_folder()) return Status::Ok();
    if (mail_only) {
      auto contents = folder.OpenContentsTable();
      auto associated = folder.OpenAssociatedContentsTable();
      holds_mail = !(contents.ok() && associated.ok() && contents->row_count() == 0 && associated->row_count() == 0);
    }
  }
  // Nothing to copy: the target is not opened for writing.
  if (!holds_mail && !whole_store) return Status::Ok();
  const std::string what = (mail_only ? "the messages of the folder " : "the folder ") + Quoted(name);

  PST_ASSIGN_OR_RETURN(StoreWriter * writer, target->store_->Writer());
  convert::Conversion& conversion = target->store_->ConversionFrom(*store_);
  ProgressRelay relay(observer, name);
  conversion.set_progress([&relay](const convert::CopyProgress& progress) { return relay(progress); },
                          kProgressBytes);
  target->store_->WhileSyncing([&relay] { relay.KeepAlive(); });
  Result<convert::CopyReport> copied = convert::CopyReport();
  if (holds_mail) {
    copied = mail_only ? conversion.CopyFolderMail(store_->store(), nid_, *writer, target->nid_)
                       : conversion.CopyFolder(store_->store(), nid_, *writer, target->nid_);
  }
  Result<convert::CopyReport> recovered = convert::CopyReport();
  if (whole_store && copied.ok()) {
    recovered = conversion.RecoverOrphans(store_->store(), nid_, *writer, target->nid_);
  }
  conversion.set_progress(nullptr, kProgressBytes);
  target->store_->WhileSyncing(nullptr);

  CopyDamage damage;
  for (const auto* part : {&copied, &recovered}) {
    if (!part->ok()) continue;
    damage.messages_recovered_with_damage += (*part)->messages_recovered_with_damage;
    damage.messages_unreadable += (*part)->messages_unreadable;
  }
  if (observer && (damage.messages_recovered_with_damage || damage.messages_unreadable)) observer->OnDamage(damage);

  if (!copied.ok()) return CopyFailed(copied.status(), what, *target->store_);
  if (!copied->left_out.empty()) return DidNotFit(what, *copied, *target->store_);
  if (!copied->failures.empty() || !copied->dropped_properties.empty()) return Incomplete("session: " + what, *copied);
  const std::string recovering = std::string("the folder ") + Quoted(convert::kRecoveredItemsName);
  if (!recovered.ok()) return CopyFailed(recovered.status(), recovering, *target->store_);
  if (!recovered->failures.empty() || !recovered->dropped_properties.empty()) {
    return Incomplete("session: " + recovering, *recovered);
  }
  return Status::Ok();
}

}  // namespace quillmar::session::pst_session
