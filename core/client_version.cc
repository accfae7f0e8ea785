#include "core/client_version.h"

#include <cmath>

namespace quillmar::core {

std::optional<int> MajorVersionOf(std::string_view client_version) {
  std::string_view text = client_version.substr(0, 2);
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);

  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // What is left has at most two characters: digits with at most one point.
  double value = 0;
  double scale = 0;  // 0 before the point, then 0.1, 0.01, ...
  bool any_digit = false;
  for (char c : text) {
    if (c == '.' && scale == 0) {
      scale = 0.1;
    } else if (c >= '0' && c <= '9') {
      any_digit = true;
      if (scale == 0) {
        value = value * 10 + (c - '0');
      } else {
        value += (c - '0') * scale;
        scale /= 10;
      }
    } else {
      return std::nullopt;
    }
  }
  if (!any_digit) return std::nullopt;
  // The integer part rounds down, also below zero.
  return static_cast<int>(std::floor(negative ? -value : value));
}

}  // namespace quillmar::core
