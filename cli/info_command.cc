// quillmar-cli info: what a store is (format, encoding, password) and what it
// holds (folders, messages, FAI messages, attachments).
#include <iostream>
#include <optional>

#include "cli/command.h"
#include "cli/json.h"
#include "cli/options.h"
#include "cli/password.h"
#include "pst/base/hex.h"
#include "pst/messaging/store.h"
#include "pst/messaging/read_all.h"

namespace quillmar::cli {
namespace {

constexpr const char* kUsage =
    "usage: quillmar-cli info [--json] [--codepage N] [--password-file F] FILE\n"
    "  Tells a store's format, encoding and password state, and counts what it holds.\n";

const char* FormatName(pst::ndb::Format format, bool json) {
  switch (format) {
    case pst::ndb::Format::kAnsi: return json ? "ansi" : "ANSI";
    case pst::ndb::Format::kUnicode: return json ? "unicode" : "Unicode";
    case pst::ndb::Format::kUnicode4k: return json ? "unicode-4k" : "Unicode 4K";
  }
  return "unknown";
}

const char* CryptName(pst::ndb::CryptMethod crypt, bool json) {
  switch (crypt) {
    case pst::ndb::CryptMethod::kNone: return json ? "none" : "none";
    case pst::ndb::CryptMethod::kPermute: return json ? "permute" : "compressible (permute)";
    case pst::ndb::CryptMethod::kCyclic: return json ? "cyclic" : "high (cyclic)";
  }
  return "unknown";
}

}  // namespace

int RunInfo(const Args& args) {
  if (WantsHelp(args)) return PrintHelp(kUsage);
  auto options = ParseCommon(args, "info", true, false);
  if (!options) return kExitUsage;
  auto store = OpenStoreOrReport(*options, /*unlock=*/false);
  if (!store) return kExitUnreadable;
  const auto& header = store->database().header();
  const uint64_t size = store->database().file().Size();
  // What the header tells is shown even when the password is not given.
  const bool unlocked = UnlockStore(*store, options->file, options->password_file);

  pst::messaging::ReadStats counts;
  std::optional<std::string> name;
  if (unlocked) {
    pst::messaging::ReadOptions read_options;
    read_options.read_values = false;
    counts = pst::messaging::ReadEverything(*store, read_options);
    auto display_name = store->DisplayName();
    if (display_name.ok()) name = *display_name;
  }

  if (options->json) {
    std::cout << "{\"file\":" << JsonString(options->file)
              << ",\"format\":" << JsonString(FormatName(store->format(), true))
              << ",\"version\":" << header.version
              << ",\"crypt\":" << JsonString(CryptName(store->database().crypt_method(), true))
              << ",\"password\":" << (store->has_password() ? "true" : "false")
              << ",\"size\":" << size;
    if (unlocked) {
      std::cout << ",\"display_name\":" << JsonString(name.value_or(std::string()))
                << ",\"folders\":" << counts.folders << ",\"messages\":" << counts.messages
                << ",\"fai_messages\":" << counts.fai_messages << ",\"attachments\":" << counts.attachments
                << ",\"embedded_messages\":" << counts.embedded_messages << ",\"problems\":[";
      for (size_t i = 0; i < counts.problems.size(); ++i) {
        std::cout << (i ? "," : "") << JsonString(counts.problems[i]);
      }
      std::cout << "]";
    }
    std::cout << "}\n";
  } else {
    std::cout << "File:              " << options->file << "\n"
              << "Format:            " << FormatName(store->format(), false) << " (version "
              << header.version << ")\n"
              << "Encoding:          " << CryptName(store->database().crypt_method(), false) << "\n"
              << "Password:          "
              << (!store->has_password() ? "none" : unlocked ? "set" : "set (not given: contents not read)")
              << "\n"
              << "Size:              " << size << " bytes\n";
    if (unlocked) {
      std::cout << "Display name:      " << name.value_or("(unreadable)") << "\n"
                << "Folders:           " << counts.folders << "\n"
                << "Messages:          " << counts.messages << "\n"
                << "FAI messages:      " << counts.fai_messages << "\n"
                << "Attachments:       " << counts.attachments << " (" << counts.embedded_messages
                << " embedded messages)\n";
    }
  }
  if (!unlocked) return kExitUnreadable;
  for (const auto& p : counts.problems) std::cerr << "quillmar-cli: damaged: " << p << "\n";
  return counts.problems.empty() ? kExitOk : kExitDamaged;
}

}  // namespace quillmar::cli
