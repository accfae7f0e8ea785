#include "pst/io/write_behind_file.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace pst::io {

WriteBehindFile::WriteBehindFile(std::shared_ptr<WritableFile> base, size_t queue_bytes)
    : base_(std::move(base)),
      name_(base_->Name()),
      queue_bytes_(queue_bytes),
      wake_bytes_(std::clamp<size_t>(queue_bytes / 4, 1, kChunkBytes)),
      size_(base_->Size()) {
  try {
    worker_ = std::thread([this] { Work(); });
  } catch (const std::system_error&) {
    // No thread to be had: every write goes straight to the base file.
  }
}

WriteBehindFile::~WriteBehindFile() {
  if (!worker_.joinable()) return;
  {
    std::unique_lock<std::mutex> lock(mu_);
    (void)DrainLocked(lock);
    stop_ = true;
  }
  work_ready_.notify_one();
  worker_.join();
}

void WriteBehindFile::Work() {
  std::vector<Chunk> batch;
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    worker_idle_ = true;
    work_ready_.wait(lock, [this] { return stop_ || ClosedChunksLocked() > 0; });
    worker_idle_ = false;
    if (queue_.empty()) return;  // stop_, and nothing left (a destructor drains first)
    // Every chunk the caller is done with, up to about a chunk's worth: the
    // lock is taken once per batch, and a commit queues many small pages.
    // Off the queue, the caller cannot join more bytes onto them.
    const size_t closed = ClosedChunksLocked();
    size_t held = 0;
    while (batch.size() < closed && (batch.empty() || held + queue_.front().bytes.capacity() <= kChunkBytes)) {
      held += queue_.front().bytes.capacity();
      batch.push_back(std::move(queue_.front()));
      queue_.pop_front();
    }
    writing_ = true;
    lock.unlock();
    Status written;
    for (const Chunk& chunk : batch) {
      written = base_->Write(chunk.offset, chunk.bytes);
      if (!written.ok()) break;
    }
    lock.lock();
    writing_ = false;
    queued_bytes_ -= held;
    for (Chunk& chunk : batch) {
      // Fresh memory costs a page fault per page: run buffers are used again.
      if (chunk.bytes.capacity() == kChunkBytes && spare_.size() < kSpareChunks) {
        chunk.bytes.clear();
        spare_.push_back(std::move(chunk.bytes));
      } else {
        retired_.push_back(std::move(chunk.bytes));
      }
    }
    batch.clear();
    if (!written.ok() && failure_.ok()) failure_ = written;
    if (!failure_.ok()) {  // what is queued would land after a hole
      for (const Chunk& c : queue_) queued_bytes_ -= c.bytes.capacity();
      queue_.clear();
      tail_open_ = false;
    }
    // Callers are woken once what they wait for may hold, not after every
    // batch: each wake-up costs both threads a system call.
    if (callers_waiting_ > 0 && (queued_bytes_ <= wake_at_bytes_ || !failure_.ok())) work_done_.notify_all();
  }
}

Status WriteBehindFile::DrainLocked(std::unique_lock<std::mutex>& lock) const {
  WaitForWorker(lock, 0, [this] { return queue_.empty() && !writing_; });
  return failure_;
}

Status WriteBehindFile::Flush() const {
  std::unique_lock<std::mutex> lock(mu_);
  return DrainLocked(lock);
}

Status WriteBehindFile::WaitForRoomLocked(std::unique_lock<std::mutex>& lock, size_t bytes) {
  // A write larger than all of the queue waits for an empty one. Woken
  // with half the queue free, the caller has room for more than one write.
  const size_t wake_at = bytes >= queue_bytes_ ? 0 : std::min(queue_bytes_ - bytes, queue_bytes_ / 2);
  WaitForWorker(lock, wake_at, [&] {
    return !failure_.ok() || queued_bytes_ + bytes <= queue_bytes_ || (queue_.empty() && !writing_);
  });
  return failure_;
}

