#include "platform/std_file_copy.h"

#include <filesystem>
#include <system_error>

namespace quillmar::platform {
namespace fs = std::filesystem;

namespace {

fs::path PathOf(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

FileCopyResult Failed(std::string reason) {
  return {FileCopyResult::Outcome::kFailed, std::move(reason)};
}

}  // namespace

FileCopyResult StdFileCopier::CopyFile(const std::string& source, const std::string& destination,
                                       bool fail_if_exists) {
  if (source.empty()) return Failed("no source file given");
  if (destination.empty()) return Failed("no destination file given");
  const fs::path from = PathOf(source);
  const fs::path to = PathOf(destination);

  std::error_code ec;
  const fs::file_status source_status = fs::status(from, ec);
  if (!fs::exists(source_status)) return Failed("the file does not exist");
  if (!fs::is_regular_file(source_status)) return Failed("not a regular file");

  const bool existed = fs::exists(fs::symlink_status(to, ec));
  // Without overwrite the destination is created exclusively (O_EXCL), so a
  // file that appears between the check above and the copy is not replaced.
  const fs::copy_options options =
      fail_if_exists ? fs::copy_options::none : fs::copy_options::overwrite_existing;
  ec.clear();
  if (fs::copy_file(from, to, options, ec)) return {FileCopyResult::Outcome::kCopied, {}};
  if (!ec) return Failed("the file was not copied");
  // Whatever stands at the name (a folder, a link to one) counts as taken,
  // so the caller can try another name.
  if (fail_if_exists && (ec == std::errc::file_exists || existed)) {
    return {FileCopyResult::Outcome::kDestinationExists, "a file of that name already exists"};
  }
  std::string reason = ec.message();
  // A partial copy that this call created is garbage: take it away. A file
  // that was there before is left, since it may still be the user's.
  if (!existed) {
    std::error_code ignored;
    fs::remove(to, ignored);
  }
  return Failed(std::move(reason));
}

}  // namespace quillmar::platform
