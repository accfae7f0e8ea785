#include "pst/convert/converted_string.h"

#include <algorithm>
#include <string>

namespace pst::convert {

ConvertedString::ConvertedString(std::shared_ptr<ltp::ValueStream> source, messaging::TextPieceConverter converter,
                                 size_t piece_size)
    : source_(std::move(source)), piece_size_(std::max<size_t>(piece_size, 1)), converter_(std::move(converter)) {}

Result<std::shared_ptr<ConvertedString>> ConvertedString::Open(std::shared_ptr<ltp::ValueStream> source,
                                                               bool to_unicode, uint32_t codepage,
                                                               size_t piece_size) {
  PST_ASSIGN_OR_RETURN(auto converter, messaging::TextPieceConverter::Open(to_unicode, codepage));
  std::shared_ptr<ConvertedString> s(new ConvertedString(std::move(source), std::move(converter), piece_size));
  while (s->source_at_ < s->source_->size()) {
    PST_RETURN_IF_ERROR(s->NextPiece());
    s->size_ += s->buffer_.size();
    s->buffer_.clear();
  }
  if (s->source_->size() == 0) PST_RETURN_IF_ERROR(s->NextPiece());
  s->size_ += s->buffer_.size();
  s->replaced_ = s->converter_.replaced();
  // Ready for the writer's first read.
  s->source_at_ = s->out_at_ = s->taken_ = 0;
  s->buffer_.clear();
  s->converter_.Reset();
  return s;
}

Status ConvertedString::NextPiece() const {
  const uint64_t total = source_->size();
  const size_t n = static_cast<size_t>(std::min<uint64_t>(piece_size_, total - source_at_));
  piece_.resize(n);
  PST_RETURN_IF_ERROR(source_->Read(source_at_, piece_));
  source_at_ += n;
  return converter_.Convert(piece_, source_at_ == total, &buffer_);
}

Status ConvertedString::Read(uint64_t offset, std::span<uint8_t> out) const {
  if (offset == 0 && out_at_ + taken_ != 0) {
    converter_.Reset();
    source_at_ = out_at_ = taken_ = 0;
    buffer_.clear();
  }
  if (offset != out_at_ + taken_ || offset + out.size() > size_) {
    return Status::InvalidArgument("converted string: a read of " + std::to_string(out.size()) + " bytes at " +
                                   std::to_string(offset) + " does not follow the last one (at " +
                                   std::to_string(out_at_ + taken_) + " of " + std::to_string(size_) + ")");
  }
  size_t filled = 0;
  while (filled < out.size()) {
    if (taken_ == buffer_.size()) {
      out_at_ += buffer_.size();
      buffer_.clear();
      taken_ = 0;
      if (source_at_ >= source_->size()) {
        return Status::Corruption("converted string: the value converted to fewer bytes than the first time");
      }
      PST_RETURN_IF_ERROR(NextPiece());
      continue;
    }
    const size_t n = std::min(out.size() - filled, buffer_.size() - taken_);
    std::copy_n(buffer_.begin() + static_cast<ptrdiff_t>(taken_), n, out.begin() + static_cast<ptrdiff_t>(filled));
    taken_ += n;
    filled += n;
  }
  return Status::Ok();
}

}  // namespace pst::convert
