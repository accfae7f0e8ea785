// The Global module: the state shared by the browse command and the
// conversion run, and the two shell helpers the run needs.
#pragma once

#include <cstdint>
#include <string>

#include "platform/shell.h"

namespace quillmar::core {

// Values of SourceKind.
inline constexpr int16_t kSourceKindNone = 0;
inline constexpr int16_t kSourceKindAnsi = 1;
inline constexpr int16_t kSourceKindUnicode = 2;

class Global {
 public:
  Global(platform::FolderPicker& folder_picker, platform::FileCopier& file_copier);

  // Shared state. SourceKind: 0 until a source is detected, then 1 for an
  // ANSI source and 2 for a Unicode source. The four texts are formed by
  // each conversion run and kept until the next.
  int16_t SourceKind = kSourceKindNone;
  std::string SaveFolder;
  std::string TemplatePath;
  std::string OutputBaseName;
  std::string OutputPath;

  // Asks the user for a folder. Returns its full path (ending in a
  // separator only at a root), or empty text when the user cancelled, the
  // pick is not a folder on disk, or anything failed.
  std::string BrowseForFolder(platform::WindowHandle owner, const std::string& title);

  // Copies source to destination; with a nonzero failIfExists an existing
  // destination is left alone and the copy fails. True when copied.
  bool CopyFileTo(const std::string& source, const std::string& destination,
                  int16_t failIfExists);
  // The same copy, telling why it failed.
  platform::FileCopyResult CopyFileWithReason(const std::string& source,
                                              const std::string& destination,
                                              bool fail_if_exists);

 private:
  platform::FolderPicker& folder_picker_;
  platform::FileCopier& file_copier_;
};

}  // namespace quillmar::core
