// A file whose Sync() runs on a worker thread while the calling thread keeps
// calling a function of its owner, every few milliseconds, until the sync is
// done: a window that writes a store goes on turning its event loop while
// the disk catches up with a commit. Everything else runs on the caller's
// thread, and nothing else may use the file while a Sync() waits.
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <system_error>
#include <utility>

#include "pst/io/file.h"

namespace pst::io {

class WaitingSyncFile : public WritableFile {
 public:
  explicit WaitingSyncFile(std::shared_ptr<WritableFile> base) : base_(std::move(base)) {}

  // Called while a Sync() waits; nullptr (the default) syncs on the calling
  // thread. It must not use this file.
  void set_while_waiting(std::function<void()> fn) { while_waiting_ = std::move(fn); }

  Status Read(uint64_t offset, std::span<uint8_t> out) const override { return base_->Read(offset, out); }
  uint64_t Size() const override { return base_->Size(); }
  std::string Name() const override { return base_->Name(); }
  Status Write(uint64_t offset, ByteSpan data) override { return base_->Write(offset, data); }
  Status WriteBuffer(uint64_t offset, BufferBytes& buffer) override { return base_->WriteBuffer(offset, buffer); }
  Status Truncate(uint64_t size) override { return base_->Truncate(size); }

  Status Sync() override {
    if (!while_waiting_) return base_->Sync();
    std::future<Status> done;
    try {
      done = std::async(std::launch::async, [base = base_] { return base->Sync(); });
    } catch (const std::system_error&) {
      return base_->Sync();  // no thread to be had: wait here
    }
    while (done.wait_for(kPollInterval) != std::future_status::ready) while_waiting_();
    return done.get();
  }

 private:
  static constexpr std::chrono::milliseconds kPollInterval{5};

  std::shared_ptr<WritableFile> base_;
  std::function<void()> while_waiting_;
};

}  // namespace pst::io
