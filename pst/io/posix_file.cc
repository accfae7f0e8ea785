#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "pst/base/hex.h"
#include "pst/io/file.h"

namespace pst::io {
namespace {

Status ErrnoStatus(const std::string& what, const std::string& path, int err) {
  std::string msg = what + " " + path + ": " + std::strerror(err);
  if (err == ENOSPC || err == EFBIG || err == EDQUOT) return Status::OutOfSpace(msg);
  if (err == ENOENT) return Status::NotFound(msg);
  if (err == EACCES || err == EPERM) return Status::PermissionDenied(msg);
  return Status::IOError(msg);
}

class PosixFile final : public WritableFile {
 public:
  PosixFile(int fd, std::string path, uint64_t size, bool writable)
      : fd_(fd), path_(std::move(path)), size_(size), writable_(writable) {}
  ~PosixFile() override { ::close(fd_); }

  Status Read(uint64_t offset, std::span<uint8_t> out) const override {
    if (offset > size_ || out.size() > size_ - offset) {
      return Status::Corruption("read of " + std::to_string(out.size()) + " bytes at offset " +
                                Hex(offset) + " passes the end of " + path_ + " (" +
                                std::to_string(size_) + " bytes)");
    }
    size_t done = 0;
    while (done < out.size()) {
      ssize_t n = ::pread(fd_, out.data() + done, out.size() - done,
                          static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return ErrnoStatus("cannot read", path_, errno);
      }
      if (n == 0) return Status::Corruption("unexpected end of " + path_ + " at " + Hex(offset + done));
      done += static_cast<size_t>(n);
    }
    return Status::Ok();
  }

  uint64_t Size() const override { return size_; }
  std::string Name() const override { return path_; }

  Status Write(uint64_t offset, ByteSpan data) override {
    if (!writable_) return Status::InvalidArgument(path_ + " is open for reading only");
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = ::pwrite(fd_, data.data() + done, data.size() - done,
                           static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return ErrnoStatus("cannot write", path_, errno);
      }
      if (n == 0) return Status::IOError("cannot write " + path_ + ": no progress");
      done += static_cast<size_t>(n);
    }
    if (offset + data.size() > size_) size_ = offset + data.size();
    return Status::Ok();
  }

  Status Truncate(uint64_t size) override {
    if (!writable_) return Status::InvalidArgument(path_ + " is open for reading only");
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) return ErrnoStatus("cannot resize", path_, errno);
    size_ = size;
    return Status::Ok();
  }

  Status Sync() override {
    if (!writable_) return Status::Ok();
    if (::fsync(fd_) != 0) return ErrnoStatus("cannot flush", path_, errno);
    return Status::Ok();
  }

 private:
  int fd_;
  std::string path_;
  uint64_t size_;
  bool writable_;
};

Result<std::unique_ptr<PosixFile>> OpenFd(const std::string& path, int flags, bool writable) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer
  // forever. It means nothing for the regular files we go on with.
  int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return ErrnoStatus("cannot open", path, errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return ErrnoStatus("cannot stat", path, err);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return Status::InvalidArgument(path + " is not a regular file");
  }
  const int status_flags = ::fcntl(fd, F_GETFL);
  if (status_flags == -1 || ::fcntl(fd, F_SETFL, status_flags & ~O_NONBLOCK) == -1) {
    int err = errno;
    ::close(fd);
    return ErrnoStatus("cannot open", path, err);
  }
  return std::make_unique<PosixFile>(fd, path, static_cast<uint64_t>(st.st_size), writable);
}

}  // namespace

Result<std::unique_ptr<RandomAccessFile>> OpenReadOnly(const std::string& path) {
  PST_ASSIGN_OR_RETURN(auto f, OpenFd(path, O_RDONLY, false));
  return std::unique_ptr<RandomAccessFile>(std::move(f));
}

Result<std::unique_ptr<WritableFile>> OpenReadWrite(const std::string& path) {
  PST_ASSIGN_OR_RETURN(auto f, OpenFd(path, O_RDWR | O_NOFOLLOW, true));
  return std::unique_ptr<WritableFile>(std::move(f));
}

Result<std::unique_ptr<WritableFile>> CreateExclusive(const std::string& path) {
  // O_EXCL with O_CREAT also refuses a dangling symbolic link.
  PST_ASSIGN_OR_RETURN(auto f, OpenFd(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, true));
  return std::unique_ptr<WritableFile>(std::move(f));
}

Status CreateWhole(const std::string& path,
                   const std::function<Status(std::shared_ptr<WritableFile>)>& fill) {
#ifdef O_TMPFILE
  // An unnamed file in the target folder, linked to its name when complete.
  // The link goes through /proc (linkat with AT_EMPTY_PATH needs privileges).
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  const std::string dir = parent.empty() ? std::string(".") : parent.string();
  const int fd = ::access("/proc/self/fd", X_OK) == 0
                     ? ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644)
                     : -1;
  if (fd >= 0) {
    auto file = std::make_shared<PosixFile>(fd, path, 0, true);
    PST_RETURN_IF_ERROR(fill(file));
    PST_RETURN_IF_ERROR(file->Sync());
    std::string self = "/proc/self/fd/";
    self += std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      return ErrnoStatus("cannot create", path, errno);
    }
    return Status::Ok();
  }
#endif
  PST_ASSIGN_OR_RETURN(auto created, CreateExclusive(path));
  Status s = fill(std::shared_ptr<WritableFile>(std::move(created)));
  if (s.ok()) return s;
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  return s;
}

Result<Bytes> ReadBytes(const RandomAccessFile& file, uint64_t offset, size_t n) {
  Bytes buf(n);
  PST_RETURN_IF_ERROR(file.Read(offset, buf));
  return buf;
}

}  // namespace pst::io
