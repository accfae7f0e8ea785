// What a store's damage means for its mail, in the user's terms: which
// folders hold messages that cannot be read, or can be read only in part or
// through a damaged block, and whose lists of messages are damaged. Found
// by reading the mail below the top folder the way a salvage conversion
// does; the checker's findings say where in the file, this says what is hurt.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pst/io/file.h"

namespace pst::check {

struct DamagedFolder {
  std::string path;             // "Inbox/Projects"; "" for the top folder
  uint64_t unreadable = 0;      // messages that cannot be read at all
  uint64_t damaged = 0;         // messages with a part that cannot be read or a damaged block
  bool list_damaged = false;    // its contents or hierarchy table cannot be read whole
  bool folder_unreadable = false;
};

struct MailDamage {
  bool store_unreadable = false;       // not even the folder tree could be opened
  std::vector<DamagedFolder> folders;  // only folders with something to report
};

// Reads every message below the store's top folder; the file is only read.
MailDamage AssessMail(std::shared_ptr<const io::RandomAccessFile> file);

}  // namespace pst::check
