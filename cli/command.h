// quillmar-cli subcommands. Each takes its own arguments (after the
// subcommand name) and returns the process exit code.
#pragma once

#include <string>
#include <vector>

namespace quillmar::cli {

// One table for every command, printed by each command's --help.
enum ExitCode {
  kExitOk = 0,
  kExitDamaged = 1,     // some things failed or the result is incomplete (each is listed)
  kExitUsage = 2,       // the command line was wrong (the reason is given)
  kExitUnreadable = 3,  // a store cannot be read, or its password is missing or wrong
  kExitHangup = 128 + 1,      // SIGHUP: the terminal closed
  kExitInterrupted = 128 + 2, // SIGINT: Ctrl+C
  kExitTerminated = 128 + 15, // SIGTERM
};

inline constexpr const char* kExitCodeHelp =
    "Exit codes (the same for every command):\n"
    "  0    done: everything went as asked\n"
    "  1    some things failed or the result is incomplete (each is listed)\n"
    "  2    usage error (the reason is given)\n"
    "  3    a store cannot be read, or its password is missing or wrong\n"
    "  129  stopped by SIGHUP, 130 by SIGINT (Ctrl+C), 143 by SIGTERM; an unfinished\n"
    "       output is removed\n";

using Args = std::vector<std::string>;

int RunInfo(const Args& args);
int RunLs(const Args& args);
int RunDump(const Args& args);
int RunConvert(const Args& args);
int RunCheck(const Args& args);
int RunCreate(const Args& args);

// True when the arguments ask for the command's help.
bool WantsHelp(const Args& args);
// Prints `usage` and the exit codes to stdout; returns kExitOk.
int PrintHelp(const char* usage);
// Prints "quillmar-cli COMMAND: why" and where to find the usage to stderr;
// returns kExitUsage.
int Refuse(const std::string& command, const std::string& why);

}  // namespace quillmar::cli
