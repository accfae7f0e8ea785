// Structural checker: reads a whole store without changing it and reports
// every place where it breaks the format's rules or its own bookkeeping
// (allocation maps, reference counts, folder counts), one finding per place.
//
// Levels checked, each continuing past what it finds:
//   header and ROOT       magic, version, CRCs, EOF, AMap totals, counters
//   pages                 AMap/PMap/FMap/FPMap/DList and B-tree trailers
//   B-trees               key order, levels, first keys, cycles
//   blocks                trailers, internal blocks, data and subnode trees,
//                         reference counts against the references found
//   allocation            AMap bits against the space actually referenced
//   heaps and tables      every property and table context of every node
//   folders, name map     tables against the node index, counts, hashes
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pst/io/file.h"

namespace pst::check {

// How much a finding matters; docs/check-findings.md gives the judgement
// for every kind of finding.
enum class Severity {
  // A fact about the store that costs nothing but room or tells what it
  // holds: space no one can reuse until the store is compacted, a property
  // type this engine does not read, a server's count in an exported folder.
  kNote,
  // A departure from the format's rules that readers and Outlook tolerate
  // or repair themselves: a count Outlook recomputes, a missing optional
  // map, a cached table cell that disagrees with its object.
  kWarning,
  // A fault that loses or endangers mail: data a reader cannot read, or
  // bookkeeping a writer relying on it would corrupt the store with.
  kError,
};

struct Problem {
  Severity severity = Severity::kError;
  std::string where;  // "block 0x44 at 0x5C00", "folder 0x8022", "ROOT"
  std::string what;
};

struct CheckOptions {
  // Also check heaps, property and table contexts, folders and the
  // named-property map (the levels above the node database).
  bool check_objects = true;
  // Findings kept in the report; further ones are only counted.
  size_t max_problems = 10000;
};

struct CheckCounts {
  uint64_t pages = 0;       // B-tree pages and map pages read
  uint64_t blocks = 0;      // BBT entries
  uint64_t nodes = 0;       // NBT entries
  uint64_t subnodes = 0;    // subnode tree entries, nested ones included
  uint64_t property_contexts = 0;
  uint64_t table_contexts = 0;
  uint64_t table_rows = 0;
  uint64_t folders = 0;
  uint64_t messages = 0;
  uint64_t named_properties = 0;
  // Marked in use in the AMaps but holding no page or block: leaked, or,
  // where the PMap marks the page free, reserved for pages by older clients.
  uint64_t leaked_bytes = 0;
  uint64_t reserved_bytes = 0;
};

struct CheckReport {
  // False when the header or a B-tree root cannot be read: nothing past the
  // findings already listed could be checked.
  bool readable = true;
  std::vector<Problem> problems;
  size_t errors = 0;
  size_t warnings = 0;
  size_t notes = 0;
  size_t dropped = 0;  // findings beyond max_problems (counted above, not listed)
  CheckCounts counts;

  bool sound() const { return readable && errors == 0; }
  // What this program writes itself is held to more: not even a departure
  // that Outlook would tolerate or repair.
  bool flawless() const { return sound() && warnings == 0; }
};

// Checks the store in `file`, which is only read. Never fails: whatever it
// cannot read becomes a finding.
CheckReport CheckStore(const io::RandomAccessFile& file, const CheckOptions& options = {});

// "error" / "warning" / "note".
const char* SeverityName(Severity severity);

}  // namespace pst::check
