// quillmar-cli ls: one line per folder below the root folder, depth first in
// hierarchy-table order: "<messages>\t<fai messages>\t<path>".
#include <iostream>

#include "cli/command.h"
#include "cli/options.h"
#include "pst/base/hex.h"
#include "pst/messaging/walk.h"

namespace quillmar::cli {
namespace {

constexpr const char* kUsage =
    "usage: quillmar-cli ls [--codepage N] [--password-file F] FILE\n"
    "  Lists the folders of a store: messages, FAI messages and path, tab-separated.\n";

std::string JoinPath(const std::vector<std::string>& names) {
  std::string path;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) path += '/';
    path += EscapePathComponent(names[i]);
  }
  return path;
}

// The rows of one of a folder's tables; a missing or damaged table is reported.
size_t CountRows(const pst::Result<std::vector<pst::ndb::Nid>>& rows, const std::string& what,
                 const std::string& path, bool* damaged) {
  if (rows.ok()) return rows->size();
  std::cerr << "quillmar-cli: " << path << ": " << what << ": " << rows.status().ToString() << "\n";
  *damaged = true;
  return 0;
}

}  // namespace

int RunLs(const Args& args) {
  if (WantsHelp(args)) return PrintHelp(kUsage);
  auto options = ParseCommon(args, "ls", false, false);
  if (!options) return kExitUsage;
  auto store = OpenStoreOrReport(*options);
  if (!store) return kExitUnreadable;

  bool damaged = false;
  std::vector<pst::messaging::FolderDamage> damage;
  pst::Status status = pst::messaging::WalkFolders(
      *store, pst::ndb::kNidRootFolder,
      [&](const pst::messaging::Folder& folder, const std::vector<std::string>& names) {
        const std::string path = JoinPath(names);
        size_t messages = CountRows(folder.MessageNids(), "contents table", path, &damaged);
        size_t fai = CountRows(folder.AssociatedMessageNids(), "FAI contents table", path, &damaged);
        std::cout << messages << '\t' << fai << '\t' << path << '\n';
        return pst::Status::Ok();
      },
      &damage);
  for (const auto& d : damage) {
    std::cerr << "quillmar-cli: folder " << pst::Hex(d.nid);
    if (!d.path.empty()) std::cerr << " under " << JoinPath(d.path);
    std::cerr << ": " << d.status.ToString() << "\n";
    damaged = true;
  }
  if (!status.ok()) {
    std::cerr << "quillmar-cli: " << status.ToString() << "\n";
    return kExitDamaged;
  }
  return damaged ? kExitDamaged : kExitOk;
}

}  // namespace quillmar::cli
