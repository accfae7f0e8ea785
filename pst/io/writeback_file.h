// A file whose written bytes go to the disk as they come, so that a sync
// finds little left to do.
//
// One flush of a whole gigabyte at the end took longer than writing it. So
// once per `sync_bytes` written, a helper thread syncs the base file while
// the writes go on, and Sync() flushes only what came after. (Asking the
// system to start writing each few megabytes as well, with
// sync_file_range, made the writing thread wait whenever the device's queue
// was full: a 1 GiB conversion took 1.7 s instead of 1.5.)
//
// A failure of such an early sync is kept and returned by every later
// Sync(): the system reports a failed writeback to one sync only.
//
// The base file's Sync() runs beside its writes: it must allow that (a
// POSIX file does). Writes come from one thread at a time.
#pragma once

#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <string>

#include "pst/io/file.h"

namespace pst::io {

class WritebackFile : public WritableFile {
 public:
  static constexpr uint64_t kDefaultSyncBytes = uint64_t{32} << 20;

  // `sync_bytes` 0: no early syncs.
  explicit WritebackFile(std::shared_ptr<WritableFile> base, uint64_t sync_bytes = kDefaultSyncBytes);
  // Waits for an early sync still running.
  ~WritebackFile() override;

  Status Read(uint64_t offset, std::span<uint8_t> out) const override { return base_->Read(offset, out); }
  uint64_t Size() const override { return base_->Size(); }
  std::string Name() const override { return base_->Name(); }
  Status Write(uint64_t offset, ByteSpan data) override;
  Status Truncate(uint64_t size) override { return base_->Truncate(size); }
  // Makes every write durable; fails if this or any early sync failed.
  Status Sync() override;

  // Early syncs started so far (for tests).
  int early_syncs() {
    std::lock_guard<std::mutex> lock(mu_);
    return early_syncs_;
  }

 private:
  void NoteWritten(uint64_t length);
  // With mu_ held: starts an early sync unless one is still running.
  void MaybeSyncEarlyLocked();
  // With mu_ held: waits for the running early sync, if any, and keeps its
  // failure.
  void FinishEarlySyncLocked();

  std::shared_ptr<WritableFile> base_;
  const uint64_t sync_bytes_;
  // Written since the last early sync started.
  uint64_t unsynced_bytes_ = 0;
  // The writes come from one thread (a write-behind worker) and Sync() may
  // come from another.
  std::mutex mu_;
  std::future<Status> early_sync_;
  int early_syncs_ = 0;
  Status early_failure_;
};

}  // namespace pst::io
