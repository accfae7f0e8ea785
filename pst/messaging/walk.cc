#include "pst/messaging/walk.h"

#include <set>

#include "pst/base/hex.h"
#include "pst/messaging/store.h"

namespace pst::messaging {
namespace {

class Walker {
 public:
  Walker(const Store& store,
         const std::function<Status(const Folder&, const std::vector<std::string>&)>& visit,
         std::vector<FolderDamage>* damage, const WalkOptions& options)
      : store_(store), visit_(visit), damage_(damage), options_(options) {}

  Status Walk(ndb::Nid nid, bool visit_this) {
    if (!seen_.insert(nid).second) {
      Report(nid, Status::Corruption("folder " + Hex(nid) + " appears twice in the folder tree"));
      return Status::Ok();
    }
    if (path_.size() > options_.max_depth) {
      Report(nid, Status::Corruption("folder tree deeper than " + std::to_string(options_.max_depth)));
      return Status::Ok();
    }
    auto folder = store_.OpenFolder(nid);
    if (!folder.ok()) {
      Report(nid, folder.status());
      return Status::Ok();
    }
    auto name = folder->DisplayName();
    if (!name.ok()) {
      Report(nid, name.status());
      return Status::Ok();
    }
    if (visit_this) {
      path_.push_back(*name);
      PST_RETURN_IF_ERROR(visit_(*folder, path_));
    }
    auto children = folder->SubfolderNids();
    if (!children.ok()) {
      Report(nid, children.status());
    } else {
      for (ndb::Nid child : *children) PST_RETURN_IF_ERROR(Walk(child, true));
    }
    if (visit_this) path_.pop_back();
    return Status::Ok();
  }

 private:
  void Report(ndb::Nid nid, Status status) {
    if (damage_) damage_->push_back({nid, path_, std::move(status)});
  }

  const Store& store_;
  const std::function<Status(const Folder&, const std::vector<std::string>&)>& visit_;
  std::vector<FolderDamage>* damage_;
  const WalkOptions& options_;
  std::vector<std::string> path_;
  std::set<ndb::Nid> seen_;
};

}  // namespace

Status WalkFolders(const Store& store, ndb::Nid start,
                   const std::function<Status(const Folder&, const std::vector<std::string>&)>& visit,
                   std::vector<FolderDamage>* damage, const WalkOptions& options) {
  Walker walker(store, visit, damage, options);
  return walker.Walk(start, options.include_start);
}

}  // namespace pst::messaging
