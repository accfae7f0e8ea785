// quillmar-cli check: reads a whole store and lists, one per line, every
// place where it breaks the format or its own bookkeeping, then a summary.
// Each finding is an error (mail lost or endangered), a warning (a departure
// Outlook tolerates or repairs) or a note (a fact); docs/check-findings.md.
// Exit status: 0 no errors (warnings and notes allowed), 1 errors found, 2 usage,
// 3 the header or a B-tree root cannot be read.
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cli/command.h"
#include "cli/password.h"
#include "pst/check/check.h"
#include "pst/check/mail_damage.h"
#include "pst/io/file.h"

namespace quillmar::cli {
namespace {

constexpr const char* kUsage =
    "usage: quillmar-cli check [--errors-only] [--ndb-only] [--password-file F] FILE\n"
    "  Checks a store's structure without changing it: header, pages, B-trees, blocks,\n"
    "  reference counts, allocation maps, heaps and tables, folder counts and the\n"
    "  named-property map. One line per finding (\"where: error|warning|note: what\"):\n"
    "  errors lose or endanger mail, warnings are departures Outlook tolerates or\n"
    "  repairs, notes are facts (such as leaked space). Exit status 1 only for errors.\n"
    "  --errors-only  leave warnings and notes out\n"
    "  --ndb-only     check the node database only (no tables, folders, name map)\n"
    "  --password-file F  the password of a protected FILE: a wrong one is refused (exit 3);\n"
    "                 the structure is checked without it\n";

std::string Count(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string FolderName(const std::string& path) { return path.empty() ? "the top folder" : path; }

// "112 messages in Deleted Items, 5 in Outbox and 7 in Sent Items"; past a
// few folders, "124 messages in 3 folders".
std::string Spread(const std::vector<std::pair<uint64_t, std::string>>& places, const char* one,
                   const char* many) {
  uint64_t total = 0;
  for (const auto& p : places) total += p.first;
  if (places.size() > 4) return Count(total, one, many) + " in " + Count(places.size(), "folder", "folders");
  std::string out;
  for (size_t i = 0; i < places.size(); ++i) {
    if (i > 0) out += i + 1 == places.size() ? " and " : ", ";
    out += i == 0 ? Count(places[i].first, one, many) : std::to_string(places[i].first);
    out += " in " + FolderName(places[i].second);
  }
  return out;
}

// One plain sentence of what the damage costs the mail, and what to do.
std::string PlainWords(const pst::check::MailDamage& damage) {
  if (damage.store_unreadable) {
    return "In short: the store's folder tree cannot be opened, so no mail can be read from it.";
  }
  std::vector<std::pair<uint64_t, std::string>> unreadable, damaged, lost_folders, lists;
  uint64_t damaged_total = 0;
  for (const auto& f : damage.folders) {
    if (f.unreadable) unreadable.push_back({f.unreadable, f.path});
    if (f.damaged) damaged.push_back({f.damaged, f.path}), damaged_total += f.damaged;
    if (f.folder_unreadable) lost_folders.push_back({1, f.path});
    if (f.list_damaged) lists.push_back({1, f.path});
  }
  std::string what;
  auto add = [&](const std::string& part) { what += (what.empty() ? "" : "; ") + part; };
  if (!unreadable.empty()) add(Spread(unreadable, "message", "messages") + " cannot be read");
  if (!lost_folders.empty()) {
    add(lost_folders.size() == 1 ? "a folder in " + FolderName(lost_folders[0].second) + " cannot be read"
                                 : Count(lost_folders.size(), "folder", "folders") + " cannot be read");
  }
  if (!damaged.empty()) {
    add(Spread(damaged, "message", "messages") + (damaged_total == 1 ? " is" : " are") +
        " damaged (a part cannot be read, or may hold a wrong byte)");
  }
  if (!lists.empty()) {
    add("the list of what is in " +
        (lists.size() == 1 ? FolderName(lists[0].second) : Count(lists.size(), "folder", "folders")) +
        " is damaged");
  }
  if (what.empty()) {
    return "In short: no message is hurt, the damage is in the store's bookkeeping; "
           "`quillmar-cli convert` copies all of the mail into a new, sound store.";
  }
  return "In short: " + what + "; `quillmar-cli convert` copies everything that can still be read into a new store.";
}

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
  auto opened = pst::io::OpenReadOnly(path);
  if (!opened.ok()) {
    std::cerr << "quillmar-cli: cannot read " << path << ": " << opened.status().ToString() << "\n";
    return kExitUnreadable;
  }
  std::shared_ptr<const pst::io::RandomAccessFile> file(std::move(opened).value());
  const pst::check::CheckReport report = pst::check::CheckStore(*file, options);
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
  if (report.errors > 0 && options.check_objects) std::cout << PlainWords(pst::check::AssessMail(file)) << "\n";
  if (!report.readable) return kExitUnreadable;
  return report.errors == 0 ? kExitOk : kExitDamaged;
}

}  // namespace quillmar::cli
