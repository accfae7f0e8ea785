// The command line of quillmar-cli convert, parsed; every refusal says why.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/command.h"
#include "pst/ndb/types.h"

namespace quillmar::cli {

// The K-th (1..N) of N stable partitions of a batch's sources.
struct Shard {
  uint32_t index = 1;
  uint32_t count = 1;
};

struct ConvertOptions {
  std::vector<std::string> sources;
  std::string dir = ".";
  std::optional<pst::ndb::Format> to;
  std::optional<uint32_t> codepage;
  std::optional<uint64_t> max_size;
  std::optional<std::string> password_file;
  unsigned jobs = 0;  // 0: one per core
  std::optional<std::string> report;
  std::optional<Shard> shard;
  bool quiet = false;
  bool split = false;  // as many outputs as the size limit needs
};

// nullopt with the reason in *why when the arguments are wrong.
std::optional<ConvertOptions> ParseConvertOptions(const Args& args, std::string* why);

// A size in bytes: digits, optionally followed by K, M or G (binary
// multiples, an optional "B" or "iB" after them). Zero, negative, fractional
// or overflowing sizes are refused with the reason in *why.
std::optional<uint64_t> ParseSize(const std::string& text, std::string* why);

}  // namespace quillmar::cli
