#include "cli/convert_options.h"

#include <cctype>
#include <limits>

#include "cli/options.h"

namespace quillmar::cli {
namespace {

std::optional<uint64_t> ParseCount(const std::string& text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  uint64_t n = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  return n;
}

std::optional<Shard> ParseShard(const std::string& text) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos) return std::nullopt;
  auto k = ParseCount(text.substr(0, slash));
  auto n = ParseCount(text.substr(slash + 1));
  if (!k || !n || *n == 0 || *k == 0 || *k > *n) return std::nullopt;
  return Shard{static_cast<uint32_t>(*k), static_cast<uint32_t>(*n)};
}

}  // namespace

std::optional<uint64_t> ParseSize(const std::string& text, std::string* why) {
  *why = "--max-size '" + text + "' is not a size: give whole bytes, or a number with K, M or G (e.g. 500M)";
  size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  if (digits == 0) return std::nullopt;
  std::string unit = text.substr(digits);
  for (char& c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  uint64_t multiplier = 1;
  if (!unit.empty()) {
    static const char* const kUnits[] = {"K", "M", "G"};
    int found = -1;
    for (int i = 0; i < 3; ++i) {
      if (unit == kUnits[i] || unit == std::string(kUnits[i]) + "B" || unit == std::string(kUnits[i]) + "IB") found = i;
    }
    if (found < 0) return std::nullopt;
    multiplier = uint64_t{1} << (10 * (found + 1));
  }
  uint64_t n = 0;
  for (size_t i = 0; i < digits; ++i) {
    const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (n > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
      *why = "--max-size '" + text + "' is too large";
      return std::nullopt;
    }
    n = n * 10 + digit;
  }
  if (n == 0) {
    *why = "--max-size 0 leaves no room; leave --max-size out for no limit but the format's";
    return std::nullopt;
  }
  if (n > std::numeric_limits<uint64_t>::max() / multiplier) {
    *why = "--max-size '" + text + "' is too large";
    return std::nullopt;
  }
  return n * multiplier;
}

std::optional<ConvertOptions> ParseConvertOptions(const Args& args, std::string* why) {
  ConvertOptions o;
  bool dir_given = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool takes_value = a == "-o" || a == "--output-dir" || a == "--to" || a == "--codepage" ||
                             a == "--max-size" || a == "--password-file" || a == "--jobs" || a == "-j" ||
                             a == "--report" || a == "--shard";
    if (takes_value && i + 1 >= args.size()) {
      *why = a + " needs a value";
      return std::nullopt;
    }
    if (a == "-o" || a == "--output-dir") {
      if (dir_given) {
        *why = "one output folder only (-o given twice)";
        return std::nullopt;
      }
      o.dir = args[++i];
      dir_given = true;
    } else if (a == "--to") {
      const std::string& v = args[++i];
      if (v == "ansi") {
        o.to = pst::ndb::Format::kAnsi;
      } else if (v == "unicode") {
        o.to = pst::ndb::Format::kUnicode;
      } else {
        *why = "--to takes ansi or unicode, not '" + v + "'";
        return std::nullopt;
      }
    } else if (a == "--codepage") {
      o.codepage = ParseCodepage(args[++i], why);
      if (!o.codepage) return std::nullopt;
    } else if (a == "--max-size") {
      o.max_size = ParseSize(args[++i], why);
      if (!o.max_size) return std::nullopt;
    } else if (a == "--password-file") {
      o.password_file = args[++i];
    } else if (a == "--jobs" || a == "-j") {
      auto n = ParseCount(args[++i]);
      if (!n || *n == 0 || *n > 256) {
        *why = a + " takes a number of stores to convert at once, 1 to 256, not '" + args[i] + "'";
        return std::nullopt;
      }
      o.jobs = static_cast<unsigned>(*n);
    } else if (a == "--report") {
      o.report = args[++i];
    } else if (a == "--shard") {
      o.shard = ParseShard(args[++i]);
      if (!o.shard) {
        *why = "--shard takes K/N with 1 <= K <= N (the K-th of N parts), not '" + args[i] + "'";
        return std::nullopt;
      }
    } else if (a == "--split") {
      o.split = true;
    } else if (a == "--quiet" || a == "-q") {
      o.quiet = true;
    } else if (a.size() > 1 && a[0] == '-') {
      *why = "unknown option '" + a + "'";
      return std::nullopt;
    } else {
      o.sources.push_back(a);
    }
  }
  if (o.sources.empty()) {
    *why = "no source store given";
    return std::nullopt;
  }
  return o;
}

}  // namespace quillmar::cli
