// quillmar-cli create: a new, empty store of either format, as Outlook makes
// one. Never replaces an existing file.
#include <iostream>
#include <optional>
#include <string>

#include "cli/command.h"
#include "cli/options.h"
#include "pst/convert/codepage_policy.h"
#include "pst/convert/store_copy.h"
#include "pst/io/file.h"
#include "pst/messaging/store_creator.h"
#include "pst/messaging/store_writer.h"
#include "pst/messaging/text.h"

namespace quillmar::cli {
namespace {

constexpr const char* kUsage =
    "usage: quillmar-cli create --format ansi|unicode [--name NAME] [--codepage N] FILE\n"
    "  Writes a new, empty personal-folders store. An existing FILE is never replaced.\n"
    "  --name NAME: the store's name (default \"Personal Folders\").\n"
    "  --codepage N: the code page of an ANSI store's names (default: the first that holds\n"
    "  NAME); it is recorded in the store, as convert records it.\n";

int Usage(const std::string& problem) { return Refuse("create", problem); }

// The code page an ANSI store's name is written in: the user's, when it
// holds the name, else the first that does.
std::optional<uint32_t> NamesCodepage(const std::string& name, std::optional<uint32_t> user_choice) {
  pst::convert::TextProfile text;
  text.AddUtf16Le(pst::messaging::Utf8ToUtf16Le(name));
  if (user_choice) {
    if (text.LostIn(*user_choice) != 0) return std::nullopt;
    return user_choice;
  }
  const uint32_t chosen = pst::convert::ChooseCodepageFor(text, {});
  if (text.LostIn(chosen) != 0) return std::nullopt;
  return chosen;
}

}  // namespace

int RunCreate(const Args& args) {
  if (WantsHelp(args)) return PrintHelp(kUsage);
  pst::messaging::StoreOptions options;
  std::optional<uint32_t> codepage;
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
      if (!has_value) return Usage("--codepage needs a code page");
      std::string why;
      codepage = ParseCodepage(args[++i], &why);
      if (!codepage) return Usage(why);
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
  const bool ansi = options.format == pst::ndb::Format::kAnsi;
  if (ansi) {
    auto names_codepage = NamesCodepage(options.display_name, codepage);
    if (!names_codepage) {
      return Usage("the name '" + options.display_name + "' cannot be written in " +
                   (codepage ? "code page " + std::to_string(*codepage) : std::string("any ANSI code page")) +
                   (codepage ? "" : "; a Unicode store can hold it"));
    }
    options.codepage = *names_codepage;
  }

  pst::Status s = pst::messaging::CreateStore(file, options);
  if (s.ok() && ansi) {
    // Readers then take the name in the code page it was written in.
    auto opened = pst::io::OpenReadWrite(file);
    s = opened.status();
    if (opened.ok()) {
      auto writer = pst::messaging::StoreWriter::Open(std::shared_ptr<pst::io::WritableFile>(std::move(*opened)));
      s = writer.ok() ? pst::convert::RecordNamesCodepage(**writer, options.codepage) : writer.status();
    }
  }
  if (!s.ok()) {
    std::cerr << "quillmar-cli create: " << file << ": " << s.message() << "\n";
    return kExitDamaged;
  }
  return kExitOk;
}

}  // namespace quillmar::cli
