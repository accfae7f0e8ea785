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
  // The code page of 8-bit names and strings that declare none; when not
  // given, chosen as convert chooses it (pst::convert::UseNamesCodepage).
  std::optional<uint32_t> codepage;
  bool json = false;
  std::optional<std::string> password_file;
};

// Parses "[--codepage N] [--password-file F] [--json] FILE [PATH]" for
// `command`; prints why and returns nullopt on bad input. allow_json /
// allow_path say what the command takes.
std::optional<CommonOptions> ParseCommon(const Args& args, const char* command, bool allow_json,
                                         bool allow_path);

// Parses a --codepage value: an ANSI code page (874, 932, 936, 949, 950,
// 1250-1258); nullopt with the reason in *why otherwise.
std::optional<uint32_t> ParseCodepage(const std::string& value, std::string* why);

// Opens the store read-only, reading its 8-bit names in the code page
// convert would choose, and (when `unlock`) asks for its password when it is
// protected (see password.h). Prints the error and returns nullptr when it
// cannot be read; the command then exits with kExitUnreadable.
std::unique_ptr<pst::messaging::Store> OpenStoreOrReport(const CommonOptions& options, bool unlock = true);

// A stored name as it is printed: control characters (which could steer a
// terminal or split a line) as \xNN; everything else unchanged.
std::string PrintableName(const std::string& name);

// A display name made safe for a "/"-joined path: "/" -> "\/", "\" -> "\\",
// and control characters as in PrintableName.
std::string EscapePathComponent(const std::string& name);

}  // namespace quillmar::cli
