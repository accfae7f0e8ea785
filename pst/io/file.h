// Positional file access. The engine reads and writes stores only through
// these interfaces, so tests can hand in in-memory, truncated, corrupt or
// failing files.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "pst/base/bytes.h"
#include "pst/base/result.h"
#include "pst/base/status.h"

namespace pst::io {

class RandomAccessFile {
 public:
  virtual ~RandomAccessFile() = default;

  // Reads exactly out.size() bytes at offset; a read that would pass the end
  // of the file fails with a Corruption status naming the offset.
  virtual Status Read(uint64_t offset, std::span<uint8_t> out) const = 0;
  virtual uint64_t Size() const = 0;
  // A name for messages (the path, or "<memory>").
  virtual std::string Name() const = 0;
};

class WritableFile : public RandomAccessFile {
 public:
  // Writes all of data at offset, growing the file if needed.
  virtual Status Write(uint64_t offset, ByteSpan data) = 0;
  // Writes buffer's bytes at offset, as Write() does, and leaves buffer
  // empty. A file that keeps bytes to write later takes the buffer itself
  // instead of a copy and leaves one of its own, perhaps with room, in its
  // place.
  virtual Status WriteBuffer(uint64_t offset, BufferBytes& buffer) {
    Status s = Write(offset, buffer);
    buffer.clear();
    return s;
  }
  virtual Status Truncate(uint64_t size) = 0;
  // Makes everything written so far durable.
  virtual Status Sync() = 0;
};

// Opens an existing file for reading only; the file is never written.
Result<std::unique_ptr<RandomAccessFile>> OpenReadOnly(const std::string& path);

// Opens an existing file for reading and writing.
Result<std::unique_ptr<WritableFile>> OpenReadWrite(const std::string& path);

// Creates a new file; fails if anything (a file or a link) already exists at path.
Result<std::unique_ptr<WritableFile>> CreateExclusive(const std::string& path);

// Creates a new file at path holding what `fill` writes into it, so that the
// file shows under that name only once `fill` has succeeded and the bytes are
// on disk: a failure, or the process being killed, leaves nothing at path.
// Never replaces anything at path. (Where the system cannot make an unnamed
// file, the file is made at path and removed again if `fill` fails.)
Status CreateWhole(const std::string& path,
                   const std::function<Status(std::shared_ptr<WritableFile>)>& fill);

// Helper: reads n bytes at offset into a new buffer.
Result<Bytes> ReadBytes(const RandomAccessFile& file, uint64_t offset, size_t n);

}  // namespace pst::io
