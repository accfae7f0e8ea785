// quillmar-cli convert: writes new stores of the other format holding
// everything the sources hold. Sources are only read.
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "cli/batch_plan.h"
#include "cli/batch_report.h"
#include "cli/command.h"
#include "cli/convert_one.h"
#include "cli/convert_options.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "cli/stop_signals.h"

namespace quillmar::cli {
namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage =
    "usage: quillmar-cli convert SOURCE... [-o DIR] [--to ansi|unicode] [--codepage N] [--max-size SIZE]\n"
    "                               [--split] [--password-file FILE] [--jobs N] [--report FILE] [--shard K/N]\n"
    "                               [--quiet]\n"
    "  Writes each SOURCE store's folders and messages into a new store of the other format (or\n"
    "  the one --to names) in DIR (default: the current folder, which must exist). Nothing is\n"
    "  ever replaced, and until a store is finished its file is called ...pst.partial.\n"
    "  One SOURCE store: the output is named Brantwick-dd-mm-yyyy-hh-mm-ss.pst.\n"
    "  Several, or a folder (searched below for .pst and .ost files): each output is named after\n"
    "  its source and keeps the source's place below its SOURCE folder: SOURCE/a/b/old.pst\n"
    "  becomes DIR/a/b/old-unicode.pst (or old-ansi.pst). A sound output already there counts\n"
    "  as done, so running the same command again converts only what is left.\n"
    "  -o DIR              the output folder\n"
    "  --to ansi|unicode   the output format (default: the other one; .ost becomes Unicode)\n"
    "  --codepage N        code page of folder names and of 8-bit strings that declare none\n"
    "                      (874, 932, 936, 949, 950 or 1250-1258; default: the one that holds every\n"
    "                      name, preferring the one most messages declare)\n"
    "  --max-size SIZE     never let an output grow past SIZE bytes (K, M, G: 1024-multiples;\n"
    "                      default for ANSI: 2075149312, the format's limit); the output is filled\n"
    "                      as far as it goes and what does not fit is listed by folder\n"
    "  --split             write as many outputs as the mail needs, each under the size limit:\n"
    "                      NAME.pst, then NAME-part2.pst, NAME-part3.pst...\n"
    "  --password-file F   the password of protected sources (first line of F); the outputs get the\n"
    "                      same password. Without it a single run asks at the terminal; in a batch,\n"
    "                      a protected source without its password fails and the others go on\n"
    "  --jobs N, -j N      convert N stores at once (default: one per processor core)\n"
    "  --report FILE       write what happened to each source as JSON (keys: see README)\n"
    "  --shard K/N         convert only the K-th of N parts of the sources (1 <= K <= N), chosen by\n"
    "                      a hash of each store's path below its SOURCE: N machines given the same\n"
    "                      command with K = 1..N share the work\n"
    "  --quiet, -q         no progress line (it is shown only when stderr is a terminal)\n"
    "A batch exits 0 when every source is ok or skipped, 1 when any is incomplete or failed\n"
    "(all listed at the end).\n";

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

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

// "Inbox/Projects: 120 messages (the folder is in the output)".
std::string DescribeLeftOut(const pst::convert::MessagesLeftOut& l) {
  std::string text = l.folder + ": " + std::to_string(l.messages) + (l.messages == 1 ? " message" : " messages");
  if (l.fai_messages) text += " and " + std::to_string(l.fai_messages) + " FAI messages";
  return text + (l.folder_copied ? " (the folder is in the output)" : " (the folder is not)");
}

// The counts are the output's as `info` counts them: every folder of the
// store, and messages without the FAI messages, which are counted apart.
void PrintSummary(const std::vector<std::string>& parts, const pst::convert::ConversionReport& report,
                  pst::ndb::Format format, const StoreCounts& output) {
  const pst::convert::CopyReport& total = report.copied;
  for (const std::string& part : parts) std::cout << part << "\n";
  if (parts.size() > 1) std::cout << "parts: " << parts.size() << " (the counts below are over all of them)\n";
  std::cout << "folders: " << output.folders << "\n"
            << "messages: " << output.messages << "\n"
            << "FAI messages: " << output.fai_messages << "\n"
            << "attachments: " << output.attachments << " (" << output.embedded_messages << " embedded messages)\n"
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
  if (report.size_limit_reached && !total.left_out.empty()) {
    std::cout << "The output is incomplete: it reached its size limit of " << report.size_limit
              << " bytes; the messages below did not fit.\n";
  } else if (report.write_failed) {
    std::cout << "The output is incomplete: writing it failed (see below); the folders below were not copied.\n";
  }
  for (const auto& f : report.folders_not_copied) {
    std::cout << "  folder not copied: " << PrintableName(f.name + ": " + NotCopiedReason(f, report, format)) << "\n";
  }
  for (const auto& l : total.left_out) std::cout << "  did not fit: " << PrintableName(DescribeLeftOut(l)) << "\n";
  for (const auto& c : total.continued) {
    std::string moved = c.messages > 0 || c.subfolders == 0 ? std::to_string(c.messages) + " messages" : "";
    if (c.subfolders > 0) moved += (moved.empty() ? "" : " and ") + std::to_string(c.subfolders) + " subfolders";
    std::cout << "  continued: " << PrintableName(c.folder + ": " + moved + " in \"" + c.name + "\"") << "\n";
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

ConvertSettings SettingsFrom(const ConvertOptions& options) {
  ConvertSettings settings;
  settings.dir = options.dir;
  settings.to = options.to;
  settings.codepage = options.codepage;
  settings.max_size = options.max_size.value_or(0);
  settings.split = options.split;
  settings.password_file = options.password_file;
  settings.count_source = options.report.has_value();
  return settings;
}

uint64_t FileSize(const std::string& path) {
  std::error_code ec;
  const uint64_t size = fs::file_size(path, ec);
  return ec ? 0 : size;
}

// False (and says why) when the report cannot be written.
bool WriteReport(const std::optional<std::string>& path, const std::vector<SourceOutcome>& outcomes) {
  if (!path) return true;
  std::ofstream out(*path, std::ios::binary | std::ios::trunc);
  out << BatchReportJson(outcomes);
  out.close();
  if (out) return true;
  std::cerr << "quillmar-cli convert: cannot write the report " << *path << "\n";
  return false;
}

int RunSingle(const ConvertOptions& options) {
  const std::string& source = options.sources.front();
  ProgressLine progress(!options.quiet && StderrIsTerminal(), FileSize(source), 1);
  ConvertSettings settings = SettingsFrom(options);
  settings.may_ask_password = true;
  settings.folder_done = [&progress](const std::string& name, const pst::Status& outcome) {
    if (outcome.ok()) progress.Print("copied " + PrintableName(name) + "\n");
  };
  SourceOutcome outcome = ConvertOneStore(source, settings, progress);
  progress.Clear();
  const bool reported = WriteReport(options.report, {outcome});
  if (outcome.status == SourceStatus::kFailed) {
    if (outcome.exit_code == kExitUsage) return Refuse("convert", source + ": " + outcome.reason);
    std::cerr << "quillmar-cli: " << source << ": " << outcome.reason << "\n";
    if (outcome.report) {
      for (const auto& f : outcome.report->folders_not_copied) {
        std::cerr << "  folder not copied: " << PrintableName(f.name + ": " + f.why.ToString()) << "\n";
      }
    }
    return outcome.exit_code;
  }
  PrintSummary(outcome.parts, *outcome.report, outcome.format, outcome.output_counts.value_or(StoreCounts()));
  return reported ? outcome.exit_code : kExitDamaged;
}

int RunBatch(const ConvertOptions& options) {
  auto found = FindStores(options.sources, options.dir);
  if (!found.ok()) return Refuse("convert", found.status().message());
  std::vector<BatchItem> items;
  for (BatchItem& item : *found) {
    if (!options.shard || InShard(item, *options.shard)) items.push_back(std::move(item));
  }
  uint64_t total_bytes = 0;
  for (const BatchItem& item : items) total_bytes += FileSize(item.source);
  ProgressLine progress(!options.quiet && StderrIsTerminal(), total_bytes, items.size());
  const ConvertSettings settings = SettingsFrom(options);

  unsigned jobs = options.jobs ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
  jobs = static_cast<unsigned>(std::min<size_t>(jobs, std::max<size_t>(items.size(), 1)));
  std::vector<SourceOutcome> outcomes(items.size());
  std::vector<char> started(items.size(), 0);
  std::atomic<size_t> next{0};
  auto work = [&]() {
    for (size_t i = next++; i < items.size(); i = next++) {
      if (StopSignal() != 0) return;
      started[i] = 1;
      ConvertSettings mine = settings;
      mine.item = &items[i];
      outcomes[i] = ConvertOneStore(items[i].source, mine, progress);
      progress.StoreFinished();
      const SourceOutcome& o = outcomes[i];
      progress.Print(std::string(SourceStatusName(o.status)) + " " + PrintableName(o.source) +
                     (o.output.empty() ? "" : " -> " + PrintableName(o.output)) + "\n");
    }
  };
  std::vector<std::thread> threads;
  for (unsigned j = 1; j < jobs; ++j) threads.emplace_back(work);
  work();
  for (std::thread& t : threads) t.join();
  progress.Clear();

  std::vector<SourceOutcome> done;
  for (size_t i = 0; i < items.size(); ++i) {
    if (started[i]) done.push_back(std::move(outcomes[i]));
  }
  const bool reported = WriteReport(options.report, done);
  size_t counts[4] = {0, 0, 0, 0};
  for (const SourceOutcome& o : done) {
    ++counts[static_cast<int>(o.status)];
    std::cout << SourceStatusName(o.status) << "\t" << PrintableName(o.source) << "\t"
              << (o.output.empty() ? "-" : PrintableName(o.output));
    for (size_t p = 1; p < o.parts.size(); ++p) std::cout << "\t" << PrintableName(o.parts[p]);
    std::cout << "\n";
  }
  std::cout << "sources: " << done.size() << " of " << items.size() << ", ok: " << counts[0]
            << ", incomplete: " << counts[1] << ", failed: " << counts[2] << ", skipped: " << counts[3] << "\n";
  bool all_done = true;
  for (const SourceOutcome& o : done) {
    if (o.status != SourceStatus::kIncomplete && o.status != SourceStatus::kFailed) continue;
    if (all_done) std::cout << "Not converted in full:\n";
    all_done = false;
    std::cout << "  " << SourceStatusName(o.status) << ": " << PrintableName(o.source) << ": " << PrintableName(o.reason)
              << "\n";
    if (!o.report) continue;
    for (const auto& f : o.report->folders_not_copied) {
      std::cout << "    folder not copied: " << PrintableName(f.name + ": " + f.why.ToString()) << "\n";
    }
    for (const auto& l : o.report->copied.left_out) std::cout << "    did not fit: " << PrintableName(DescribeLeftOut(l)) << "\n";
    for (const auto& f : o.report->copied.failures) std::cout << "    failed: " << PrintableName(f) << "\n";
    for (const auto& d : o.report->copied.dropped_properties) std::cout << "    left out: " << PrintableName(d) << "\n";
  }
  if (StopSignal() != 0) {
    std::cerr << "quillmar-cli: stopped; unfinished outputs were removed\n";
    return ExitCodeForSignal(StopSignal());
  }
  return all_done && reported ? kExitOk : kExitDamaged;
}

}  // namespace

int RunConvert(const Args& args) {
  if (WantsHelp(args)) return PrintHelp(kUsage);
  std::string why;
  auto options = ParseConvertOptions(args, &why);
  if (!options) return Refuse("convert", why);
  std::error_code ec;
  const fs::file_status dir = fs::status(options->dir, ec);
  if (dir.type() == fs::file_type::not_found) {
    return Refuse("convert", "the output folder " + options->dir + " does not exist");
  }
  if (ec) return Refuse("convert", "the output folder " + options->dir + " cannot be used: " + ec.message());
  if (!fs::is_directory(dir)) return Refuse("convert", options->dir + " is not a folder (-o names the output folder)");

  CatchStopSignals();
  const bool single = options->sources.size() == 1 && !options->shard && !fs::is_directory(options->sources[0], ec);
  return single ? RunSingle(*options) : RunBatch(*options);
}

}  // namespace quillmar::cli
