#include "session/testing/fake_session.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

namespace quillmar::session {
namespace {

constexpr char kNewStoreTag[] = "fake-store:new-unicode";

std::shared_ptr<FakeFolderNode> BuildTree(const std::string& name,
                                          const std::vector<FolderSpec>& children) {
  auto node = std::make_shared<FakeFolderNode>();
  node->name = name;
  for (const FolderSpec& child : children) {
    auto sub = BuildTree(child.name, child.children);
    sub->parent = node;
    node->children.push_back(std::move(sub));
  }
  return node;
}

std::shared_ptr<FakeFolderNode> CloneTree(const FakeFolderNode& from) {
  auto node = std::make_shared<FakeFolderNode>();
  node->name = from.name;
  for (const auto& child : from.children) {
    auto sub = CloneTree(*child);
    sub->parent = node;
    node->children.push_back(std::move(sub));
  }
  return node;
}

std::shared_ptr<FakeStoreFile> FileFromImage(const std::string& path, const StoreImage& image) {
  auto file = std::make_shared<FakeStoreFile>();
  file->path = path;
  file->kind = image.kind;
  file->password = image.password;
  file->root = BuildTree("Top of Personal Folders", image.folders);
  return file;
}

// A folder is alive while neither it nor an ancestor has been deleted.
bool Alive(const std::shared_ptr<FakeFolderNode>& node) {
  for (auto n = node; n; n = n->parent.lock()) {
    if (n->deleted) return false;
  }
  return true;
}

bool IsWithin(const std::shared_ptr<FakeFolderNode>& node, const FakeFolderNode* ancestor) {
  for (auto n = node; n; n = n->parent.lock()) {
    if (n.get() == ancestor) return true;
  }
  return false;
}

class FakeSession;

class FakeStore : public MessageStore, public std::enable_shared_from_this<FakeStore> {
 public:
  FakeStore(std::shared_ptr<FakeSession> session, std::shared_ptr<FakeStoreFile> file)
      : session_(std::move(session)), file_(std::move(file)) {}

  Result<int32_t> StoreKind() override;
  Result<std::shared_ptr<MessageFolder>> IPMRootFolder() override;
  Status Remove() override;

  Status CheckUsable() const;
  void Detach() {
    if (attached_) --file_->attach_count;
    attached_ = false;
  }
  FakeSessionWorld& world() const;
  const std::shared_ptr<FakeStoreFile>& file() const { return file_; }

 private:
  std::shared_ptr<FakeSession> session_;
  std::shared_ptr<FakeStoreFile> file_;
  bool attached_ = true;
};

class FakeFolder : public MessageFolder {
 public:
  FakeFolder(std::shared_ptr<FakeStore> store, std::shared_ptr<FakeFolderNode> node)
      : store_(std::move(store)), node_(std::move(node)) {}

  Result<std::string> Name() override {
    PST_RETURN_IF_ERROR(Enter("Name"));
    return node_->name;
  }
  Result<std::unique_ptr<FolderEnumerator>> Folders() override;
  Status Delete() override {
    PST_RETURN_IF_ERROR(Enter("Delete"));
    auto parent = node_->parent.lock();
    if (!parent) return Status::InvalidArgument("fake session: the top folder cannot be deleted");
    auto& siblings = parent->children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), node_), siblings.end());
    node_->deleted = true;
    ++store_->file()->writes;
    return Status::Ok();
  }
  Status CopyTo(MessageFolder& destination, CopyObserver* observer) override;
  // Fake folders hold no messages: checks the destination, copies nothing.
  Status CopyContentsTo(MessageFolder& destination, CopyObserver*) override {
    PST_RETURN_IF_ERROR(Enter("CopyContentsTo"));
    auto* target = dynamic_cast<FakeFolder*>(&destination);
    if (!target) return Status::InvalidArgument("fake session: destination is not a fake folder");
    PST_RETURN_IF_ERROR(target->store_->CheckUsable());
    if (!Alive(target->node_)) return Status::NotFound("fake session: destination folder was deleted");
    return Status::Ok();
  }

 private:
  Status Enter(const std::string& operation) {
    PST_RETURN_IF_ERROR(store_->world().Enter(operation, node_->name));
    PST_RETURN_IF_ERROR(store_->CheckUsable());
    if (!Alive(node_)) return Status::NotFound("fake session: folder '" + node_->name + "' was deleted");
    return Status::Ok();
  }

  std::shared_ptr<FakeStore> store_;
  std::shared_ptr<FakeFolderNode> node_;
};

class FakeEnumerator : public FolderEnumerator {
 public:
  FakeEnumerator(std::shared_ptr<FakeStore> store, std::shared_ptr<FakeFolderNode> parent)
      : store_(std::move(store)), parent_(std::move(parent)), snapshot_(parent_->children) {}