bool WriteBehindFile::QueueLocked(Chunk chunk) {
  size_ = std::max<uint64_t>(size_, chunk.offset + chunk.bytes.size());
  retired_.clear();
  queued_bytes_ += chunk.bytes.capacity();
  tail_open_ = chunk.bytes.size() < kChunkBytes && callers_waiting_ == 0;
  queue_.push_back(std::move(chunk));
  return WakeWorkerLocked();
}

Status WriteBehindFile::Write(uint64_t offset, ByteSpan data) {
  if (!worker_.joinable()) {
    Status s = base_->Write(offset, data);
    if (s.ok()) size_ = std::max<uint64_t>(size_, offset + data.size());
    return s;
  }
  if (data.empty()) return Status::Ok();
  std::unique_lock<std::mutex> lock(mu_);
  PST_RETURN_IF_ERROR(WaitForRoomLocked(lock, data.size()));
  Chunk* tail = queue_.empty() ? nullptr : &queue_.back();
  bool wake = false;
  if (tail != nullptr && tail->offset + tail->bytes.size() == offset &&
      tail->bytes.size() + data.size() <= kChunkBytes) {
    const size_t before = tail->bytes.capacity();
    tail->bytes.insert(tail->bytes.end(), data.begin(), data.end());
    queued_bytes_ += tail->bytes.capacity() - before;
    size_ = std::max<uint64_t>(size_, offset + data.size());
    if (tail->bytes.size() >= kChunkBytes) tail_open_ = false;
    wake = WakeWorkerLocked();
  } else {
    Chunk chunk{offset, BufferBytes()};
    // A run of blocks is likely followed by the next run: room for them
    // up front saves copying as the chunk grows. A lone page gets its size.
    if (data.size() >= kRunBytes && data.size() <= kChunkBytes && !spare_.empty()) {
      chunk.bytes = std::move(spare_.back());
      spare_.pop_back();
    } else {
      chunk.bytes.reserve(data.size() >= kRunBytes ? std::max(kChunkBytes, data.size()) : data.size());
    }
    chunk.bytes.assign(data.begin(), data.end());
    wake = QueueLocked(std::move(chunk));
  }
  lock.unlock();
  if (wake) work_ready_.notify_one();
  return Status::Ok();
}

Status WriteBehindFile::WriteBuffer(uint64_t offset, BufferBytes& buffer) {
  // Small writes join the queue's tail, as any write does.
  if (!worker_.joinable() || buffer.size() < kRunBytes) return WritableFile::WriteBuffer(offset, buffer);
  std::unique_lock<std::mutex> lock(mu_);
  Status room = WaitForRoomLocked(lock, buffer.capacity());
  if (!room.ok()) {
    buffer.clear();  // as after any write: the caller starts anew
    return room;
  }
  BufferBytes replacement;
  if (!spare_.empty()) {
    replacement = std::move(spare_.back());
    spare_.pop_back();
  }
  const bool wake = QueueLocked(Chunk{offset, std::move(buffer)});
  buffer = std::move(replacement);
  lock.unlock();
  if (wake) work_ready_.notify_one();
  return Status::Ok();
}

Status WriteBehindFile::Read(uint64_t offset, std::span<uint8_t> out) const {
  {
    std::unique_lock<std::mutex> lock(mu_);
    PST_RETURN_IF_ERROR(DrainLocked(lock));
  }
  return base_->Read(offset, out);
}

uint64_t WriteBehindFile::Size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return size_;
}

Status WriteBehindFile::Truncate(uint64_t size) {
  std::unique_lock<std::mutex> lock(mu_);
  PST_RETURN_IF_ERROR(DrainLocked(lock));
  PST_RETURN_IF_ERROR(base_->Truncate(size));
  size_ = size;
  return Status::Ok();
}

Status WriteBehindFile::Sync() {
  {
    std::unique_lock<std::mutex> lock(mu_);
    PST_RETURN_IF_ERROR(DrainLocked(lock));
  }
  return base_->Sync();
}

}  // namespace pst::io
