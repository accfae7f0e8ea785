// ByteReader: bounds-checked little-endian reading of a byte span. Every read
// of file bytes goes through it; a read past the end sets a sticky failure
// instead of touching memory outside the span.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "pst/base/bytes.h"
#include "pst/base/coding.h"

namespace pst {

class ByteReader {
 public:
  explicit ByteReader(ByteSpan data) : data_(data) {}

  size_t size() const { return data_.size(); }
  size_t position() const { return pos_; }
  size_t remaining() const { return data_.size() - pos_; }
  bool ok() const { return ok_; }

  // Moves to an absolute position; fails if it is past the end.
  bool Seek(size_t pos) {
    if (pos > data_.size()) return Fail();
    pos_ = pos;
    return true;
  }
  bool Skip(size_t n) {
    if (n > remaining()) return Fail();
    pos_ += n;
    return true;
  }

  uint8_t U8() { return Has(1) ? data_[pos_++] : 0; }
  uint16_t U16() { return Take<uint16_t>(2, DecodeFixed16); }
  uint32_t U32() { return Take<uint32_t>(4, DecodeFixed32); }
  uint64_t U64() { return Take<uint64_t>(8, DecodeFixed64); }
  // 4 or 8 bytes, widened: the ANSI and Unicode sizes of one field.
  uint64_t U32or64(bool wide) { return wide ? U64() : U32(); }

  // A view of the next n bytes, or an empty span (and failure) if short.
  ByteSpan Span(size_t n) {
    if (!Has(n)) return {};
    ByteSpan s = data_.subspan(pos_, n);
    pos_ += n;
    return s;
  }

 private:
  bool Has(size_t n) {
    if (!ok_ || n > remaining()) return Fail();
    return true;
  }
  bool Fail() {
    ok_ = false;
    return false;
  }
  template <typename T, typename F>
  T Take(size_t n, F decode) {
    if (!Has(n)) return 0;
    T v = decode(data_.data() + pos_);
    pos_ += n;
    return v;
  }

  ByteSpan data_;
  size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace pst
