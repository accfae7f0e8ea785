// quillmar-cli convert: writes a new store of the other format holding
// everything the source holds. The source is only read.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>

#include "cli/command.h"
#include "core/output_naming.h"
#include "pst/base/hex.h"
#include "pst/convert/store_copy.h"
#include "pst/io/file.h"
#include "pst/messaging/codepage_guess.h"
#include "pst/messaging/store_creator.h"
#include "pst/messaging/tags.h"
#include "pst/messaging/text.h"

namespace quillmar::cli {
namespace {

constexpr const char* kUsage =
    "usage: quillmar-cli convert SOURCE [-o DIR] [--to ansi|unicode] [--codepage N] [--max-size BYTES]\n"
    "  Writes SOURCE's folders and messages into a new store of the other format (or the\n"
    "  one --to names) in DIR (default: the current folder), named\n"
    "  Brantwick-dd-mm-yyyy-hh-mm-ss.pst; an existing file is never replaced.\n"
    "  --codepage N: code page of names and other 8-bit strings that carry none of their own\n"
    "  (default: the one most messages declare, else 1252).\n"
    "  --max-size BYTES: never let the output grow past BYTES (default for ANSI output:\n"
    "  2075149312, the format's limit); folders that do not fit are listed as not copied.\n"
    "Exit codes: 0 all copied, 1 some objects failed (listed), 2 usage, 3 source unreadable.\n";

// Outlook's own ceiling for ANSI stores, a little under 2 GB.
constexpr uint64_t kAnsiCeiling = 2075149312;

struct ConvertOptions {
  std::string source;
  std::string dir = ".";
  std::optional<pst::ndb::Format> to;
  std::optional<uint32_t> codepage;  // else guessed from the messages
  std::optional<uint64_t> max_size;
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

// Creates a new empty store under the first free name; never replaces a file.
pst::Result<std::string> CreateOutput(const ConvertOptions& o, pst::ndb::Format format) {
  const std::string base = core::OutputBaseName(LocalNow());
  pst::messaging::StoreOptions store;
  store.format = format;
  store.display_name = "Personal Folders";
  store.codepage = o.codepage.value_or(1252);
  for (int n = 1; n < 10000; ++n) {
    const std::string path =
        (std::filesystem::path(o.dir) / core::OutputFileName(base, n)).string();
    std::error_code ec;
    if (std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found) continue;
    pst::Status s = pst::messaging::CreateStore(path, store);
    if (s.ok()) return path;
    // Someone made the file between the look and the create: try the next name.
    if (std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found &&
        s.code() == pst::Status::Code::kIOError && std::strstr(s.message().c_str(), "exists")) {
      continue;
    }
    return s;
  }
  return pst::Status::InvalidArgument("no free output name in " + o.dir);
}

std::string LimitMessage(uint64_t limit, pst::ndb::Format format) {
  std::string what = format == pst::ndb::Format::kAnsi && limit == kAnsiCeiling
                         ? "the ANSI format's size limit"
                         : "the size limit";
  return "not copied: it does not fit under " + what + " of " + std::to_string(limit) + " bytes";
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
  auto path = CreateOutput(*options, format);
  if (!path.ok()) {
    std::cerr << "quillmar-cli: cannot create the output store: " << path.status().ToString() << "\n";
    return kExitDamaged;
  }
  auto file = pst::io::OpenReadWrite(*path);
  pst::ndb::WriteOptions write_options;
  if (format == pst::ndb::Format::kAnsi) write_options.max_file_size = kAnsiCeiling;
  if (options->max_size) write_options.max_file_size = std::min(write_options.max_file_size, *options->max_size);
  auto writer = file.ok() ? pst::messaging::StoreWriter::Open(std::shared_ptr<pst::io::WritableFile>(std::move(file).value()),
                                                              write_options)
                          : pst::Result<std::unique_ptr<pst::messaging::StoreWriter>>(file.status());
  if (!writer.ok()) {
    std::cerr << "quillmar-cli: cannot open the new store " << *path << ": " << writer.status().ToString() << "\n";
    return kExitDamaged;
  }
  auto target_top = (*writer)->store().FolderNidOf(pst::messaging::kPidIpmSubtreeEntryId);
  pst::Status emptied = target_top.ok() ? pst::convert::DeleteSubfolders(**writer, *target_top) : target_top.status();
  if (!emptied.ok()) {
    std::cerr << "quillmar-cli: cannot prepare the new store " << *path << ": " << emptied.ToString() << "\n";
    return kExitDamaged;
  }

  std::cout << *path << "\n";
  pst::convert::CopyOptions copy_options;
  copy_options.default_codepage = *options->codepage;
  pst::convert::CopyReport total;
  std::map<pst::ndb::Nid, pst::ndb::Nid> folder_map;
  std::vector<std::string> failed_folders;
  bool out_of_space = false;
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
  for (pst::ndb::Nid child : *children) {
    auto folder = (*source)->OpenFolder(child);
    const std::string name = folder.ok() ? folder->DisplayName().value_or(pst::Hex(child)) : pst::Hex(child);
    if (folder.ok() && folder->is_search_folder()) continue;
    pst::convert::CopyReport report;
    auto copied = pst::convert::CopyFolderTree(**source, child, **writer, *target_top, copy_options, &report,
                                               &folder_map);
    if (copied.ok()) {
      add(report);
      std::cerr << "copied " << name << "\n";
    } else {
      const bool limit = copied.status().code() == pst::Status::Code::kOutOfSpace;
      out_of_space = out_of_space || limit;
      failed_folders.push_back(name + ": " + (limit ? LimitMessage(write_options.max_file_size, format)
                                                    : copied.status().ToString()));
    }
  }
  {
    pst::convert::CopyReport report;
    pst::Status s = pst::convert::CopyFolderContents(**source, *source_top, **writer, *target_top, copy_options,
                                                     &report);
    if (s.ok()) {
      add(report);
    } else {
      const bool limit = s.code() == pst::Status::Code::kOutOfSpace;
      out_of_space = out_of_space || limit;
      failed_folders.push_back("messages of the top folder: " +
                               (limit ? LimitMessage(write_options.max_file_size, format) : s.ToString()));
    }
  }

  pst::Status wastebasket = pst::convert::EnsureWastebasket(**writer);
  if (!wastebasket.ok()) failed_folders.push_back("Deleted Items: " + wastebasket.ToString());

  std::cout << "folders: " << total.done.folders << "\n"
            << "messages: " << total.done.messages << " (" << total.fai_messages << " FAI)\n"
            << "attachments: " << total.done.attachments << " (" << total.embedded_messages
            << " embedded messages)\n"
            << "strings converted: " << total.strings.strings_converted << "\n"
            << "characters replaced: " << total.strings.characters_replaced << "\n"
            << "failures: " << total.failures.size() + failed_folders.size() << "\n";
  if (out_of_space) {
    std::cout << "The output is incomplete: it reached its size limit of " << write_options.max_file_size
              << " bytes; the folders below were not copied.\n";
  }
  for (const auto& f : failed_folders) std::cout << "  folder not copied: " << f << "\n";
  for (const auto& f : total.failures) std::cout << "  failed: " << f << "\n";
  for (const auto& d : total.dropped_properties) std::cout << "  left out: " << d << "\n";
  return failed_folders.empty() && total.failures.empty() && total.dropped_properties.empty() ? kExitOk
                                                                                              : kExitDamaged;
}

}  // namespace quillmar::cli
