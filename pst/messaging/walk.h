// Depth-first walk of a store's folder tree in hierarchy-table order. A
// damaged folder is reported and skipped; the rest of the tree is still
// walked. Cycles and absurd depths are caught.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "pst/base/status.h"
#include "pst/messaging/folder.h"
#include "pst/ndb/types.h"

namespace pst::messaging {

class Store;

struct FolderDamage {
  ndb::Nid nid = 0;
  std::vector<std::string> path;  // names down to the damaged folder's parent
  Status status;
};

struct WalkOptions {
  // Visit the folder the walk starts at, too (the root folder itself).
  bool include_start = false;
  size_t max_depth = 256;
};

// visit(folder, path): path holds display names from the start folder's
// children down to this folder. A non-OK status from visit ends the walk.
Status WalkFolders(const Store& store, ndb::Nid start,
                   const std::function<Status(const Folder&, const std::vector<std::string>&)>& visit,
                   std::vector<FolderDamage>* damage, const WalkOptions& options = {});

}  // namespace pst::messaging
