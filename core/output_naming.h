// How a conversion run names its files: the template it copies, the output
// file's base name from the clock, and folder paths joined with a file name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/run_environment.h"

namespace quillmar::core {

enum class PathStyle {
  kPosix,    // "/" separates; a trailing "/" marks a folder
  kWindows,  // "\" and "/" both separate; "\" is added
};

#ifdef _WIN32
inline constexpr PathStyle kNativePathStyle = PathStyle::kWindows;
#else
inline constexpr PathStyle kNativePathStyle = PathStyle::kPosix;
#endif

// folder unchanged when it already ends in a separator (a root such as "/"
// or "E:\"), else folder + the style's separator.
std::string WithTrailingSeparator(std::string folder, PathStyle style = kNativePathStyle);

// "xportk.def" for a Unicode source (an ANSI template), "xport.def" for
// anything else (a Unicode template).
std::string TemplateFileName(int16_t source_kind);

// "Brantwick-dd-mm-yyyy-hh-mm-ss", zero-padded, 24-hour clock.
std::string OutputBaseName(const LocalDateTime& now);

// The n-th candidate output file name: base + ".pst" for n = 1, then
// base + "-2.pst", base + "-3.pst", ...
std::string OutputFileName(std::string_view base_name, int n);

}  // namespace quillmar::core
