#pragma once

#include <string>
#include <string_view>

namespace quillmar::cli {

// A JSON string literal, quotes included; input is UTF-8.
std::string JsonString(std::string_view s);

}  // namespace quillmar::cli