  Result<std::shared_ptr<MessageFolder>> Next() override {
    PST_RETURN_IF_ERROR(store_->world().Enter("Next", store_->file()->path));
    PST_RETURN_IF_ERROR(store_->CheckUsable());
    // Folders deleted after the snapshot are passed over, as a live
    // collection would; the one just yielded may be deleted safely.
    while (index_ < snapshot_.size()) {
      auto node = snapshot_[index_++];
      if (Alive(node)) return std::shared_ptr<MessageFolder>(std::make_shared<FakeFolder>(store_, node));
    }
    return std::shared_ptr<MessageFolder>();
  }

 private:
  std::shared_ptr<FakeStore> store_;
  std::shared_ptr<FakeFolderNode> parent_;
  std::vector<std::shared_ptr<FakeFolderNode>> snapshot_;
  size_t index_ = 0;
};

class FakeSession : public RDOSession, public std::enable_shared_from_this<FakeSession> {
 public:
  FakeSession(FakeSessionWorld& world, int number)
      : world_(world), name_(std::string("s").append(std::to_string(number))) {}
  ~FakeSession() override {
    if (logged_on_) world_.SessionLoggedOn(-1);
  }

  Status Logon() override {
    PST_RETURN_IF_ERROR(world_.Enter("Logon", name_));
    if (!logged_on_) world_.SessionLoggedOn(+1);
    logged_on_ = true;
    return Status::Ok();
  }
  Result<std::string> ClientVersion() override {
    PST_RETURN_IF_ERROR(world_.Enter("ClientVersion", name_));
    return world_.client_version;
  }
  Result<std::shared_ptr<RDOStores>> Stores() override;
  Status Logoff() override {
    PST_RETURN_IF_ERROR(world_.Enter("Logoff", name_));
    // Ending a session that never started (or already ended) is no error.
    if (!logged_on_) return Status::Ok();
    for (auto& weak : stores_) {
      if (auto store = weak.lock()) store->Detach();
    }
    stores_.clear();
    logged_on_ = false;
    world_.SessionLoggedOn(-1);
    return Status::Ok();
  }

  Result<std::shared_ptr<MessageStore>> Attach(const std::string& path,
                                               const std::optional<std::string>& display_name,
                                               const StoreCredentials& credentials) {
    PST_RETURN_IF_ERROR(world_.Enter("AddPSTStore", path));
    PST_RETURN_IF_ERROR(CheckLoggedOn());
    PST_ASSIGN_OR_RETURN(auto file, world_.OpenFile(path));
    if (file->password && credentials.password != file->password) {
      return Status::PermissionDenied("fake session: " + path + " needs its password");
    }
    if (display_name) {
      file->display_name = *display_name;
      ++file->writes;
    }
    ++file->attach_count;
    auto store = std::make_shared<FakeStore>(shared_from_this(), file);
    stores_.push_back(store);
    return std::shared_ptr<MessageStore>(store);
  }

  Status CheckLoggedOn() const {
    if (!logged_on_) return Status::InvalidArgument("fake session: " + name_ + " is not logged on");
    return Status::Ok();
  }
  FakeSessionWorld& world() const { return world_; }
  const std::string& name() const { return name_; }

 private:
  FakeSessionWorld& world_;
  std::string name_;
  bool logged_on_ = false;
  std::vector<std::weak_ptr<FakeStore>> stores_;
};

class FakeStores : public RDOStores {
 public:
  explicit FakeStores(std::shared_ptr<FakeSession> session) : session_(std::move(session)) {}
  using RDOStores::AddPSTStore;
  Result<std::shared_ptr<MessageStore>> AddPSTStore(const std::string& path, int16_t /*format*/,
                                                    const std::optional<std::string>& display_name,
                                                    const StoreCredentials& credentials) override {
    return session_->Attach(path, display_name, credentials);
  }

 private:
  std::shared_ptr<FakeSession> session_;
};

Result<std::shared_ptr<RDOStores>> FakeSession::Stores() {
  PST_RETURN_IF_ERROR(world_.Enter("Stores", name_));
  PST_RETURN_IF_ERROR(CheckLoggedOn());
  return std::shared_ptr<RDOStores>(std::make_shared<FakeStores>(shared_from_this()));
}

FakeSessionWorld& FakeStore::world() const { return session_->world(); }

Status FakeStore::CheckUsable() const {
  if (!attached_) return Status::InvalidArgument("fake session: store " + file_->path + " was removed");
  return Status::Ok();
}

Result<int32_t> FakeStore::StoreKind() {
  PST_RETURN_IF_ERROR(world().Enter("StoreKind", file_->path));
  PST_RETURN_IF_ERROR(CheckUsable());
  return file_->kind;
}

Result<std::shared_ptr<MessageFolder>> FakeStore::IPMRootFolder() {
  PST_RETURN_IF_ERROR(world().Enter("IPMRootFolder", file_->path));
  PST_RETURN_IF_ERROR(CheckUsable());
  return std::shared_ptr<MessageFolder>(std::make_shared<FakeFolder>(shared_from_this(), file_->root));
}

