// A string value too large to convert in memory, converted between the
// formats while it is streamed into the target: the source is read in
// pieces and each piece converted, so neither the value nor its conversion
// is ever held whole.
//
// The converted size must be known before the writer starts (a value's
// size goes into its node), so the value is read twice: Open converts it
// once to measure it (and to count the characters the target code page
// lacks); the writer then reads the conversion from offset 0 upward, and
// the value is converted again as it asks.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "pst/base/result.h"
#include "pst/ltp/value_stream.h"
#include "pst/messaging/text.h"

namespace pst::convert {

// Source values at least this large are converted in pieces.
constexpr uint64_t kConvertInPieces = 1 << 20;

class ConvertedString final : public ltp::ValueStream {
 public:
  // to_unicode: 8-bit text in `codepage` to UTF-16LE, else the reverse.
  // Errors reading or converting the source come from here, before anything
  // is written. piece_size (the bytes read from the source at a time) is
  // small in tests, to put piece boundaries everywhere.
  static Result<std::shared_ptr<ConvertedString>> Open(std::shared_ptr<ltp::ValueStream> source, bool to_unicode,
                                                       uint32_t codepage, size_t piece_size = 64 * 1024);

  uint64_t size() const override { return size_; }
  uint64_t replaced() const { return replaced_; }
  // The converted bytes at offset; reads must follow each other from 0
  // (a read at 0 starts over), as the writer makes them.
  Status Read(uint64_t offset, std::span<uint8_t> out) const override;

 private:
  ConvertedString(std::shared_ptr<ltp::ValueStream> source, messaging::TextPieceConverter converter,
                  size_t piece_size);
  // Converts the next source piece onto buffer_.
  Status NextPiece() const;

  std::shared_ptr<ltp::ValueStream> source_;
  size_t piece_size_;
  uint64_t size_ = 0;
  uint64_t replaced_ = 0;
  // The read in progress (reads change it, hence mutable): the source is
  // converted up to source_at_; buffer_[taken_..] is converted and not yet
  // read, and buffer_ starts at output offset out_at_.
  mutable messaging::TextPieceConverter converter_;
  mutable uint64_t source_at_ = 0;
  mutable uint64_t out_at_ = 0;
  mutable Bytes buffer_;
  mutable size_t taken_ = 0;
  mutable Bytes piece_;
};

}  // namespace pst::convert
