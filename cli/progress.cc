#include "cli/progress.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace quillmar::cli {
namespace {

constexpr int64_t kRedrawMs = 200;

std::string Size(double bytes) {
  char buf[32];
  if (bytes >= 1e9) {
    std::snprintf(buf, sizeof buf, "%.1f GB", bytes / 1e9);
  } else {
    std::snprintf(buf, sizeof buf, "%.1f MB", bytes / 1e6);
  }
  return buf;
}

std::string Duration(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char buf[32];
  if (s >= 3600) {
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  }
  return buf;
}

}  // namespace

ProgressLine::ProgressLine(bool live, uint64_t total_bytes, size_t total_stores)
    : live_(live), total_bytes_(total_bytes), total_stores_(total_stores), start_(std::chrono::steady_clock::now()) {}

ProgressLine::~ProgressLine() { Clear(); }

void ProgressLine::AddBytes(uint64_t bytes) { done_bytes_ += bytes; }

std::string ProgressLine::Text() const {
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const uint64_t done = std::min(done_bytes_.load(), total_bytes_);
  const double share = total_bytes_ ? static_cast<double>(done) / static_cast<double>(total_bytes_) : 1.0;
  char buf[160];
  std::snprintf(buf, sizeof buf, "%3d%% of %s", static_cast<int>(share * 100), Size(static_cast<double>(total_bytes_)).c_str());
  std::string text = buf;
  if (elapsed >= 0.5 && done > 0) {  // a rate from less is mostly noise
    const double rate = static_cast<double>(done) / elapsed;
    std::snprintf(buf, sizeof buf, ", %.1f MB/s, %s left", rate / 1e6,
                  Duration(static_cast<double>(total_bytes_ - done) / rate).c_str());
    text += buf;
  }
  if (total_stores_ > 1) {
    text += ", " + std::to_string(stores_done_.load()) + " of " + std::to_string(total_stores_) + " stores";
  }
  return text;
}

void ProgressLine::Tick() {
  if (!live_) return;
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start_).count();
  if (now < next_draw_ms_.load(std::memory_order_relaxed)) return;
  std::unique_lock<std::mutex> lock(mu_, std::try_to_lock);
  if (!lock.owns_lock()) return;
  next_draw_ms_ = now + kRedrawMs;
  DrawLocked();
}

void ProgressLine::DrawLocked() {
  // \r and "erase to end of line" redraw in place on any terminal.
  std::cerr << "\r" << Text() << "\033[K" << std::flush;
  drawn_ = true;
}

void ProgressLine::Print(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  if (drawn_) std::cerr << "\r\033[K";
  std::cerr << text << std::flush;
  if (drawn_) DrawLocked();
}

void ProgressLine::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  if (drawn_) std::cerr << "\r\033[K" << std::flush;
  drawn_ = false;
}

CoverageFile::CoverageFile(std::unique_ptr<pst::io::RandomAccessFile> file, ProgressLine* progress)
    : file_(std::move(file)), progress_(progress), seen_(static_cast<size_t>((file_->Size() + kPiece - 1) / kPiece)) {}

pst::Status CoverageFile::Read(uint64_t offset, std::span<uint8_t> out) const {
  pst::Status status = file_->Read(offset, out);
  if (!status.ok() || out.empty()) return status;
  uint64_t added = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const uint64_t last = std::min<uint64_t>((offset + out.size() - 1) / kPiece, seen_.size() - 1);
    for (uint64_t piece = offset / kPiece; piece <= last; ++piece) {
      if (seen_[piece]) continue;
      seen_[piece] = true;
      added += std::min(kPiece, file_->Size() - piece * kPiece);
    }
    counted_ += added;
  }
  if (added) {
    progress_->AddBytes(added);
    progress_->Tick();
  }
  return status;
}

void CoverageFile::Finish() {
  std::lock_guard<std::mutex> lock(mu_);
  const uint64_t size = file_->Size();
  if (counted_ < size) progress_->AddBytes(size - counted_);
  counted_ = size;
}

}  // namespace quillmar::cli
