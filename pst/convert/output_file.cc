#include "pst/convert/output_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace pst::convert {
namespace {

constexpr int kMaxCandidates = 10000;
constexpr char kPartialSuffix[] = ".partial";

bool PathIsFree(const std::string& path) {
  std::error_code ec;
  return std::filesystem::symlink_status(path, ec).type() == std::filesystem::file_type::not_found;
}

// Why no file can be made at `path` at all (its folder is missing, or the
// name is too long for the file system), or Ok: then trying further names
// would not help.
Status PathIsUsable(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path folder = fs::path(path).parent_path();
  if (folder.empty()) folder = ".";
  const fs::file_status status = fs::status(folder, ec);
  if (status.type() == fs::file_type::not_found) {
    return Status::InvalidArgument("the output folder " + folder.string() + " does not exist");
  }
  if (ec) return Status::InvalidArgument("the output folder " + folder.string() + " cannot be used: " + ec.message());
  if (!fs::is_directory(status)) return Status::InvalidArgument(folder.string() + " is not a folder");
  (void)fs::symlink_status(path, ec);
  if (ec && ec != std::errc::no_such_file_or_directory) {
    return Status::InvalidArgument("cannot make " + path + ": " + ec.message());
  }
  return Status::Ok();
}

enum class Renamed { kDone, kTargetExists, kFailed };

// Renames without ever replacing `to`: a hard link made with link() fails
// when `to` exists; Windows' rename fails the same way.
Renamed RenameNoReplace(const std::string& from, const std::string& to, std::string* error) {
#ifdef _WIN32
  if (std::rename(from.c_str(), to.c_str()) == 0) return Renamed::kDone;
  const int err = errno;
  if (err == EEXIST) return Renamed::kTargetExists;
#else
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return Renamed::kDone;
  }
  const int err = errno;
  if (err == EEXIST) return Renamed::kTargetExists;
  // File systems without hard links: rename after a look (a small window).
  if ((err == EPERM || err == ENOTSUP || err == EOPNOTSUPP) && PathIsFree(to) &&
      std::rename(from.c_str(), to.c_str()) == 0) {
    return Renamed::kDone;
  }
#endif
  *error = "cannot rename " + from + " to " + to + ": " + std::strerror(err);
  return Renamed::kFailed;
}

}  // namespace

Result<OutputFile> CreateOutputFile(std::function<std::string(int n)> candidate,
                                    const messaging::StoreOptions& store) {
  OutputFile output{std::move(candidate), 1, {}};
  for (int n = 1; n <= kMaxCandidates; ++n) {
    const std::string final_path = output.candidate(n);
    const std::string partial_path = final_path + kPartialSuffix;
    PST_RETURN_IF_ERROR(PathIsUsable(partial_path));
    if (!PathIsFree(final_path) || !PathIsFree(partial_path)) continue;
    Status created = messaging::CreateStore(partial_path, store);
    if (created.ok()) {
      output.number = n;
      output.partial_path = partial_path;
      return output;
    }
    // Someone made the file between the look and the create: next name.
    if (!PathIsFree(partial_path)) continue;
    return created;
  }
  return Status::InvalidArgument("no free output name beside " + output.candidate(1));
}

Result<std::string> PublishOutputFile(OutputFile& output) {
  for (int n = output.number; n <= kMaxCandidates; ++n) {
    const std::string final_path = output.candidate(n);
    if (!PathIsFree(final_path)) continue;
    std::string error;
    switch (RenameNoReplace(output.partial_path, final_path, &error)) {
      case Renamed::kDone:
        output.number = n;
        return final_path;
      case Renamed::kTargetExists:
        continue;
      case Renamed::kFailed:
        return Status::IOError(error);
    }
  }
  return Status::InvalidArgument("no free output name beside " + output.candidate(1));
}

void DiscardOutputFile(const OutputFile& output) {
  std::error_code ec;
  std::filesystem::remove(output.partial_path, ec);
}

}  // namespace pst::convert
