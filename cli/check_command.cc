// quillmar-cli check: reads a whole store and lists, one per line, every
// place where it breaks the format or its own bookkeeping, then a summary.
// Exit status: 0 no errors (warnings allowed), 1 errors found, 2 usage,
// 3 the header or a B-tree root cannot be read.
#include <iostream>

#include "cli/command.h"
#include "cli/password.h"
#include "pst/check/check.h"
#include "pst/io/file.h"

namespace quillmar::cli {
namespace {

constexpr const char* kUsage =
    "usage: quillmar-cli check [--errors-only] [--ndb-only] [--password-file F] FILE\n"
    "  Checks a store's structure without changing it: header, pages, B-trees, blocks,\n"
    "  reference counts, allocation maps, heaps and tables, folder counts and the\n"
    "  named-property map. One line per finding (\"where: error|warning: what\").\n"
    "  --errors-only  leave warnings (leaked space, surplus reference counts) out\n"
    "  --ndb-only     check the node database only (no tables, folders, name map)\n"
    "  --password-file F  the password of a protected FILE: a wrong one is refused (exit 3);\n"
    "                 the structure is checked without it\n";

}  // namespace

int RunCheck(const Args& args) {
  if (WantsHelp(args)) return PrintHelp(kUsage);
  bool errors_only = false;
  pst::check::CheckOptions options;
  std::string path;
  std::optional<std::string> password_file;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--password-file") {
      if (i + 1 >= args.size()) return Refuse("check", "--password-file needs a file");
      password_file = args[++i];
    } else if (a == "--errors-only") {
      errors_only = true;
    } else if (a == "--ndb-only") {
      options.check_objects = false;
    } else if (a.size() > 1 && a[0] == '-') {
      return Refuse("check", "unknown option '" + a + "'");
    } else if (path.empty()) {
      path = a;
    } else {
      return Refuse("check", "one store only; '" + a + "' is one argument too many");
    }
  }
  if (path.empty()) return Refuse("check", "no store given");
  if (password_file) {
    // A given password must be right; the structure itself is checked without one.
    auto store = pst::messaging::Store::OpenPath(path);
    if (store.ok() && !UnlockStore(**store, path, password_file)) return kExitUnreadable;
  }
  auto file = pst::io::OpenReadOnly(path);
  if (!file.ok()) {
    std::cerr << "quillmar-cli: cannot read " << path << ": " << file.status().ToString() << "\n";
    return kExitUnreadable;
  }
  const pst::check::CheckReport report = pst::check::CheckStore(**file, options);
  for (const pst::check::Problem& p : report.problems) {
    if (errors_only && p.severity == pst::check::Severity::kWarning) continue;
    std::cout << p.where << ": " << pst::check::SeverityName(p.severity) << ": " << p.what << "\n";
  }
  if (report.dropped > 0) {
    std::cout << "(" << report.dropped << " further findings not listed)\n";
  }
  const auto& c = report.counts;
  std::cout << path << ": ";
  if (!report.readable) {
    std::cout << "unreadable, ";
  } else if (report.errors == 0) {
    std::cout << "sound, ";
  }
  std::cout << report.errors << " error" << (report.errors == 1 ? "" : "s") << ", "
            << report.warnings << " warning" << (report.warnings == 1 ? "" : "s") << " ("
            << c.pages << " pages, " << c.blocks << " blocks, " << c.nodes << " nodes, "
            << c.subnodes << " subnodes, " << c.property_contexts << " property contexts, "
            << c.table_contexts << " tables with " << c.table_rows << " rows, " << c.folders
            << " folders, " << c.messages << " messages, " << c.named_properties
            << " named properties, " << c.leaked_bytes << " bytes leaked, " << c.reserved_bytes
            << " bytes reserved for pages)\n";
  if (!report.readable) return kExitUnreadable;
  return report.errors == 0 ? kExitOk : kExitDamaged;
}

}  // namespace quillmar::cli
