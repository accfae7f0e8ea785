#include "pst/io/fault_injecting_file.h"

#include <algorithm>

#include "pst/base/hex.h"

namespace pst::io {

void FaultInjectingFile::FailWriteAt(uint64_t k, Status status, bool sticky) {
  fail_at_ = k;
  fail_sticky_ = sticky;
  fail_status_ = std::move(status);
}

void FaultInjectingFile::StopAt(uint64_t k) { stop_at_ = k; }

void FaultInjectingFile::ShortWriteAt(uint64_t k, size_t bytes) {
  short_at_ = k;
  short_bytes_ = bytes;
}

void FaultInjectingFile::FailSyncAt(uint64_t n, Status status) {
  sync_fail_at_ = n;
  sync_fail_status_ = std::move(status);
}

FaultInjectingFile::Action FaultInjectingFile::NextWrite() {
  ++writes_;
  if (stop_at_ != 0 && writes_ >= stop_at_) return Action::kDrop;
  if (fail_at_ != 0 && (writes_ == fail_at_ || (fail_sticky_ && writes_ > fail_at_))) {
    return Action::kFail;
  }
  if (short_at_ != 0 && writes_ == short_at_) return Action::kShort;
  return Action::kPass;
}

Status FaultInjectingFile::Write(uint64_t offset, ByteSpan data) {
  switch (NextWrite()) {
    case Action::kPass:
      return base_->Write(offset, data);
    case Action::kDrop:
      return Status::Ok();
    case Action::kFail:
      return fail_status_;
    case Action::kShort: {
      const size_t n = std::min(short_bytes_, data.size());
      PST_RETURN_IF_ERROR(base_->Write(offset, data.first(n)));
      return Status::IOError("short write at offset " + Hex(offset) + ": " + std::to_string(n) +
                             " of " + std::to_string(data.size()) + " bytes written");
    }
  }
  return Status::Ok();
}

Status FaultInjectingFile::Truncate(uint64_t size) {
  switch (NextWrite()) {
    case Action::kPass:
      return base_->Truncate(size);
    case Action::kDrop:
      return Status::Ok();
    case Action::kFail:
    case Action::kShort:  // a truncation cannot be half done; treat it as failed
      return fail_status_.ok() ? Status::IOError("cannot resize the file") : fail_status_;
  }
  return Status::Ok();
}

Status FaultInjectingFile::Sync() {
  ++syncs_;
  if (stopped()) return Status::Ok();
  if (sync_fail_at_ != 0 && syncs_ == sync_fail_at_) return sync_fail_status_;
  return base_->Sync();
}

}  // namespace pst::io
