// One source store converted by quillmar-cli convert, alone or as one of a
// batch: open and unlock it, choose its output, run the one conversion
// (pst::convert::ConvertToNewStore) and count what the source and the output
// hold, as `info` counts them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/batch_plan.h"
#include "cli/progress.h"
#include "pst/convert/conversion.h"

namespace quillmar::cli {

enum class SourceStatus {
  kOk,          // everything copied
  kIncomplete,  // an output was made, but something was not copied (listed)
  kFailed,      // no finished output
  kSkipped,     // a sound output from an earlier run is already there
};
const char* SourceStatusName(SourceStatus status);

// What `info` counts in a store.
struct StoreCounts {
  uint64_t folders = 0;
  uint64_t messages = 0;  // without FAI messages
  uint64_t fai_messages = 0;
  uint64_t attachments = 0;
  uint64_t embedded_messages = 0;
};

struct SourceOutcome {
  std::string source;
  std::string relative;  // below its SOURCE argument
  // The finished output; for a failed run, the unfinished one when it was
  // kept (".partial"), else empty.
  std::string output;
  // Every output of a split run, in order (output is the first); one
  // otherwise.
  std::vector<std::string> parts;
  SourceStatus status = SourceStatus::kFailed;
  std::string reason;  // why it failed or was skipped
  // The exit code this outcome alone gives (a single run's).
  int exit_code = 0;
  pst::ndb::Format format = pst::ndb::Format::kUnicode;
  std::optional<pst::convert::ConversionReport> report;
  std::optional<StoreCounts> source_counts;
  std::optional<StoreCounts> output_counts;  // summed over the parts
  double seconds = 0;
};

struct ConvertSettings {
  std::string dir;
  std::optional<pst::ndb::Format> to;
  std::optional<uint32_t> codepage;
  uint64_t max_size = 0;
  bool split = false;
  std::optional<std::string> password_file;
  bool may_ask_password = false;  // a single run at a terminal may ask
  bool count_source = false;      // for the report
  // A batch item: named after its source, and skipped when a sound output
  // is already there. Without one: a new Brantwick-....pst in dir.
  const BatchItem* item = nullptr;
  // Told about each top-level folder as it is done (single runs print it).
  std::function<void(const std::string& name, const pst::Status& outcome)> folder_done;
};

SourceOutcome ConvertOneStore(const std::string& source, const ConvertSettings& settings, ProgressLine& progress);

// Counts what `store` holds, as `info` does.
StoreCounts CountStore(const pst::messaging::Store& store);

}  // namespace quillmar::cli
