#include "cli/convert_one.h"

#include <chrono>
#include <ctime>
#include <filesystem>

#include "cli/password.h"
#include "cli/stop_signals.h"
#include "core/output_naming.h"
#include "pst/messaging/read_all.h"

namespace quillmar::cli {
namespace {

namespace fs = std::filesystem;

core::LocalDateTime LocalNow() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

SourceOutcome Failed(SourceOutcome outcome, std::string reason, int exit_code) {
  outcome.status = SourceStatus::kFailed;
  outcome.reason = std::move(reason);
  outcome.exit_code = exit_code;
  return outcome;
}

// The output a batch item already has, when a run may pass it over; a
// reason in *why when one is in the way and cannot be used.
bool AlreadyDone(const std::string& output, std::string* why) {
  std::error_code ec;
  if (fs::symlink_status(output + ".partial", ec).type() != fs::file_type::not_found) {
    *why = output + ".partial is in the way (another run is writing it, or one was killed); remove it to convert "
                    "this store again";
    return false;
  }
  if (fs::symlink_status(output, ec).type() == fs::file_type::not_found) return false;
  if (pst::convert::IsSoundStore(output)) return true;
  *why = output + " is there and is not a sound store; it is left as it is (remove it to convert again)";
  return false;
}

}  // namespace

const char* SourceStatusName(SourceStatus status) {
  switch (status) {
    case SourceStatus::kOk: return "ok";
    case SourceStatus::kIncomplete: return "incomplete";
    case SourceStatus::kFailed: return "failed";
    case SourceStatus::kSkipped: return "skipped";
  }
  return "failed";
}

StoreCounts CountStore(const pst::messaging::Store& store) {
  pst::messaging::ReadOptions options;
  options.read_values = false;
  options.open_recipients = false;  // its problems are not reported here
  const pst::messaging::ReadStats stats = pst::messaging::ReadEverything(store, options);
  return StoreCounts{stats.folders, stats.messages, stats.fai_messages, stats.attachments, stats.embedded_messages};
}

SourceOutcome ConvertOneStore(const std::string& source_path, const ConvertSettings& settings, ProgressLine& progress) {
  const auto start = std::chrono::steady_clock::now();
  SourceOutcome outcome;
  outcome.source = source_path;
  outcome.relative = settings.item ? settings.item->relative : fs::path(source_path).filename().string();
  auto finish = [&](SourceOutcome done) {
    done.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return done;
  };

  auto file = pst::io::OpenReadOnly(source_path);
  if (!file.ok()) return finish(Failed(outcome, "cannot read it: " + file.status().ToString(), kExitUnreadable));
  auto coverage = std::make_shared<CoverageFile>(std::move(file).value(), &progress);
  auto opened = pst::messaging::Store::Open(coverage);
  if (!opened.ok()) {
    coverage->Finish();
    return finish(Failed(outcome, "cannot read it: " + opened.status().ToString(), kExitUnreadable));
  }
  pst::messaging::Store& source = **opened;
  struct FinishCoverage {
    CoverageFile* file;
    ~FinishCoverage() { file->Finish(); }
  } finish_coverage{coverage.get()};

  outcome.format = settings.to.value_or(pst::convert::DefaultOutputFormat(source.format()));
  std::string planned;
  if (settings.item) {
    planned = BatchOutputPath(settings.dir, *settings.item, outcome.format);
    std::string why;
    if (AlreadyDone(planned, &why)) {
      outcome.output = planned;
      outcome.status = SourceStatus::kSkipped;
      outcome.reason = "a sound output is already there";
      return finish(outcome);
    }
    if (!why.empty()) return finish(Failed(outcome, why, kExitDamaged));
  }
  pst::convert::UseNamesCodepage(source, settings.codepage);
  if (settings.may_ask_password && source.has_password()) progress.Clear();  // the prompt takes the line
  auto refusal = PasswordRefusal(source, source_path, settings.password_file, settings.may_ask_password);
  if (StopSignal() != 0) return finish(Failed(outcome, "stopped before converting", ExitCodeForSignal(StopSignal())));
  if (refusal) return finish(Failed(outcome, *refusal, kExitUnreadable));
  if (settings.count_source) outcome.source_counts = CountStore(source);

  pst::convert::OutputPathCandidate candidate;
  if (settings.item) {
    std::error_code ec;
    fs::create_directories(fs::path(planned).parent_path(), ec);
    if (ec) return finish(Failed(outcome, "cannot make the folder for " + planned + ": " + ec.message(), kExitDamaged));
    candidate = [planned](int) { return planned; };
  } else {
    const std::string base_name = core::OutputBaseName(LocalNow());
    const fs::path dir = settings.dir;
    candidate = [dir, base_name](int n) { return (dir / core::OutputFileName(base_name, n)).string(); };
  }

  pst::convert::ConversionOptions conversion;
  conversion.codepage = settings.codepage;
  conversion.max_file_size = settings.max_size;
  conversion.split = settings.split;
  conversion.progress = [&progress](const pst::convert::CopyProgress&) {
    progress.Tick();
    return StopSignal() == 0;
  };
  conversion.folder_done = settings.folder_done;
  auto result = pst::convert::ConvertToNewStore(source, outcome.format, candidate, std::move(conversion));
  if (!result.ok()) {
    const bool usage = result.status().code() == pst::Status::Code::kInvalidArgument;
    return finish(Failed(outcome, "cannot create the output store: " + result.status().ToString(),
                         usage ? kExitUsage : kExitDamaged));
  }
  outcome.report = result->report;
  if (result->report.cancelled) {
    const int signal = StopSignal();
    return finish(Failed(outcome, "stopped; the unfinished output " + result->partial_path + " was removed",
                         signal ? ExitCodeForSignal(signal) : kExitInterrupted));
  }
  if (result->path.empty()) {
    const bool kept = !result->failure.IsCorruption();
    if (kept) outcome.output = result->partial_path;
    return finish(Failed(outcome,
                         result->failure.ToString() + "; " + result->partial_path +
                             (kept ? " is left as it is, unfinished" : " was removed"),
                         kExitDamaged));
  }
  outcome.output = result->path;
  outcome.parts = result->parts;
  StoreCounts counts;
  bool counted = false;
  for (const std::string& part : result->parts) {
    auto output = pst::messaging::Store::OpenPath(part);
    if (!output.ok()) continue;
    pst::convert::UseNamesCodepage(**output, std::nullopt);
    const StoreCounts one = CountStore(**output);
    counts.folders += one.folders;
    counts.messages += one.messages;
    counts.fai_messages += one.fai_messages;
    counts.attachments += one.attachments;
    counts.embedded_messages += one.embedded_messages;
    counted = true;
  }
  if (counted) outcome.output_counts = counts;
  const bool complete = result->report.complete();
  outcome.status = complete ? SourceStatus::kOk : SourceStatus::kIncomplete;
  outcome.exit_code = complete ? kExitOk : kExitDamaged;
  if (!complete) outcome.reason = "not everything was copied (listed)";
  return finish(outcome);
}

}  // namespace quillmar::cli
