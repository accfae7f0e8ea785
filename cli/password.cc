#include "cli/password.h"

#include <fstream>
#include <iostream>

#if defined(__unix__) || defined(__APPLE__)
#include <termios.h>
#include <unistd.h>
#define QUILLMAR_HAVE_TERMIOS 1
#endif

namespace quillmar::cli {
namespace {

constexpr std::streamsize kMaxPasswordFileBytes = 4096;
constexpr int kTerminalTries = 3;

std::string FirstLine(std::string text) {
  const size_t end = text.find_first_of("\r\n");
  if (end != std::string::npos) text.resize(end);
  return text;
}

#ifdef QUILLMAR_HAVE_TERMIOS
bool InputIsTerminal() { return isatty(STDIN_FILENO) == 1; }

// Reads one line from the terminal with echo off; nullopt at end of input.
std::optional<std::string> ReadHiddenLine(const std::string& prompt) {
  // Echo goes off before the prompt shows, so nothing typed after it is seen.
  termios saved{};
  const bool have_terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (have_terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  std::cerr << prompt << std::flush;
  std::string line;
  const bool got = static_cast<bool>(std::getline(std::cin, line));
  if (have_terminal) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  std::cerr << "\n";
  if (!got) return std::nullopt;
  return FirstLine(line);
}
#else
bool InputIsTerminal() { return false; }
std::optional<std::string> ReadHiddenLine(const std::string&) { return std::nullopt; }
#endif

}  // namespace

std::optional<std::string> ReadPasswordFile(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read the password file " + path;
    return std::nullopt;
  }
  std::string text(static_cast<size_t>(kMaxPasswordFileBytes) + 1, '\0');
  in.read(text.data(), kMaxPasswordFileBytes + 1);
  text.resize(static_cast<size_t>(in.gcount()));
  if (in.bad()) {
    *error = "cannot read the password file " + path;
    return std::nullopt;
  }
  if (text.size() > static_cast<size_t>(kMaxPasswordFileBytes)) {
    *error = "the password file " + path + " is too large to hold a password";
    return std::nullopt;
  }
  return FirstLine(std::move(text));
}

std::optional<std::string> PasswordRefusal(const pst::messaging::Store& store, const std::string& store_path,
                                           const std::optional<std::string>& password_file, bool may_ask) {
  if (!store.has_password()) return std::nullopt;
  if (password_file) {
    std::string error;
    auto password = ReadPasswordFile(*password_file, &error);
    if (!password) return error;
    if (store.PasswordMatchesText(*password)) return std::nullopt;
    return "wrong password for " + store_path + " (from " + *password_file + ")";
  }
  if (!may_ask || !InputIsTerminal()) {
    return store_path + " is protected by a password; give it with --password-file FILE" +
           (may_ask ? " or type it at a terminal" : "");
  }
  for (int tries = 0; tries < kTerminalTries; ++tries) {
    auto password = ReadHiddenLine(tries == 0 ? "Password for " + store_path + ": "
                                              : "Wrong password. Password for " + store_path + ": ");
    if (!password) break;
    if (store.PasswordMatchesText(*password)) return std::nullopt;
  }
  return "wrong password for " + store_path;
}

bool UnlockStore(const pst::messaging::Store& store, const std::string& store_path,
                 const std::optional<std::string>& password_file) {
  auto refusal = PasswordRefusal(store, store_path, password_file, true);
  if (refusal) std::cerr << "quillmar-cli: " << *refusal << "\n";
  return !refusal;
}

}  // namespace quillmar::cli
