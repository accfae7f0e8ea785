// The JSON report of a convert run (--report FILE); its keys are listed in
// README.md.
#pragma once

#include <string>
#include <vector>

#include "cli/convert_one.h"

namespace quillmar::cli {

// {"sources": [one object per source], "totals": {...}}.
std::string BatchReportJson(const std::vector<SourceOutcome>& outcomes);

// The report's counters of one conversion, by key: each number the
// conversion report keeps goes into the JSON under its name.
std::vector<std::pair<const char*, uint64_t>> ReportCounters(const pst::convert::ConversionReport& report);

}  // namespace quillmar::cli
