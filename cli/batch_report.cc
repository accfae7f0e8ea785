#include "cli/batch_report.h"

#include <cstdio>
#include <map>

#include "cli/json.h"

namespace quillmar::cli {
namespace {

std::string Counts(const std::optional<StoreCounts>& counts) {
  if (!counts) return "null";
  return "{\"folders\":" + std::to_string(counts->folders) + ",\"messages\":" + std::to_string(counts->messages) +
         ",\"fai_messages\":" + std::to_string(counts->fai_messages) +
         ",\"attachments\":" + std::to_string(counts->attachments) +
         ",\"embedded_messages\":" + std::to_string(counts->embedded_messages) + "}";
}

void AddCounts(const std::optional<StoreCounts>& from, StoreCounts* to) {
  if (!from) return;
  to->folders += from->folders;
  to->messages += from->messages;
  to->fai_messages += from->fai_messages;
  to->attachments += from->attachments;
  to->embedded_messages += from->embedded_messages;
}

std::string List(const std::vector<std::string>& entries) {
  std::string out = "[";
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i) out += ',';
    out += JsonString(entries[i]);
  }
  return out + "]";
}

std::string Seconds(double seconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", seconds);
  return buf;
}

std::string SourceJson(const SourceOutcome& o) {
  std::string out = "{\"source\":" + JsonString(o.source) + ",\"relative\":" + JsonString(o.relative) +
                    ",\"output\":" + (o.output.empty() ? std::string("null") : JsonString(o.output)) +
                    ",\"parts\":" + List(o.parts) +
                    ",\"status\":" + JsonString(SourceStatusName(o.status)) +
                    ",\"reason\":" + (o.reason.empty() ? std::string("null") : JsonString(o.reason)) +
                    ",\"source_counts\":" + Counts(o.source_counts) + ",\"output_counts\":" + Counts(o.output_counts);
  std::vector<std::string> failures;
  std::vector<std::string> left_out;
  std::string did_not_fit = "[";
  std::string continued = "[";
  if (o.report) {
    for (const auto& l : o.report->copied.left_out) {
      if (did_not_fit.size() > 1) did_not_fit += ',';
      did_not_fit += "{\"folder\":";
      did_not_fit += JsonString(l.folder);
      did_not_fit += ",\"messages\":" + std::to_string(l.messages);
      did_not_fit += ",\"fai_messages\":" + std::to_string(l.fai_messages);
      did_not_fit += l.folder_copied ? ",\"folder_copied\":true}" : ",\"folder_copied\":false}";
    }
    for (const auto& c : o.report->copied.continued) {
      if (continued.size() > 1) continued += ',';
      continued += "{\"folder\":";
      continued += JsonString(c.folder);
      continued += ",\"continuation\":";
      continued += JsonString(c.name);
      continued += ",\"messages\":" + std::to_string(c.messages);
      continued += ",\"subfolders\":" + std::to_string(c.subfolders) + "}";
    }
    for (const auto& f : o.report->folders_not_copied) failures.push_back("folder not copied: " + f.name + ": " + f.why.ToString());
    failures.insert(failures.end(), o.report->copied.failures.begin(), o.report->copied.failures.end());
    left_out = o.report->copied.dropped_properties;
    for (const auto& [key, value] : ReportCounters(*o.report)) out += ",\"" + std::string(key) + "\":" + std::to_string(value);
  }
  out += ",\"failures\":" + List(failures) + ",\"left_out\":" + List(left_out) + ",\"did_not_fit\":" + did_not_fit +
         "],\"continuation_folders\":" + continued + "]" + ",\"seconds\":" + Seconds(o.seconds) + "}";
  return out;
}

uint64_t MessagesLeftOut(const pst::convert::CopyReport& copied) {
  uint64_t n = 0;
  for (const auto& l : copied.left_out) n += l.messages;
  return n;
}

}  // namespace

std::vector<std::pair<const char*, uint64_t>> ReportCounters(const pst::convert::ConversionReport& report) {
  const pst::convert::CopyReport& copied = report.copied;
  return {
      {"characters_replaced", copied.strings.characters_replaced},
      {"strings_converted", copied.strings.strings_converted},
      {"messages_given_a_codepage", copied.objects_declared},
      {"folders_not_copied", report.folders_not_copied.size()},
      {"messages_that_did_not_fit", MessagesLeftOut(report.copied)},
      {"objects_failed", copied.failures.size()},
      {"properties_left_out", copied.dropped_properties.size()},
      {"messages_recovered_with_damage", copied.messages_recovered_with_damage},
      {"messages_unreadable", copied.messages_unreadable},
  };
}

std::string BatchReportJson(const std::vector<SourceOutcome>& outcomes) {
  std::string out = "{\"sources\":[";
  std::map<std::string, uint64_t> by_status = {{"ok", 0}, {"incomplete", 0}, {"failed", 0}, {"skipped", 0}};
  std::map<std::string, uint64_t> counters;
  for (const auto& [key, value] : ReportCounters(pst::convert::ConversionReport())) counters[key] = value;
  StoreCounts source_total;
  StoreCounts output_total;
  double seconds = 0;
  for (size_t i = 0; i < outcomes.size(); ++i) {
    const SourceOutcome& o = outcomes[i];
    out += i ? ",\n" : "\n";
    out += SourceJson(o);
    ++by_status[SourceStatusName(o.status)];
    AddCounts(o.source_counts, &source_total);
    AddCounts(o.output_counts, &output_total);
    if (o.report) {
      for (const auto& [key, value] : ReportCounters(*o.report)) counters[key] += value;
    }
    seconds += o.seconds;
  }
  out += "\n],\"totals\":{\"sources\":" + std::to_string(outcomes.size());
  for (const auto& [status, n] : by_status) out += ",\"" + status + "\":" + std::to_string(n);
  out += ",\"source_counts\":" + Counts(source_total) + ",\"output_counts\":" + Counts(output_total);
  for (const auto& [key, value] : counters) out += ",\"" + key + "\":" + std::to_string(value);
  out += ",\"seconds\":" + Seconds(seconds) + "}}\n";
  return out;
}

}  // namespace quillmar::cli