Status FakeStore::Remove() {
  PST_RETURN_IF_ERROR(world().Enter("Remove", file_->path));
  PST_RETURN_IF_ERROR(CheckUsable());
  Detach();
  return Status::Ok();
}

Result<std::unique_ptr<FolderEnumerator>> FakeFolder::Folders() {
  PST_RETURN_IF_ERROR(Enter("Folders"));
  return std::unique_ptr<FolderEnumerator>(std::make_unique<FakeEnumerator>(store_, node_));
}

Status FakeFolder::CopyTo(MessageFolder& destination, CopyObserver* observer) {
  PST_RETURN_IF_ERROR(Enter("CopyTo"));
  auto* target = dynamic_cast<FakeFolder*>(&destination);
  if (!target) return Status::InvalidArgument("fake session: destination is not a fake folder");
  PST_RETURN_IF_ERROR(target->store_->CheckUsable());
  if (!Alive(target->node_)) return Status::NotFound("fake session: destination folder was deleted");
  if (IsWithin(target->node_, node_.get())) {
    return Status::InvalidArgument("fake session: a folder cannot be copied into itself");
  }
  const int steps = store_->world().copy_progress_steps;
  for (int i = 1; i <= steps; ++i) {
    CopyProgress progress;
    progress.objects_done = static_cast<uint64_t>(i);
    progress.objects_total = static_cast<uint64_t>(steps);
    progress.bytes_done = static_cast<uint64_t>(i) * 1000;
    progress.current_folder = node_->name;
    if (observer && !observer->OnProgress(progress)) {
      return Status::Cancelled("fake session: copy of '" + node_->name + "' cancelled");
    }
  }
  auto copy = CloneTree(*node_);
  copy->parent = target->node_;
  target->node_->children.push_back(std::move(copy));
  ++target->store_->file()->writes;
  return Status::Ok();
}

}  // namespace

FakeSessionWorld::FakeSessionWorld() = default;
FakeSessionWorld::~FakeSessionWorld() = default;

void FakeSessionWorld::PutStore(const std::string& path, const StoreImage& image) {
  files_[path] = FileFromImage(path, image);
}

void FakeSessionWorld::DefineImage(const std::string& tag, const StoreImage& image) {
  images_[tag] = image;
}

void FakeSessionWorld::FailAt(const std::string& operation, int n, Status status) {
  rules_.push_back({operation, n, {}, std::move(status)});
}

void FakeSessionWorld::FailOn(const std::string& operation, const std::string& target,
                              Status status) {
  rules_.push_back({operation, 0, target, std::move(status)});
}

int FakeSessionWorld::CallCount(const std::string& operation) const {
  auto it = counts_.find(operation);
  return it == counts_.end() ? 0 : it->second;
}

const FakeStoreFile* FakeSessionWorld::StoreAt(const std::string& path) const {
  auto it = files_.find(path);
  return it == files_.end() ? nullptr : it->second.get();
}

std::vector<std::string> FakeSessionWorld::TopFolderNames(const std::string& path) const {
  std::vector<std::string> names;
  if (const FakeStoreFile* file = StoreAt(path)) {
    for (const auto& child : file->root->children) names.push_back(child->name);
  }
  return names;
}

int FakeSessionWorld::stores_attached() const {
  int n = 0;
  for (const auto& [path, file] : files_) n += file->attach_count;
  return n;
}

Result<std::shared_ptr<RDOSession>> FakeSessionWorld::CreateSession(std::string_view prog_id) {
  PST_RETURN_IF_ERROR(Enter("CreateSession", std::string(prog_id)));
  if (prog_id != kSessionProgId) {
    return Status::NotFound(std::string("fake session: no component named ").append(prog_id));
  }
  ++sessions_created_;
  return std::shared_ptr<RDOSession>(std::make_shared<FakeSession>(*this, sessions_created_));
}

Status FakeSessionWorld::Enter(const std::string& operation, const std::string& target) {
  calls_.push_back(operation + ":" + target);
  const int count = ++counts_[operation];
  if (on_call) on_call(operation, target);
  for (const Rule& rule : rules_) {
    if (rule.operation != operation) continue;
    if (rule.n != 0 && rule.n != count) continue;
    if (!rule.target.empty() && rule.target != target) continue;
    return rule.status;
  }
  return Status::Ok();
}

Result<std::shared_ptr<FakeStoreFile>> FakeSessionWorld::OpenFile(const std::string& path) {
  if (auto it = files_.find(path); it != files_.end()) return it->second;
  std::ifstream in(path, std::ios::binary);
  if (in) {
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
      text.pop_back();
    }
    auto image = images_.find(text);
    if (text == kNewStoreTag) {
      return files_[path] = FileFromImage(path, StoreImage{});
    }
    if (image == images_.end()) {
      return Status::Corruption("fake session: " + path + " is not a personal folders file");
    }
    return files_[path] = FileFromImage(path, image->second);
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return Status::IOError("fake session: cannot create " + path);
  out << kNewStoreTag;
  return files_[path] = FileFromImage(path, StoreImage{});
}

}  // namespace quillmar::session
