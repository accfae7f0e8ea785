#include "cli/options.h"

#include <cstdio>
#include <iostream>

#include "cli/password.h"
#include "pst/messaging/text.h"

namespace quillmar::cli {

std::optional<CommonOptions> ParseCommon(const Args& args, const char* usage, bool allow_json,
                                         bool allow_path) {
  CommonOptions options;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--codepage") {
      if (i + 1 >= args.size()) {
        std::cerr << "quillmar-cli: --codepage needs a number\n" << usage;
        return std::nullopt;
      }
      const std::string& v = args[++i];
      char* end = nullptr;
      unsigned long cp = std::strtoul(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || cp == 0 || cp > 65535) {
        std::cerr << "quillmar-cli: bad code page '" << v << "'\n" << usage;
        return std::nullopt;
      }
      options.codepage = static_cast<uint32_t>(cp);
    } else if (a == "--password-file") {
      if (i + 1 >= args.size()) {
        std::cerr << "quillmar-cli: --password-file needs a file\n" << usage;
        return std::nullopt;
      }
      options.password_file = args[++i];
    } else if (a == "--json" && allow_json) {
      options.json = true;
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      std::cerr << "quillmar-cli: unknown option '" << a << "'\n" << usage;
      return std::nullopt;
    } else {
      positional.push_back(a);
    }
  }
  const size_t max_positional = allow_path ? 2 : 1;
  if (positional.empty() || positional.size() > max_positional) {
    std::cerr << usage;
    return std::nullopt;
  }
  options.file = positional[0];
  if (positional.size() == 2) options.path = positional[1];
  if (!pst::messaging::IsSupportedCodepage(options.codepage)) {
    std::cerr << "quillmar-cli: code page " << options.codepage << " is not supported\n";
    return std::nullopt;
  }
  return options;
}

std::unique_ptr<pst::messaging::Store> OpenStoreOrReport(const CommonOptions& options) {
  auto store = pst::messaging::Store::OpenPath(options.file);
  if (!store.ok()) {
    std::cerr << "quillmar-cli: cannot read " << options.file << ": " << store.status().ToString() << "\n";
    return nullptr;
  }
  (*store)->set_default_codepage(options.codepage);
  if (!UnlockStore(**store, options.file, options.password_file)) return nullptr;
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
