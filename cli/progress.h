// The live progress line of quillmar-cli convert on a terminal: the share
// of the sources' bytes done, MB/s and the time left, redrawn in place on
// stderr a few times a second. Lines printed meanwhile go above it.
//
// A source's bytes are "done" once the conversion has read them: its file
// is read through a CoverageFile, which counts each 64 KiB piece the first
// time any of it is read. Space the store does not use is never read, so a
// store's remainder is counted when it is finished.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pst/io/file.h"

namespace quillmar::cli {

class ProgressLine {
 public:
  // `live`: draw the line (stderr is a terminal and --quiet not given).
  ProgressLine(bool live, uint64_t total_bytes, size_t total_stores);
  ~ProgressLine();

  void AddBytes(uint64_t bytes);
  void StoreFinished() { ++stores_done_; }
  // Redraws the line when it is due; cheap to call often, from any thread.
  void Tick();
  // Prints `text` (ending in "\n") to stderr above the line.
  void Print(const std::string& text);
  // Removes the line.
  void Clear();

  // "42% of 1.2 GB, 35.0 MB/s, 0:25 left" (the stores part for batches).
  std::string Text() const;

 private:
  void DrawLocked();

  const bool live_;
  const uint64_t total_bytes_;
  const size_t total_stores_;
  const std::chrono::steady_clock::time_point start_;
  std::atomic<uint64_t> done_bytes_{0};
  std::atomic<size_t> stores_done_{0};
  std::atomic<int64_t> next_draw_ms_{0};
  std::mutex mu_;
  bool drawn_ = false;
};

// A source file that tells `progress` how much of it has been read.
class CoverageFile : public pst::io::RandomAccessFile {
 public:
  CoverageFile(std::unique_ptr<pst::io::RandomAccessFile> file, ProgressLine* progress);

  pst::Status Read(uint64_t offset, std::span<uint8_t> out) const override;
  uint64_t Size() const override { return file_->Size(); }
  std::string Name() const override { return file_->Name(); }
  // Counts what was never read, at the end of the store's conversion.
  void Finish();

 private:
  static constexpr uint64_t kPiece = 64 * 1024;

  std::unique_ptr<pst::io::RandomAccessFile> file_;
  ProgressLine* progress_;
  mutable std::mutex mu_;
  mutable std::vector<bool> seen_;  // one bit per piece: 2 KiB per GiB of file
  mutable uint64_t counted_ = 0;
};

}  // namespace quillmar::cli
