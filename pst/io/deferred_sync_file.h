// A file whose Sync() waits: the calls only note that a sync is due, and
// SyncNow() makes everything durable in one go. For a file nobody may rely
// on until it is finished (a conversion's ".partial" output): the page cache
// keeps every write in order for a process that is killed, so only a crash
// of the whole machine could lose what was not synced, and such a file is
// never published before SyncNow() succeeds. Put it over a WritebackFile,
// so that the disk works while the file is still being made and SyncNow()
// waits only for the last of it.
#pragma once

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
  Status Write(uint64_t offset, ByteSpan data) override { return base_->Write(offset, data); }
  Status Truncate(uint64_t size) override { return base_->Truncate(size); }
  Status Sync() override { return Status::Ok(); }

  Status SyncNow() { return base_->Sync(); }

 private:
  std::shared_ptr<WritableFile> base_;
};

}  // namespace pst::io
