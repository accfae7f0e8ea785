#include "pst/io/memory_file.h"

#include <algorithm>

#include "pst/base/hex.h"

namespace pst::io {

Status MemoryFile::Read(uint64_t offset, std::span<uint8_t> out) const {
  if (offset > data_.size() || out.size() > data_.size() - offset) {
    return Status::Corruption("read of " + std::to_string(out.size()) + " bytes at offset " +
                              Hex(offset) + " passes the end of the file (" +
                              std::to_string(data_.size()) + " bytes)");
  }
  std::copy_n(data_.begin() + static_cast<ptrdiff_t>(offset), out.size(), out.begin());
  return Status::Ok();
}

Status MemoryFile::Write(uint64_t offset, ByteSpan data) {
  // Guard against absurd offsets turning into huge allocations.
  constexpr uint64_t kMaxSize = uint64_t{1} << 36;
  if (offset > kMaxSize || data.size() > kMaxSize - offset) {
    return Status::OutOfSpace("in-memory file limit reached");
  }
  if (offset + data.size() > data_.size()) data_.resize(offset + data.size());
  std::copy(data.begin(), data.end(), data_.begin() + static_cast<ptrdiff_t>(offset));
  return Status::Ok();
}

Status MemoryFile::Truncate(uint64_t size) {
  if (size > (uint64_t{1} << 36)) return Status::OutOfSpace("in-memory file limit reached");
  data_.resize(size);
  return Status::Ok();
}

}  // namespace pst::io
