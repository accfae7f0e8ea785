// quillmar-cli convert: writes a new store of the other format holding
// everything the source holds. The source is only read.
#include <atomic>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <iostream>

#include "cli/command.h"
#include "cli/options.h"
#include "cli/password.h"
#include "core/output_naming.h"
#include "pst/convert/codepage_policy.h"
#include "pst/convert/conversion.h"

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
    "  --codepage N: code page of folder names and of 8-bit strings that declare none\n"
    "  (874, 932, 936, 949, 950 or 1250-1258; default: the one that holds every name,\n"
    "  preferring the one most messages declare).\n"
    "  --max-size BYTES: never let the output grow past BYTES (default for ANSI output:\n"
    "  2075149312, the format's limit); folders that do not fit are listed as not copied.\n"
    "Exit codes: 0 all copied, 1 some objects failed (listed), 2 usage, 3 source unreadable\n"
    "(or its password not given), 130 interrupted (the unfinished output is removed).\n";

struct ConvertOptions {
  std::string source;
  std::string dir = ".";
  std::optional<pst::ndb::Format> to;
  std::optional<uint32_t> codepage;
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
      if (v->empty() || *end || !pst::convert::IsAnsiCodepage(cp)) return std::nullopt;
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

constexpr int kExitInterrupted = 130;
std::atomic<bool> g_interrupted{false};
extern "C" void OnInterrupt(int) { g_interrupted = true; }

// Ctrl+C or a polite kill ends the run between two objects, and the
// unfinished output is removed.
void CatchInterrupts() {
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
}

std::string NotCopiedReason(const pst::convert::FolderNotCopied& folder, const pst::convert::ConversionReport& report,
                            pst::ndb::Format format) {
  if (!folder.why.IsSizeLimit()) return folder.why.ToString();
  const bool ceiling = format == pst::ndb::Format::kAnsi && report.size_limit == pst::ndb::kAnsiMaxFileSize;
  return std::string("not copied: it does not fit under ") +
         (ceiling ? "the ANSI format's size limit" : "the size limit") + " of " + std::to_string(report.size_limit) +
         " bytes";
}

// "Inbox/Projects: message 0x200024 "Hello": attachment 0x8025: why".
std::string DescribeNote(const pst::convert::SalvageNote& note) {
  std::string text = note.folder.empty() ? note.object : note.folder + ": " + note.object;
  if (!note.what.empty()) text += ": " + note.what;
  return text + ": " + note.why;
}

void PrintSummary(const std::string& path, const pst::convert::ConversionReport& report, pst::ndb::Format format) {
  const pst::convert::CopyReport& total = report.copied;
  std::cout << path << "\n";
  std::cout << "folders: " << total.done.folders << "\n"
            << "messages: " << total.done.messages << " (" << total.fai_messages << " FAI)\n"
            << "attachments: " << total.done.attachments << " (" << total.embedded_messages
            << " embedded messages)\n"
            << "strings converted: " << total.strings.strings_converted << "\n"
            << "characters replaced: " << total.strings.characters_replaced << "\n"
            << "failures: " << total.failures.size() + report.folders_not_copied.size() << "\n";
  if (format == pst::ndb::Format::kAnsi) {
    std::cout << "folder names written in code page " << report.names_codepage << "\n";
  }
  if (total.objects_declared != 0) {
    std::cout << "messages given a code page: " << total.objects_declared << "\n";
  }
  if (!total.recovered_with_damage.empty() || !total.unreadable.empty()) {
    std::cout << "The source is damaged. Messages recovered with damage (a part may be wrong or missing): "
              << total.messages_recovered_with_damage << "; messages that could not be read: "
              << total.messages_unreadable << "\n";
  }
  if (report.size_limit_reached) {
    std::cout << "The output is incomplete: it reached its size limit of " << report.size_limit
              << " bytes; the folders below were not copied.\n";
  } else if (report.write_failed) {
    std::cout << "The output is incomplete: writing it failed (see below); the folders below were not copied.\n";
  }
  for (const auto& f : report.folders_not_copied) {
    std::cout << "  folder not copied: " << PrintableName(f.name + ": " + NotCopiedReason(f, report, format)) << "\n";
  }
  for (const auto& f : total.failures) std::cout << "  failed: " << PrintableName(f) << "\n";
  for (const auto& n : total.recovered_with_damage) {
    std::cout << "  recovered with damage: " << PrintableName(DescribeNote(n)) << "\n";
  }
  for (const auto& n : total.unreadable) std::cout << "  could not be read: " << PrintableName(DescribeNote(n)) << "\n";
  for (const auto& d : total.dropped_properties) std::cout << "  left out: " << PrintableName(d) << "\n";
  for (const auto& r : total.replacements) std::cout << "  replaced: " << PrintableName(r) << "\n";
  for (const auto& c : total.codepages_declared) std::cout << "  code page: " << PrintableName(c) << "\n";
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
  pst::convert::UseNamesCodepage(**source, options->codepage);
  if (!UnlockStore(**source, options->source, options->password_file)) return kExitUnreadable;

  const pst::ndb::Format format = options->to.value_or(pst::convert::DefaultOutputFormat((*source)->format()));
  const std::string base_name = core::OutputBaseName(LocalNow());
  const std::filesystem::path dir = options->dir;
  auto candidate = [&](int n) { return (dir / core::OutputFileName(base_name, n)).string(); };

  CatchInterrupts();
  pst::convert::ConversionOptions conversion;
  conversion.codepage = options->codepage;
  conversion.max_file_size = options->max_size.value_or(0);
  conversion.progress = [](const pst::convert::CopyProgress&) { return !g_interrupted.load(); };
  conversion.folder_done = [](const std::string& name, const pst::Status& outcome) {
    if (outcome.ok()) std::cerr << "copied " << PrintableName(name) << "\n";
  };
  auto result = pst::convert::ConvertToNewStore(**source, format, candidate, std::move(conversion));
  if (!result.ok()) {
    std::cerr << "quillmar-cli: cannot create the output store: " << result.status().ToString() << "\n";
    return kExitDamaged;
  }
  const pst::convert::ConversionReport& report = result->report;
  if (report.cancelled) {
    std::cerr << "quillmar-cli: interrupted; the unfinished output " << result->partial_path << " was removed\n";
    return kExitInterrupted;
  }
  if (result->path.empty()) {
    std::cerr << "quillmar-cli: " << result->failure.ToString() << "; " << result->partial_path
              << (result->failure.IsCorruption() ? " was removed" : " stays as it is") << "\n";
    for (const auto& f : report.folders_not_copied) {
      std::cerr << "  folder not copied: " << PrintableName(f.name + ": " + f.why.ToString()) << "\n";
    }
    return kExitDamaged;
  }
  PrintSummary(result->path, report, format);
  return report.complete() ? kExitOk : kExitDamaged;
}

}  // namespace quillmar::cli
