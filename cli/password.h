// Passwords of protected stores on the command line: read from a file
// named by --password-file, or typed at the terminal (without echo).
#pragma once

#include <optional>
#include <string>

#include "pst/messaging/store.h"

namespace quillmar::cli {

// The first line of `path` (without its line end), or nullopt with the
// reason in *error. Refuses files larger than a few kilobytes.
std::optional<std::string> ReadPasswordFile(const std::string& path, std::string* error);

// Why `store` may not be read, or nullopt when it may: it has no password,
// or the password from `password_file` matches, or (with `may_ask`, no file
// and standard input a terminal) the user types the right one within three
// tries. Prints nothing but the prompts.
std::optional<std::string> PasswordRefusal(const pst::messaging::Store& store, const std::string& store_path,
                                           const std::optional<std::string>& password_file, bool may_ask);

// True when `store` may be read: it has no password, or the password from
// `password_file` matches, or (with no file and standard input a terminal)
// the user types the right one within three tries. Otherwise prints why
// (naming `store_path`) and returns false.
bool UnlockStore(const pst::messaging::Store& store, const std::string& store_path,
                 const std::optional<std::string>& password_file);

}  // namespace quillmar::cli
