// A file whose Sync() waits: the calls only note that a sync is due, and
// SyncNow() makes everything durable in one go. For a file nobody may rely
// on until it is finished (a conversion's ".partial" output): the page cache
// keeps every write in order for a process that is killed, so only a crash
// of the whole machine could lose what was not synced, and such a file is
// never published before SyncNow() succeeds.
//
// Written bytes are handed to the disk as they come (StartWriteback, once
// per few megabytes: each call costs a walk of the range and a device
// kick), so the disk works while the file is still being made and SyncNow()
// waits only for the last of it: the intermediate syncs are skipped, not
// their disk time moved to the end.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "pst/io/file.h"

namespace pst::io {

class DeferredSyncFile : public WritableFile {
 public:
  explicit DeferredSyncFile(std::shared_ptr<WritableFile> base) : base_(std::move(base)) {}

  Status Read(uint64_t offset, std::span<uint8_t> out) const override { return base_->Read(offset, out); }
  uint64_t Size() const override { return base_->Size(); }
  std::string Name() const override { return base_->Name(); }
  Status Write(uint64_t offset, ByteSpan data) override {
    PST_RETURN_IF_ERROR(base_->Write(offset, data));
    NoteWritten(offset, data.size());
    return Status::Ok();
  }
  Status Truncate(uint64_t size) override { return base_->Truncate(size); }
  Status Sync() override { return Status::Ok(); }
  void StartWriteback(uint64_t offset, uint64_t length) override { base_->StartWriteback(offset, length); }

  Status SyncNow() { return base_->Sync(); }

 private:
  static constexpr uint64_t kWritebackBatch = uint64_t{8} << 20;

  void NoteWritten(uint64_t offset, uint64_t length) {
    if (unhinted_bytes_ == 0) {
      unhinted_begin_ = offset;
      unhinted_end_ = offset + length;
    } else {
      unhinted_begin_ = std::min(unhinted_begin_, offset);
      unhinted_end_ = std::max(unhinted_end_, offset + length);
    }
    unhinted_bytes_ += length;
    if (unhinted_bytes_ < kWritebackBatch) return;
    base_->StartWriteback(unhinted_begin_, unhinted_end_ - unhinted_begin_);
    unhinted_bytes_ = 0;
  }

  std::shared_ptr<WritableFile> base_;
  // Written since the last StartWriteback hint: the range that holds them.
  uint64_t unhinted_begin_ = 0;
  uint64_t unhinted_end_ = 0;
  uint64_t unhinted_bytes_ = 0;
};

}  // namespace pst::io
