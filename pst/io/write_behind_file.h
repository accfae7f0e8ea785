// A file whose writes go to the disk on a worker thread: Write() copies the
// bytes into a bounded queue and returns, so the caller makes the next
// blocks while the kernel copies the last ones into the page cache (most of
// a conversion's system time). Adjacent writes are joined on the queue, so
// the base file sees fewer, larger writes. The worker leaves the queue's
// last chunk alone while it may still grow and takes the others several at
// a time, so the two threads seldom meet on the lock.
//
// The caller sees the file as if every write had happened: Read(),
// Truncate() and Sync() first wait until the queue is empty, and Size()
// counts queued bytes. The base file is used by one thread at a time (the
// worker, or the caller once the queue is empty), so it needs no locking of
// its own.
//
// A failed write is kept and returned by the next call that can fail
// (Write, Read, Truncate, Sync, Flush); after it the file takes no more
// writes. Every Sync() waits for the queue, so a commit that syncs learns
// of a failed write of its own before it ends.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pst/io/file.h"

namespace pst::io {

class WriteBehindFile : public WritableFile {
 public:
  static constexpr size_t kDefaultQueueBytes = size_t{4} << 20;

  // Writes past `queue_bytes` waiting wait for the worker.
  explicit WriteBehindFile(std::shared_ptr<WritableFile> base, size_t queue_bytes = kDefaultQueueBytes);
  // Waits for the queue; a failure then is lost (call Flush() to see it).
  ~WriteBehindFile() override;

  WriteBehindFile(const WriteBehindFile&) = delete;
  WriteBehindFile& operator=(const WriteBehindFile&) = delete;

  Status Read(uint64_t offset, std::span<uint8_t> out) const override;
  uint64_t Size() const override;
  std::string Name() const override { return name_; }
  Status Write(uint64_t offset, ByteSpan data) override;
  Status WriteBuffer(uint64_t offset, BufferBytes& buffer) override;
  Status Truncate(uint64_t size) override;
  Status Sync() override;

  // Waits until every write so far has reached the base file; the first
  // failure, if any.
  Status Flush() const;

 private:
  struct Chunk {
    uint64_t offset;
    BufferBytes bytes;
  };
  // A chunk grows by adjacent writes up to this size; a write of at least
  // kRunBytes starts a chunk with room for it all.
  static constexpr size_t kChunkBytes = size_t{1} << 20;
  static constexpr size_t kRunBytes = size_t{64} << 10;
  static constexpr size_t kSpareChunks = 2;

  void Work();
  // With mu_ held: waits for room for `bytes` on the queue; the failure, if any.
  Status WaitForRoomLocked(std::unique_lock<std::mutex>& lock, size_t bytes);
  // With mu_ held: queues `chunk` and says whether to wake the worker.
  bool QueueLocked(Chunk chunk);
  // With mu_ held: whether the worker sleeps while enough waits for it.
  bool WakeWorkerLocked() const {
    return worker_idle_ && (callers_waiting_ > 0 || ReadyBytesLocked() >= wake_bytes_);
  }
  // With mu_ held: how many queued chunks the worker may take now.
  size_t ClosedChunksLocked() const { return queue_.size() - (tail_open_ ? 1 : 0); }
  // With mu_ held: the queued bytes the worker may take now.
  size_t ReadyBytesLocked() const {
    return tail_open_ ? queued_bytes_ - queue_.back().bytes.capacity() : queued_bytes_;
  }
  // With mu_ held: waits until the worker is idle and the queue empty.
  Status DrainLocked(std::unique_lock<std::mutex>& lock) const;
  // With mu_ held: waits on work_done_ until `ready`, which holds once no
  // more than `wake_at_bytes` are queued (if not sooner).
  template <typename Ready>
  void WaitForWorker(std::unique_lock<std::mutex>& lock, size_t wake_at_bytes, Ready ready) const {
    if (ready()) return;  // no wake-up: most writes find room
    tail_open_ = false;  // whatever waits may wait for the tail too
    if (worker_idle_ && !queue_.empty()) work_ready_.notify_one();  // bytes below wake_bytes_
    wake_at_bytes_ = callers_waiting_ == 0 ? wake_at_bytes : std::max(wake_at_bytes_, wake_at_bytes);
    ++callers_waiting_;
    work_done_.wait(lock, ready);
    --callers_waiting_;
  }

  const std::shared_ptr<WritableFile> base_;
  const std::string name_;
  const size_t queue_bytes_;
  // A sleeping worker is woken once this much is queued (or someone waits):
  // waking it for every small write cost more than the writes.
  const size_t wake_bytes_;

  mutable std::mutex mu_;
  mutable std::condition_variable work_ready_;  // to the worker: a chunk is queued, or stop
  mutable std::condition_variable work_done_;   // to the caller: a chunk was written
  std::deque<Chunk> queue_;  // the chunks being written are off it
  std::vector<BufferBytes> spare_;  // empty, kChunkBytes of room each
  // Written chunks' buffers, freed by the caller that allocated them: a
  // free on the worker would contend for the caller's malloc arena.
  std::vector<BufferBytes> retired_;
  size_t queued_bytes_ = 0;
  bool writing_ = false;
  bool stop_ = false;
  // Who sleeps on the condition variables: a wake-up is a system call, so
  // only a sleeper is woken.
  bool worker_idle_ = false;
  // Whether the queue's last chunk may still grow by adjacent writes; the
  // worker takes it only once it is closed (by a write elsewhere, by being
  // full, or by someone waiting for the queue).
  mutable bool tail_open_ = false;
  mutable int callers_waiting_ = 0;
  mutable size_t wake_at_bytes_ = 0;  // the worker wakes the callers at this many queued bytes
  Status failure_;
  uint64_t size_;

  std::thread worker_;
};

}  // namespace pst::io
