// Reads everything a store holds — every folder, message (normal and FAI),
// property value, recipient row, attachment and embedded message — in
// bounded memory, counting what it saw and collecting the damage it met.
// Used by `info`, the fuzzer and the read benchmark. A folder's messages are
// read on two threads where the machine has two cores.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pst::messaging {

class Store;

struct ReadStats {
  uint64_t folders = 0;
  uint64_t messages = 0;
  uint64_t fai_messages = 0;
  uint64_t attachments = 0;
  uint64_t embedded_messages = 0;
  uint64_t recipients = 0;
  uint64_t properties = 0;
  uint64_t value_bytes = 0;  // bytes of property values and table cells read
  std::vector<std::string> problems;
};

struct ReadOptions {
  bool read_values = true;        // false: only count objects
  // Opens each message's recipient table, which only finds problems when
  // values are not read: a count that reports none may skip it.
  bool open_recipients = true;
  size_t max_problems = 1000;     // further problems are counted, not kept
  uint64_t max_embedding_depth = 32;
  // Threads reading messages: 0 uses two where the machine has two cores.
  unsigned threads = 0;
};

ReadStats ReadEverything(const Store& store, const ReadOptions& options = {});

}  // namespace pst::messaging
