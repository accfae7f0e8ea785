#include "cli/options.h"

#include <cstdio>
#include <iostream>

#include "cli/password.h"
#include "pst/convert/codepage_policy.h"
#include "pst/convert/conversion.h"

namespace quillmar::cli {

bool WantsHelp(const Args& args) {
  for (const auto& a : args) {
    if (a == "--help" || a == "-h") return true;
  }
  return false;
}

int PrintHelp(const char* usage) {
  std::cout << usage << "\n" << kExitCodeHelp;
  return kExitOk;
}

int Refuse(const std::string& command, const std::string& why) {
  std::cerr << "quillmar-cli " << command << ": " << why << "\n"
            << "(quillmar-cli " << command << " --help shows its usage)\n";
  return kExitUsage;
}

std::optional<uint32_t> ParseCodepage(const std::string& value, std::string* why) {
  char* end = nullptr;
  const unsigned long cp = std::strtoul(value.c_str(), &end, 10);
  if (value.empty() || value[0] == '-' || *end != '\0' || !pst::convert::IsAnsiCodepage(cp)) {
    *why = "--codepage '" + value + "' is not a code page 8-bit strings are written in (874, 932, 936, 949, "
           "950 or 1250-1258)";
    return std::nullopt;
  }
  return static_cast<uint32_t>(cp);
}

std::optional<CommonOptions> ParseCommon(const Args& args, const char* command, bool allow_json,
                                         bool allow_path) {
  CommonOptions options;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--codepage" || a == "--password-file") {
      if (i + 1 >= args.size()) {
        Refuse(command, a + (a == "--codepage" ? " needs a code page" : " needs a file"));
        return std::nullopt;
      }
      const std::string& v = args[++i];
      if (a == "--password-file") {
        options.password_file = v;
        continue;
      }
      std::string why;
      options.codepage = ParseCodepage(v, &why);
      if (!options.codepage) {
        Refuse(command, why);
        return std::nullopt;
      }
    } else if (a == "--json" && allow_json) {
      options.json = true;
    } else if (a.size() > 1 && a[0] == '-') {
      Refuse(command, "unknown option '" + a + "'");
      return std::nullopt;
    } else {
      positional.push_back(a);
    }
  }
  if (positional.empty()) {
    Refuse(command, "no store given");
    return std::nullopt;
  }
  const size_t max_positional = allow_path ? 2 : 1;
  if (positional.size() > max_positional) {
    Refuse(command, "one store only; '" + positional[max_positional] + "' is one argument too many");
    return std::nullopt;
  }
  options.file = positional[0];
  if (positional.size() == 2) options.path = positional[1];
  return options;
}

std::unique_ptr<pst::messaging::Store> OpenStoreOrReport(const CommonOptions& options, bool unlock) {
  auto store = pst::messaging::Store::OpenPath(options.file);
  if (!store.ok()) {
    std::cerr << "quillmar-cli: cannot read " << options.file << ": " << store.status().ToString() << "\n";
    return nullptr;
  }
  pst::convert::UseNamesCodepage(**store, options.codepage);
  if (unlock && !UnlockStore(**store, options.file, options.password_file)) return nullptr;
  return std::move(store).value();
}

std::string PrintableName(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string EscapePathComponent(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    if (c == '/' || c == '\\') out += '\\';
    out += c;
  }
  return PrintableName(out);
}

}  // namespace quillmar::cli
