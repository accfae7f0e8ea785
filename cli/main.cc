// quillmar-cli: the command-line companion of QUILLMAR, sharing its engine.
#include <csignal>
#include <iostream>
#include <string>

#include "cli/command.h"
#include "pst/base/heap_tuning.h"

namespace {

constexpr const char* kVersion = "quillmar-cli 2.0 (build 1108)";

constexpr const char* kHelp =
    "usage: quillmar-cli COMMAND [OPTIONS] FILE ...\n"
    "\n"
    "Commands (quillmar-cli COMMAND --help tells each one's options):\n"
    "  info [--json] FILE      format, encoding, password state and counts of a store\n"
    "  ls FILE                 folders with their message and FAI message counts\n"
    "  dump FILE [PATH]        properties of the store, a folder or a message\n"
    "  convert SOURCE... [-o DIR] [--to ansi|unicode]\n"
    "                          write a new store of the other format holding SOURCE's mail;\n"
    "                          several stores or folders of them at once, with a report\n"
    "  check FILE              structural check of a store\n"
    "  create --format ansi|unicode FILE\n"
    "                          a new, empty store (never replaces a file)\n"
    "\n"
    "Options most commands take:\n"
    "  --codepage N            code page of 8-bit names and strings that carry none\n"
    "  --password-file FILE    password of a protected store (else asked at a terminal)\n"
    "  --help, --version\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace quillmar::cli;
  pst::KeepFreedMemory();
#ifdef SIGXFSZ
  // A file-size limit then shows as a failed write that is reported, not as
  // a silent death half-way through writing a store.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
  if (argc < 2) {
    std::cerr << kHelp;
    return kExitUsage;
  }
  const std::string command = argv[1];
  Args args(argv + 2, argv + argc);
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kHelp << "\n" << kExitCodeHelp;
    return kExitOk;
  }
  if (command == "--version") {
    std::cout << kVersion << "\n";
    return kExitOk;
  }
  if (command == "info") return RunInfo(args);
  if (command == "ls") return RunLs(args);
  if (command == "dump") return RunDump(args);
  if (command == "create") return RunCreate(args);
  if (command == "convert") return RunConvert(args);
  if (command == "check") return RunCheck(args);
  std::cerr << "quillmar-cli: unknown command '" << command << "'\n\n" << kHelp;
  return kExitUsage;
}
