// quillmar-cli create: a new, empty store of either format, as Outlook makes
// one. Never replaces an existing file.
#include <iostream>
#include <string>

#include "cli/command.h"
#include "pst/messaging/store_creator.h"
#include "pst/messaging/text.h"

namespace quillmar::cli {
namespace {

constexpr const char* kUsage =
    "usage: quillmar-cli create --format ansi|unicode [--name NAME] [--codepage N] FILE\n"
    "  Writes a new, empty personal-folders store. An existing FILE is never replaced.\n";

int Usage(const std::string& problem) {
  std::cerr << "quillmar-cli create: " << problem << "\n" << kUsage;
  return kExitUsage;
}

}  // namespace

int RunCreate(const Args& args) {
  pst::messaging::StoreOptions options;
  bool have_format = false;
  std::string file;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool has_value = i + 1 < args.size();
    if (a == "--format") {
      if (!has_value) return Usage("--format needs ansi or unicode");
      const std::string& f = args[++i];
      if (f == "ansi") {
        options.format = pst::ndb::Format::kAnsi;
      } else if (f == "unicode") {
        options.format = pst::ndb::Format::kUnicode;
      } else {
        return Usage("unknown format '" + f + "'");
      }
      have_format = true;
    } else if (a == "--name") {
      if (!has_value) return Usage("--name needs a name");
      options.display_name = args[++i];
    } else if (a == "--codepage") {
      if (!has_value) return Usage("--codepage needs a number");
      try {
        options.codepage = static_cast<uint32_t>(std::stoul(args[++i]));
      } catch (...) {
        return Usage("--codepage needs a number");
      }
      if (!pst::messaging::IsSupportedCodepage(options.codepage)) {
        return Usage("unknown code page " + args[i]);
      }
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return Usage("unknown option " + a);
    } else if (file.empty()) {
      file = a;
    } else {
      return Usage("more than one file given");
    }
  }
  if (!have_format) return Usage("the format (--format ansi or --format unicode) is required");
  if (file.empty()) return Usage("no file given");

  pst::Status s = pst::messaging::CreateStore(file, options);
  if (!s.ok()) {
    std::cerr << "quillmar-cli create: " << file << ": " << s.message() << "\n";
    return kExitDamaged;
  }
  return kExitOk;
}

}  // namespace quillmar::cli
