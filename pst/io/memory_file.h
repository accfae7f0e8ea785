// An in-memory file, for tests, fuzzing and building stores in memory.
#pragma once

#include <memory>

#include "pst/io/file.h"

namespace pst::io {

class MemoryFile final : public WritableFile {
 public:
  MemoryFile() = default;
  explicit MemoryFile(Bytes contents) : data_(std::move(contents)) {}

  Status Read(uint64_t offset, std::span<uint8_t> out) const override;
  uint64_t Size() const override { return data_.size(); }
  std::string Name() const override { return "<memory>"; }
  Status Write(uint64_t offset, ByteSpan data) override;
  Status Truncate(uint64_t size) override;
  Status Sync() override { return Status::Ok(); }

  const Bytes& contents() const { return data_; }
  Bytes& mutable_contents() { return data_; }

 private:
  Bytes data_;
};

}  // namespace pst::io
