// A scriptable, in-memory message-store session for tests of the commands
// and the windows. It keeps "store files" by path, creates sessions on
// demand, logs every call and can fail any chosen call.
//
//   FakeSessionWorld world;
//   world.client_version = "10.0.0.0";
//   world.PutStore("/in/old.pst", {.kind = kStoreKindAnsi, .folders = {{"Inbox"}, {"Sent"}}});
//   world.FailAt("CopyTo", 2, Status::IOError("disk full"));
//
// A path with no store put there is opened from disk the way a real file
// would be: a file whose text is the tag of an image given to DefineImage
// opens as a copy of that image (so a copied template file behaves like
// the template); any other file fails as "not a personal folders file";
// where no file exists, a new empty Unicode store is created and a file
// is written for it.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "session/session.h"

namespace quillmar::session {

struct FolderSpec {
  FolderSpec(std::string folder_name, std::vector<FolderSpec> subfolders = {})  // NOLINT
      : name(std::move(folder_name)), children(std::move(subfolders)) {}
  FolderSpec(const char* folder_name) : name(folder_name) {}  // NOLINT

  std::string name;
  std::vector<FolderSpec> children;
};

struct StoreImage {
  int32_t kind = kStoreKindUnicode;
  std::vector<FolderSpec> folders;        // the top folder's subfolders
  std::optional<std::string> password;    // set: AddPSTStore needs it
};

// One folder of a fake store.
struct FakeFolderNode {
  std::string name;
  std::vector<std::shared_ptr<FakeFolderNode>> children;
  std::weak_ptr<FakeFolderNode> parent;
  bool deleted = false;
};

// The content of one fake store "file".
struct FakeStoreFile {
  std::string path;
  int32_t kind = kStoreKindUnicode;
  std::optional<std::string> password;
  std::string display_name;
  std::shared_ptr<FakeFolderNode> root;
  int writes = 0;        // committed changes (deletes, copies in, renames)
  int attach_count = 0;  // how often it is attached right now
};

class FakeSessionWorld : public SessionFactory {
 public:
  FakeSessionWorld();
  ~FakeSessionWorld() override;

  // --- Script -------------------------------------------------------------
  std::string client_version = "16.0.0.0";
  // CopyTo reports this many progress steps before it copies.
  int copy_progress_steps = 0;
  // Runs before every call, after it is logged: (operation, target).
  std::function<void(const std::string&, const std::string&)> on_call;

  void PutStore(const std::string& path, const StoreImage& image);
  void DefineImage(const std::string& tag, const StoreImage& image);
  // The n-th call (from 1) of operation fails with status; n = 0: every call.
  void FailAt(const std::string& operation, int n, Status status);
  // Every call of operation on the object named target fails with status:
  // a folder's name (Name, Folders, Delete, CopyTo), a store's path
  // (AddPSTStore, StoreKind, IPMRootFolder, Remove, and Next of any folder
  // enumeration in that store), "s<N>" for the N-th session (Logon,
  // ClientVersion, Stores, Logoff), the name asked for (CreateSession).
  void FailOn(const std::string& operation, const std::string& target, Status status);

  // --- Inspection ---------------------------------------------------------
  // Every call as "operation:target", in order.
  const std::vector<std::string>& calls() const { return calls_; }
  int CallCount(const std::string& operation) const;
  const FakeStoreFile* StoreAt(const std::string& path) const;
  // Names of the top folder's subfolders of the store at path, in order.
  std::vector<std::string> TopFolderNames(const std::string& path) const;
  int sessions_created() const { return sessions_created_; }
  int sessions_logged_on() const { return sessions_logged_on_; }
  int stores_attached() const;

  // --- SessionFactory ------------------------------------------------------
  Result<std::shared_ptr<RDOSession>> CreateSession(std::string_view prog_id) override;

  // Used by the fake objects: logs the call and applies the script.
  Status Enter(const std::string& operation, const std::string& target);
  Result<std::shared_ptr<FakeStoreFile>> OpenFile(const std::string& path);
  void SessionLoggedOn(int delta) { sessions_logged_on_ += delta; }

 private:
  struct Rule {
    std::string operation;
    int n = 0;
    std::string target;
    Status status;
  };

  std::map<std::string, std::shared_ptr<FakeStoreFile>> files_;
  std::map<std::string, StoreImage> images_;
  std::vector<Rule> rules_;
  std::vector<std::string> calls_;
  std::map<std::string, int> counts_;
  int sessions_created_ = 0;
  int sessions_logged_on_ = 0;
};

}  // namespace quillmar::session
