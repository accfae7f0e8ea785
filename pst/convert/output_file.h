// Where a conversion into a new file writes: the new store is made under
// "<name>.partial" and takes its final name (the first free one of the
// caller's candidates) only when the run is over, so a run that is killed or
// cut off never leaves a file that looks finished. Neither step ever
// replaces an existing file or writes through a symbolic link.
#pragma once

#include <functional>
#include <string>

#include "pst/base/result.h"
#include "pst/messaging/store_creator.h"

namespace pst::convert {

struct OutputFile {
  std::function<std::string(int n)> candidate;  // the n-th final path to try, from 1
  int number = 1;                               // the candidate chosen
  std::string partial_path;
};

// Creates a new empty store at the first candidate whose final name and
// ".partial" name are both free. Fails at once (InvalidArgument) when no
// name can work: the folder is missing or not a folder, or the name is too
// long for the file system.
Result<OutputFile> CreateOutputFile(std::function<std::string(int n)> candidate,
                                    const messaging::StoreOptions& store);

// Gives the finished file its final name (the next free candidate if the
// chosen one was taken meanwhile); returns that path.
Result<std::string> PublishOutputFile(OutputFile& output);

// Removes the unfinished file.
void DiscardOutputFile(const OutputFile& output);

}  // namespace pst::convert
