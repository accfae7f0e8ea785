// quillmar-cli subcommands. Each takes its own arguments (after the
// subcommand name) and returns the process exit code.
#pragma once

#include <string>
#include <vector>

namespace quillmar::cli {

enum ExitCode {
  kExitOk = 0,
  kExitDamaged = 1,  // the store is damaged or unreadable (or some objects failed)
  kExitUsage = 2,
  kExitUnreadable = 3,  // used by commands that tell "damaged" from "unreadable"
};

using Args = std::vector<std::string>;

int RunInfo(const Args& args);
int RunLs(const Args& args);
int RunDump(const Args& args);
int RunConvert(const Args& args);
int RunCheck(const Args& args);
int RunCreate(const Args& args);

}  // namespace quillmar::cli
