// Argument reading shared by the benchmark programs: "--help" prints the
// usage, an unknown option or a bad value is refused with a reason (never
// taken for a file name), and numbers must be whole numbers.
#ifndef QUILLMAR_BENCH_BENCH_ARGS_H_
#define QUILLMAR_BENCH_BENCH_ARGS_H_

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace bench {

class Args {
 public:
  Args(int argc, char** argv, const char* program, const char* usage)
      : program_(program), usage_(usage) {
    for (int i = 1; i < argc; ++i) args_.emplace_back(argv[i]);
  }

  bool done() const { return next_ >= args_.size(); }

  // True (and consumed) when the next argument is `name`.
  bool Flag(const char* name) {
    if (done() || args_[next_] != name) return false;
    ++next_;
    return true;
  }

  // True when the next argument is `name`; its value is stored in `value`.
  // A missing value ends the program with a usage error.
  bool Option(const char* name, std::string& value) {
    if (!Flag(name)) return false;
    if (done()) Refuse(std::string(name) + " needs a value");
    value = args_[next_++];
    return true;
  }

  bool Number(const char* name, uint64_t& value) {
    std::string text;
    if (!Option(name, text)) return false;
    value = ParseNumber(name, text);
    return true;
  }

  // The next argument as an operand. "--help"/"-h" prints the usage and ends
  // the program; anything else that starts with "-" is refused.
  std::string Operand() {
    const std::string& a = args_[next_++];
    if (a == "--help" || a == "-h") {
      std::printf("usage: %s\n", usage_);
      std::exit(0);
    }
    if (a.size() > 1 && a[0] == '-') Refuse("unknown option " + a);
    return a;
  }

  uint64_t ParseNumber(const char* name, const std::string& text) const {
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0) {
      Refuse(std::string(name) + " takes a whole number, not \"" + text + "\"");
    }
    return v;
  }

  [[noreturn]] void Refuse(const std::string& why) const {
    std::fprintf(stderr, "%s: %s\nusage: %s\n", program_, why.c_str(), usage_);
    std::exit(2);
  }

 private:
  const char* program_;
  const char* usage_;
  std::vector<std::string> args_;
  size_t next_ = 0;
};

}  // namespace bench

#endif  // QUILLMAR_BENCH_BENCH_ARGS_H_
