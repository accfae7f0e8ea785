// Which stores a convert run works on and where each output goes.
//
// Each SOURCE argument is a store, or a folder searched recursively for
// .pst and .ost files. A batch output is named after its source and mirrors
// the source's place below its SOURCE argument: with `-o DIR`, SOURCE/a/b/
// old.pst becomes DIR/a/b/old-unicode.pst (or old-ansi.pst). Names are
// stable, so a second run finds what the first one made.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli/convert_options.h"
#include "pst/base/result.h"
#include "pst/ndb/types.h"

namespace quillmar::cli {

struct BatchItem {
  std::string source;    // the store's path
  std::string relative;  // below its SOURCE argument, "/"-separated (a file argument: its name)
  // The output's name without "-unicode.pst"/"-ansi.pst", relative to DIR:
  // the source's without its extension, or with it when another store in
  // the same folder has the same stem (old.pst and old.ost).
  std::string output_stem;
};

// The stores the SOURCE arguments name, in a stable order. `skip_dir` (the
// output folder) is never searched. Fails when a SOURCE does not exist, a
// folder cannot be read, or two stores would be written to the same output.
pst::Result<std::vector<BatchItem>> FindStores(const std::vector<std::string>& sources, const std::string& skip_dir);

// "DIR/<output_stem>-unicode.pst" (or "-ansi.pst").
std::string BatchOutputPath(const std::string& dir, const BatchItem& item, pst::ndb::Format format);

// 64-bit FNV-1a: the same on every machine and every run.
uint64_t StableHash(std::string_view text);

// True when `item` belongs to the shard: the hash of its relative path,
// modulo the shard count, picks one shard.
bool InShard(const BatchItem& item, const Shard& shard);

}  // namespace quillmar::cli
