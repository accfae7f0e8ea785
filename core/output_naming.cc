#include "core/output_naming.h"

#include <cstdio>

namespace quillmar::core {

std::string WithTrailingSeparator(std::string folder, PathStyle style) {
  const char last = folder.empty() ? '\0' : folder.back();
  const bool ends_in_separator =
      last == '/' || (style == PathStyle::kWindows && last == '\\');
  if (!ends_in_separator) folder += style == PathStyle::kWindows ? '\\' : '/';
  return folder;
}

std::string TemplateFileName(int16_t source_kind) {
  return source_kind == 2 ? "xportk.def" : "xport.def";
}

std::string OutputBaseName(const LocalDateTime& now) {
  // Widths are fixed by the name's pattern; a value that cannot fit (a year
  // past 9999) is clamped instead of widening the name.
  auto clamp = [](int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); };
  char text[40];
  std::snprintf(text, sizeof text, "Brantwick-%02d-%02d-%04d-%02d-%02d-%02d",
                clamp(now.day, 0, 99), clamp(now.month, 0, 99), clamp(now.year, 0, 9999),
                clamp(now.hour, 0, 99), clamp(now.minute, 0, 99), clamp(now.second, 0, 99));
  return text;
}

std::string OutputFileName(std::string_view base_name, int n) {
  std::string name(base_name);
  if (n > 1) {
    name += '-';
    name += std::to_string(n);
  }
  return name + ".pst";
}

}  // namespace quillmar::core
