// Small shared argument handling for the subcommands.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "cli/command.h"
#include "pst/messaging/store.h"

namespace quillmar::cli {

struct CommonOptions {
  std::string file;
  std::optional<std::string> path;  // dump's optional folder path or NID
  uint32_t codepage = 1252;
  bool json = false;
  std::optional<std::string> password_file;
};

// Parses "[--codepage N] [--password-file F] [--json] FILE [PATH]"; prints a usage error and
// returns nullopt on bad input. allow_json / allow_path say what the command takes.
std::optional<CommonOptions> ParseCommon(const Args& args, const char* usage, bool allow_json,
                                         bool allow_path);

// Opens the store read-only and, when it is protected, asks for its password
// (see password.h); prints the error and returns nullptr on failure.
std::unique_ptr<pst::messaging::Store> OpenStoreOrReport(const CommonOptions& options);

// A stored name as it is printed: control characters (which could steer a
// terminal or split a line) as \xNN; everything else unchanged.
std::string PrintableName(const std::string& name);

// A display name made safe for a "/"-joined path: "/" -> "\/", "\" -> "\\",
// and control characters as in PrintableName.
std::string EscapePathComponent(const std::string& name);

}  // namespace quillmar::cli
