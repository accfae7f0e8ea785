// A WritableFile over another one that misbehaves on request, for tests of
// what the engine leaves behind when a write fails or the process dies.
//
// Writes and truncations are counted together as "write operations",
// numbered from 1 in the order they are issued; syncs are counted apart.
// Reads always go to the wrapped file.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "pst/io/file.h"

namespace pst::io {

class FaultInjectingFile final : public WritableFile {
 public:
  explicit FaultInjectingFile(std::shared_ptr<WritableFile> base) : base_(std::move(base)) {}

  // Write operation k fails with `status` and changes nothing. With
  // `sticky`, every later write operation fails the same way (a disk that
  // stays full); otherwise the ones after k go through.
  void FailWriteAt(uint64_t k, Status status, bool sticky = false);

  // Simulates the process being killed just before write operation k: that
  // operation and every later one are silently dropped (reported as done),
  // and syncs report success. The wrapped file keeps exactly what the first
  // k - 1 operations wrote.
  void StopAt(uint64_t k);

  // Write operation k stores only its first `bytes` bytes, then fails with
  // an I/O error (a short write the caller must not take for success).
  void ShortWriteAt(uint64_t k, size_t bytes);

  // Sync number n (from 1) fails with `status`.
  void FailSyncAt(uint64_t n, Status status);

  uint64_t write_count() const { return writes_; }
  uint64_t sync_count() const { return syncs_; }
  // True once a StopAt point has been reached.
  bool stopped() const { return stop_at_ != 0 && writes_ >= stop_at_; }

  Status Read(uint64_t offset, std::span<uint8_t> out) const override {
    return base_->Read(offset, out);
  }
  uint64_t Size() const override { return base_->Size(); }
  std::string Name() const override { return base_->Name(); }
  Status Write(uint64_t offset, ByteSpan data) override;
  Status Truncate(uint64_t size) override;
  Status Sync() override;

 private:
  enum class Action { kPass, kFail, kDrop, kShort };
  // Counts one write operation and says what to do with it.
  Action NextWrite();

  std::shared_ptr<WritableFile> base_;
  // Atomic: a file under a WritebackFile is synced beside its writes.
  std::atomic<uint64_t> writes_ = 0;
  std::atomic<uint64_t> syncs_ = 0;

  uint64_t fail_at_ = 0;
  bool fail_sticky_ = false;
  Status fail_status_;
  uint64_t stop_at_ = 0;
  uint64_t short_at_ = 0;
  size_t short_bytes_ = 0;
  uint64_t sync_fail_at_ = 0;
  Status sync_fail_status_;
};

}  // namespace pst::io
