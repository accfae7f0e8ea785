#include "core/global.h"

#include <filesystem>
#include <system_error>

namespace quillmar::core {
namespace fs = std::filesystem;

namespace {

fs::path PathOf(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

bool IsSeparator(char c) {
#ifdef _WIN32
  return c == '\\' || c == '/';
#else
  return c == '/';
#endif
}

// True for "/" and "C:\": a root keeps its separator.
bool IsRoot(const std::string& path) {
  const fs::path p = PathOf(path);
  return p.has_root_directory() && p.relative_path().empty();
}

}  // namespace

Global::Global(platform::FolderPicker& folder_picker, platform::FileCopier& file_copier)
    : folder_picker_(folder_picker), file_copier_(file_copier) {}

std::string Global::BrowseForFolder(platform::WindowHandle owner, const std::string& title) {
  std::string picked;
  try {
    picked = folder_picker_.PickFolder(owner, title);
  } catch (...) {
    return {};  // a failing picker counts as no choice
  }
  if (picked.empty()) return {};

  // Only a folder of the file system counts as a choice.
  std::error_code ec;
  const fs::path folder = PathOf(picked);
  if (!folder.is_absolute() || !fs::is_directory(folder, ec)) return {};

  while (!IsRoot(picked) && IsSeparator(picked.back())) picked.pop_back();
  return picked;
}

bool Global::CopyFileTo(const std::string& source, const std::string& destination,
                        int16_t failIfExists) {
  return CopyFileWithReason(source, destination, failIfExists != 0).ok();
}

platform::FileCopyResult Global::CopyFileWithReason(const std::string& source,
                                                    const std::string& destination,
                                                    bool fail_if_exists) {
  return file_copier_.CopyFile(source, destination, fail_if_exists);
}

}  // namespace quillmar::core
