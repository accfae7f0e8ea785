// Where `convert` writes: the new store is made under "<name>.partial" and
// takes its final name ("Brantwick-dd-mm-yyyy-hh-mm-ss.pst", "-2", "-3"...)
// only when the run is over, so a run that is killed or cut off never leaves
// a file that looks finished. Neither step ever replaces an existing file or
// writes through a symbolic link.
#pragma once

#include <string>

#include "pst/base/result.h"
#include "pst/messaging/store_creator.h"

namespace quillmar::cli {

struct OutputFile {
  std::string dir;
  std::string base_name;  // "Brantwick-dd-mm-yyyy-hh-mm-ss"
  int number = 1;         // which candidate name (1: no suffix)
  std::string partial_path;
  std::string FinalPath() const;
};

// Creates a new empty store at the first candidate whose final name and
// ".partial" name are both free.
pst::Result<OutputFile> CreateOutputFile(const std::string& dir, const std::string& base_name,
                                         const pst::messaging::StoreOptions& store);

// Gives the finished file its final name (the next free candidate if the
// chosen one was taken meanwhile); returns that path.
pst::Result<std::string> PublishOutputFile(OutputFile& output);

// Removes the unfinished file.
void DiscardOutputFile(const OutputFile& output);

}  // namespace quillmar::cli
