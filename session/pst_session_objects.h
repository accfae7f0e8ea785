// The objects of the engine-backed session (see pst_session.h), shared by
// its two source files: the session and its stores (pst_session.cc), the
// folders with their enumeration and copies (pst_folder.cc).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pst/convert/conversion.h"
#include "pst/io/waiting_sync_file.h"
#include "pst/messaging/store.h"
#include "pst/messaging/store_writer.h"
#include "session/pst_session.h"

namespace quillmar::session::pst_session {

using pst::messaging::Store;
using pst::messaging::StoreWriter;
using pst::ndb::Nid;

class PstSession;

// One attached store file. Reads go through the read-only Store until the
// first change; from then on through the writer's committed state. Neither
// is ever held across a change: a commit replaces the writer's Store.
class PstStore : public MessageStore, public std::enable_shared_from_this<PstStore> {
 public:
  PstStore(std::shared_ptr<PstSession> session, std::string path, std::unique_ptr<Store> reader,
           const PstSessionOptions& options);
  ~PstStore() override;

  Result<int32_t> StoreKind() override;
  Result<std::shared_ptr<MessageFolder>> IPMRootFolder() override;
  Status Remove() override;

  // Finishes a written store (its Deleted Items reference) and closes the
  // file; every later call fails. Closes even when finishing fails, and
  // returns that failure.
  Status Detach();
  Status CheckAttached() const;
  bool attached() const { return reader_ || writer_; }

  // The committed state. Only valid while attached and until the next change.
  const Store& store() const { return writer_ ? writer_->store() : *reader_; }
  const std::string& path() const { return path_; }
  pst::ndb::Format format() const { return store().format(); }

  // The code page of the store's 8-bit names (pst::convert::UseNamesCodepage),
  // chosen at the first need; the store reads with it.
  uint32_t Codepage();

  // The writer, opened over the file at the first change.
  Result<StoreWriter*> Writer();
  // What the writer's commits call while they wait for the disk (a copy's
  // observer, so that a window keeps turning); nullptr: nothing.
  void WhileSyncing(std::function<void()> fn) {
    if (file_) file_->set_while_waiting(std::move(fn));
  }
  // Gives the store object a new display name, unless it has it already.
  Status SetDisplayName(const std::string& name);

  // The conversion from `source` into this store, across all copies from
  // that file (it carries the source -> copy folder map and the report).
  pst::convert::Conversion& ConversionFrom(PstStore& source);
  // Drops the copies a Delete took away from the conversions' folder maps.
  void ForgetDeletedCopies();
  // A Deleted Items folder that was deleted but stays on disk until another
  // folder takes its role: to callers it is gone.
  bool IsRetired(Nid nid) const { return writer_ && nid != 0 && writer_->retired_wastebasket() == nid; }

  // The folders a Delete must not take away: the root, the top of the
  // visible tree, the search root.
  bool IsStructuralFolder(Nid nid) const;
  // The top of the visible folder tree.
  bool IsTopFolder(Nid nid) const;

 private:
  Status Finish();
  // Closes the file; after a failed write, checks that it is still sound.
  Status Close();

  std::shared_ptr<PstSession> session_;
  std::string path_;
  PstSessionOptions options_;
  std::unique_ptr<Store> reader_;
  std::unique_ptr<StoreWriter> writer_;
  std::shared_ptr<pst::io::WaitingSyncFile> file_;  // the writer's file
  std::map<std::string, std::unique_ptr<pst::convert::Conversion>> conversions_;
  std::optional<uint32_t> codepage_;
};

class PstFolder : public MessageFolder {
 public:
  PstFolder(std::shared_ptr<PstStore> store, Nid nid) : store_(std::move(store)), nid_(nid) {}

  Result<std::string> Name() override;
  Result<std::unique_ptr<FolderEnumerator>> Folders() override;
  Status Delete() override;
  Status CopyTo(MessageFolder& destination, CopyObserver* observer) override;
  Status CopyContentsTo(MessageFolder& destination, CopyObserver* observer) override;

  // The folder in the store's committed state; fails once it is deleted or
  // the store detached. Valid until the store's next change.
  Result<pst::messaging::Folder> Open() const;
  Status Context(const Status& status) const;

 private:
  // Checks both ends of a copy; returns the destination folder.
  Result<PstFolder*> CopyTarget(MessageFolder& destination) const;
  // CopyTo, or with `mail_only` CopyContentsTo.
  Status Copy(MessageFolder& destination, CopyObserver* observer, bool mail_only);

  std::shared_ptr<PstStore> store_;
  Nid nid_;
};

}  // namespace quillmar::session::pst_session
