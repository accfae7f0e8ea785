// quillmar-cli check: reads a whole store and lists, one per line, every
// place where it breaks the format or its own bookkeeping, then a summary.
// Each finding is an error (mail lost or endangered), a warning (a departure
// Outlook tolerates or repairs) or a note (a fact); docs/check-findings.md.
// Exit status: 0 no errors (warnings and notes allowed), 1 errors found, 2 usage,
// 3 the header or a B-tree root cannot be read.
#include <iostream>

#include "cli/command.h"
#include "pst/check/check.h"
#include "pst/io/file.h"

namespace quillmar::cli {
namespace {

constexpr const char* kUsage =
    "usage: quillmar-cli check [--errors-only] [--ndb-only] FILE\n"
    "  Checks a store's structure without changing it: header, pages, B-trees, blocks,\n"
    "  reference counts, allocation maps, heaps and tables, folder counts and the\n"
    "  named-property map. One line per finding (\"where: error|warning|note: what\"):\n"
    "  errors lose or endanger mail, warnings are departures Outlook tolerates or\n"
    "  repairs, notes are facts (such as leaked space). Exit status 1 only for errors.\n"
    "  --errors-only  leave warnings and notes out\n"
    "  --ndb-only     check the node database only (no tables, folders, name map)\n";

}  // namespace

int RunCheck(const Args& args) {
  bool errors_only = false;
  pst::check::CheckOptions options;
  std::string path;
  for (const std::string& a : args) {
    if (a == "--errors-only") {
      errors_only = true;
    } else if (a == "--ndb-only") {
      options.check_objects = false;
    } else if (a.size() > 1 && a[0] == '-') {
      std::cerr << "quillmar-cli: unknown option '" << a << "'\n" << kUsage;
      return kExitUsage;
    } else if (path.empty()) {
      path = a;
    } else {
      std::cerr << kUsage;
      return kExitUsage;
    }
  }
  if (path.empty()) {
    std::cerr << kUsage;
    return kExitUsage;
  }
  auto file = pst::io::OpenReadOnly(path);
  if (!file.ok()) {
    std::cerr << "quillmar-cli: cannot read " << path << ": " << file.status().ToString() << "\n";
    return kExitUnreadable;
  }
  const pst::check::CheckReport report = pst::check::CheckStore(**file, options);
  for (const pst::check::Problem& p : report.problems) {
    if (errors_only && p.severity != pst::check::Severity::kError) continue;
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
            << report.warnings << " warning" << (report.warnings == 1 ? "" : "s") << ", "
            << report.notes << " note" << (report.notes == 1 ? "" : "s") << " ("
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
