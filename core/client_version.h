// The version gate of source selection: the session's client version must
// have a major number of at least 11.
#pragma once

#include <optional>
#include <string_view>

namespace quillmar::core {

inline constexpr int kMinimumClientMajorVersion = 11;

// Reads the first two characters of a version text ("11.0.0.8206",
// "9.0.0.2711") as a number and returns its integer part: "11" -> 11,
// "9." -> 9. Blanks around the number and a sign are accepted. nullopt when
// the two characters do not read as a number ("ab", "", ".").
std::optional<int> MajorVersionOf(std::string_view client_version);

}  // namespace quillmar::core
