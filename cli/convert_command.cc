// quillmar-cli convert: writes a new store of the other format holding
// everything the source holds. The source is only read.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>

#include "cli/command.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "cli/password.h"
#include "core/output_naming.h"
#include "pst/base/hex.h"
#include "pst/check/check.h"
#include "pst/convert/store_copy.h"
#include "pst/io/file.h"
#include "pst/messaging/codepage_guess.h"
#include "pst/messaging/store_creator.h"
#include "pst/messaging/tags.h"
#include "pst/ndb/allocation_map.h"
#include "pst/messaging/text.h"

namespace quillmar::cli {
namespace {

constexpr const char* kUsage =
    "usage: quillmar-cli convert SOURCE [-o DIR] [--to ansi|unicode] [--codepage N] [--max-size BYTES]\n"
    "                               [--password-file FILE]\n"
    "  Writes SOURCE's folders and messages into a new store of the other format (or the\n"
    "  one --to names) in DIR (default: the current folder), named\n"
    "  Brantwick-dd-mm-yyyy-hh-mm-ss.pst; an existing file is never replaced. Until the run\n"
    "  ends the file is called ...pst.partial.\n"
    "  --password-file FILE: the password of a protected SOURCE (first line of FILE); without\n"
    "  it the password is asked for at the terminal. The output gets the same password.\n"
    "  --codepage N: code page of names and other 8-bit strings that carry none of their own\n"
    "  (default: the one most messages declare, else 1252).\n"
    "  --max-size BYTES: never let the output grow past BYTES (default for ANSI output:\n"
    "  2075149312, the format's limit); folders that do not fit are listed as not copied.\n"
    "Exit codes: 0 all copied, 1 some objects failed (listed), 2 usage, 3 source unreadable\n"
    "(or its password not given), 130 interrupted (the unfinished output is removed).\n";

// Outlook's own ceiling for ANSI stores, a little under 2 GB.
constexpr uint64_t kAnsiCeiling = 2075149312;

struct ConvertOptions {
  std::string source;
  std::string dir = ".";
  std::optional<pst::ndb::Format> to;
  std::optional<uint32_t> codepage;  // else guessed from the messages
  std::optional<uint64_t> max_size;
  std::optional<std::string> password_file;
};

std::optional<ConvertOptions> Parse(const Args& args) {
  ConvertOptions o;
  bool have_source = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto next = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    if (a == "-o" || a == "--output-dir") {
      const std::string* v = next();
      if (!v) return std::nullopt;
      o.dir = *v;
    } else if (a == "--to") {
      const std::string* v = next();
      if (!v) return std::nullopt;
      if (*v == "ansi") {
        o.to = pst::ndb::Format::kAnsi;
      } else if (*v == "unicode") {
        o.to = pst::ndb::Format::kUnicode;
      } else {
        return std::nullopt;
      }
    } else if (a == "--codepage") {
      const std::string* v = next();
      if (!v) return std::nullopt;
      char* end = nullptr;
      unsigned long cp = std::strtoul(v->c_str(), &end, 10);
      if (v->empty() || *end || cp == 0 || cp > 65535 || !pst::messaging::IsSupportedCodepage(cp)) {
        return std::nullopt;
      }
      o.codepage = static_cast<uint32_t>(cp);
    } else if (a == "--max-size") {
      const std::string* v = next();
      if (!v) return std::nullopt;
      char* end = nullptr;
      unsigned long long n = std::strtoull(v->c_str(), &end, 10);
      if (v->empty() || *end || n == 0) return std::nullopt;
      o.max_size = n;
    } else if (a == "--password-file") {
      const std::string* v = next();
      if (!v) return std::nullopt;
      o.password_file = *v;
    } else if (!a.empty() && a[0] == '-') {
      return std::nullopt;
    } else if (!have_source) {
      o.source = a;
      have_source = true;
    } else {
      return std::nullopt;
    }
  }
  if (!have_source) return std::nullopt;
  return o;
}

core::LocalDateTime LocalNow() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::string LimitMessage(uint64_t limit, pst::ndb::Format format) {
  std::string what = format == pst::ndb::Format::kAnsi && limit == kAnsiCeiling
                         ? "the ANSI format's size limit"
                         : "the size limit";
  return "not copied: it does not fit under " + what + " of " + std::to_string(limit) + " bytes";
}

constexpr int kExitInterrupted = 130;
std::atomic<bool> g_interrupted{false};
extern "C" void OnInterrupt(int) { g_interrupted = true; }

// Ctrl+C or a polite kill ends the run between two objects, and the
// unfinished output is removed.
void CatchInterrupts() {
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
}

// After a failure that was not the size limit (a full disk, an I/O error),
// the output is kept only if it is still a sound store.
bool StillSound(const std::string& path) {
  auto file = pst::io::OpenReadOnly(path);
  if (!file.ok()) return false;
  pst::check::CheckOptions options;
  return pst::check::CheckStore(**file, options).sound();
}

}  // namespace

