#include "pst/io/writeback_file.h"

#include <chrono>
#include <system_error>
#include <utility>

namespace pst::io {

WritebackFile::WritebackFile(std::shared_ptr<WritableFile> base, uint64_t sync_bytes)
    : base_(std::move(base)), sync_bytes_(sync_bytes) {}

WritebackFile::~WritebackFile() {
  std::lock_guard<std::mutex> lock(mu_);
  FinishEarlySyncLocked();
}

Status WritebackFile::Write(uint64_t offset, ByteSpan data) {
  PST_RETURN_IF_ERROR(base_->Write(offset, data));
  NoteWritten(data.size());
  return Status::Ok();
}

void WritebackFile::NoteWritten(uint64_t length) {
  unsynced_bytes_ += length;
  if (sync_bytes_ == 0 || unsynced_bytes_ < sync_bytes_) return;
  std::lock_guard<std::mutex> lock(mu_);
  MaybeSyncEarlyLocked();
}

void WritebackFile::MaybeSyncEarlyLocked() {
  if (early_sync_.valid()) {
    // A disk slower than the writes: the next early sync waits its turn.
    if (early_sync_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return;
    FinishEarlySyncLocked();
  }
  try {
    early_sync_ = std::async(std::launch::async, [base = base_] { return base->Sync(); });
  } catch (const std::system_error&) {
    return;  // no thread to be had: the next Sync() does it all
  }
  ++early_syncs_;
  unsynced_bytes_ = 0;
}

void WritebackFile::FinishEarlySyncLocked() {
  if (!early_sync_.valid()) return;
  Status synced = early_sync_.get();
  if (!synced.ok() && early_failure_.ok()) early_failure_ = synced;
}

Status WritebackFile::Sync() {
  std::lock_guard<std::mutex> lock(mu_);
  FinishEarlySyncLocked();
  Status synced = base_->Sync();
  if (!early_failure_.ok()) return early_failure_;  // a lost write stays lost
  return synced;
}

}  // namespace pst::io
