// make_template: writes the empty store that ships beside the program as a
// template for conversions ("xport.def" is a Unicode store, "xportk.def" an
// ANSI one). Run by the build; an existing output is replaced.
//
//   make_template ansi|unicode OUTPUT
#include <filesystem>
#include <iostream>
#include <string>

#include "pst/messaging/store_creator.h"

int main(int argc, char** argv) {
  if (argc != 3 || (std::string(argv[1]) != "ansi" && std::string(argv[1]) != "unicode")) {
    std::cerr << "usage: make_template ansi|unicode OUTPUT\n";
    return 2;
  }
  pst::messaging::StoreOptions options;
  options.format = std::string(argv[1]) == "ansi" ? pst::ndb::Format::kAnsi
                                                  : pst::ndb::Format::kUnicode;
  // Written beside the output and moved over it, so a failed run never
  // leaves a damaged template where the program looks for one.
  const std::filesystem::path output = argv[2];
  const std::filesystem::path temporary = output.string() + ".new";
  std::error_code ignored;
  std::filesystem::remove(temporary, ignored);
  pst::Status s = pst::messaging::CreateStore(temporary.string(), options);
  if (!s.ok()) {
    std::cerr << "make_template: " << s.ToString() << "\n";
    return 1;
  }
  std::error_code error;
  std::filesystem::rename(temporary, output, error);
  if (error) {
    std::cerr << "make_template: cannot replace " << output << ": " << error.message() << "\n";
    std::filesystem::remove(temporary, ignored);
    return 1;
  }
  return 0;
}