int RunConvert(const Args& args) {
  auto options = Parse(args);
  if (!options) {
    std::cerr << kUsage;
    return kExitUsage;
  }
  auto source = pst::messaging::Store::OpenPath(options->source);
  if (!source.ok()) {
    std::cerr << "quillmar-cli: cannot read " << options->source << ": " << source.status().ToString() << "\n";
    return kExitUnreadable;
  }
  // Folder and store names carry no code page; take the one the messages use
  // unless the user says otherwise.
  if (!options->codepage) options->codepage = pst::messaging::GuessStoreCodepage(**source, 1252);
  (*source)->set_default_codepage(*options->codepage);
  if (!UnlockStore(**source, options->source, options->password_file)) return kExitUnreadable;
  auto source_top = (*source)->IpmSubtreeNid();
  if (!source_top.ok()) {
    std::cerr << "quillmar-cli: " << options->source << ": no top of the folder tree: "
              << source_top.status().ToString() << "\n";
    return kExitUnreadable;
  }
  auto top_folder = (*source)->OpenFolder(*source_top);
  auto children = top_folder.ok() ? top_folder->SubfolderNids()
                                  : pst::Result<std::vector<pst::ndb::Nid>>(top_folder.status());
  if (!children.ok()) {
    std::cerr << "quillmar-cli: " << options->source << ": " << children.status().ToString() << "\n";
    return kExitUnreadable;
  }

  const pst::ndb::Format format = options->to.value_or(
      (*source)->format() == pst::ndb::Format::kAnsi ? pst::ndb::Format::kUnicode : pst::ndb::Format::kAnsi);
  pst::messaging::StoreOptions store_options;
  store_options.format = format;
  store_options.display_name = "Personal Folders";
  store_options.codepage = *options->codepage;
  auto output = CreateOutputFile(options->dir, core::OutputBaseName(LocalNow()), store_options);
  if (!output.ok()) {
    std::cerr << "quillmar-cli: cannot create the output store: " << output.status().ToString() << "\n";
    return kExitDamaged;
  }
  const std::string& partial = output->partial_path;
  auto file = pst::io::OpenReadWrite(partial);
  pst::ndb::WriteOptions write_options;
  if (format == pst::ndb::Format::kAnsi) write_options.max_file_size = kAnsiCeiling;
  if (options->max_size) write_options.max_file_size = std::min(write_options.max_file_size, *options->max_size);
  auto writer = file.ok() ? pst::messaging::StoreWriter::Open(std::shared_ptr<pst::io::WritableFile>(std::move(file).value()),
                                                              write_options)
                          : pst::Result<std::unique_ptr<pst::messaging::StoreWriter>>(file.status());
  auto give_up = [&](const std::string& what, const pst::Status& why) {
    std::cerr << "quillmar-cli: " << what << " " << partial << ": " << why.ToString() << "\n";
    writer = pst::Status::Cancelled("closed");
    DiscardOutputFile(*output);
    return kExitDamaged;
  };
  if (!writer.ok()) return give_up("cannot open the new store", writer.status());
  // The password goes in before any mail does, so even an unfinished output
  // is protected.
  if (pst::Status s = pst::convert::CarryPassword(**source, **writer); !s.ok()) {
    return give_up("cannot protect the new store", s);
  }
  auto target_top = (*writer)->store().FolderNidOf(pst::messaging::kPidIpmSubtreeEntryId);
  pst::Status emptied = target_top.ok() ? pst::convert::DeleteSubfolders(**writer, *target_top) : target_top.status();
  if (!emptied.ok()) return give_up("cannot prepare the new store", emptied);
  std::cerr << "writing " << partial << "\n";

  CatchInterrupts();
  pst::convert::CopyOptions copy_options;
  copy_options.default_codepage = *options->codepage;
  copy_options.progress = [](const pst::convert::CopyProgress&) { return !g_interrupted.load(); };
  pst::convert::CopyReport total;
  std::map<pst::ndb::Nid, pst::ndb::Nid> folder_map;
  std::vector<std::string> failed_folders;
  bool size_limit = false;
  bool write_failed = false;  // a failure other than the size limit
  auto add = [&](const pst::convert::CopyReport& r) {
    total.done.folders += r.done.folders;
    total.done.messages += r.done.messages;
    total.done.attachments += r.done.attachments;
    total.done.bytes += r.done.bytes;
    total.fai_messages += r.fai_messages;
    total.embedded_messages += r.embedded_messages;
    total.strings.strings_converted += r.strings.strings_converted;
    total.strings.characters_replaced += r.strings.characters_replaced;
    total.failures.insert(total.failures.end(), r.failures.begin(), r.failures.end());
    total.dropped_properties.insert(total.dropped_properties.end(), r.dropped_properties.begin(),
                                    r.dropped_properties.end());
  };
  auto failed = [&](const std::string& what, const pst::Status& why) {
    if (why.code() == pst::Status::Code::kCancelled) return;
    if (pst::ndb::IsSizeLimitReached(why)) {
      size_limit = true;
      failed_folders.push_back(what + ": " + LimitMessage(write_options.max_file_size, format));
    } else {
      write_failed = write_failed || why.code() == pst::Status::Code::kIOError ||
                     why.code() == pst::Status::Code::kOutOfSpace;
      failed_folders.push_back(what + ": " + why.ToString());
    }
  };
  for (pst::ndb::Nid child : *children) {
    if (g_interrupted) break;
    auto folder = (*source)->OpenFolder(child);
    const std::string name = folder.ok() ? folder->DisplayName().value_or(pst::Hex(child)) : pst::Hex(child);
    if (folder.ok() && folder->is_search_folder()) continue;
    pst::convert::CopyReport report;
    auto copied = pst::convert::CopyFolderTree(**source, child, **writer, *target_top, copy_options, &report,
                                               &folder_map);
    if (copied.ok()) {
      add(report);
      std::cerr << "copied " << PrintableName(name) << "\n";
    } else {
      failed(name, copied.status());
    }
  }
  if (!g_interrupted) {
    pst::convert::CopyReport report;
    pst::Status s = pst::convert::CopyFolderContents(**source, *source_top, **writer, *target_top, copy_options,
                                                     &report);
    if (s.ok()) {
      add(report);
    } else {
      failed("messages of the top folder", s);
    }
  }
  if (!g_interrupted) {
    pst::Status wastebasket = pst::convert::EnsureWastebasket(**writer);
    if (!wastebasket.ok()) failed("Deleted Items", wastebasket);
  }
  writer = pst::Status::Cancelled("closed");  // closes the output file

  if (g_interrupted) {
    DiscardOutputFile(*output);
    std::cerr << "quillmar-cli: interrupted; the unfinished output " << partial << " was removed\n";
    return kExitInterrupted;
  }
  if (write_failed && !StillSound(partial)) {
    DiscardOutputFile(*output);
    std::cerr << "quillmar-cli: writing the output failed and what was written is not a sound store; "
              << partial << " was removed\n";
    for (const auto& f : failed_folders) std::cerr << "  folder not copied: " << PrintableName(f) << "\n";
    return kExitDamaged;
  }
  auto published = PublishOutputFile(*output);
  if (!published.ok()) {
    std::cerr << "quillmar-cli: the output stays at " << partial << ": " << published.status().ToString() << "\n";
    return kExitDamaged;
  }

  std::cout << *published << "\n";
  std::cout << "folders: " << total.done.folders << "\n"
            << "messages: " << total.done.messages << " (" << total.fai_messages << " FAI)\n"
            << "attachments: " << total.done.attachments << " (" << total.embedded_messages
            << " embedded messages)\n"
            << "strings converted: " << total.strings.strings_converted << "\n"
            << "characters replaced: " << total.strings.characters_replaced << "\n"
            << "failures: " << total.failures.size() + failed_folders.size() << "\n";
  if (size_limit) {
    std::cout << "The output is incomplete: it reached its size limit of " << write_options.max_file_size
              << " bytes; the folders below were not copied.\n";
  } else if (write_failed) {
    std::cout << "The output is incomplete: writing it failed (see below); the folders below were not copied.\n";
  }
  for (const auto& f : failed_folders) std::cout << "  folder not copied: " << PrintableName(f) << "\n";
  for (const auto& f : total.failures) std::cout << "  failed: " << PrintableName(f) << "\n";
  for (const auto& d : total.dropped_properties) std::cout << "  left out: " << PrintableName(d) << "\n";
  return failed_folders.empty() && total.failures.empty() && total.dropped_properties.empty() ? kExitOk
                                                                                              : kExitDamaged;
}

}  // namespace quillmar::cli
