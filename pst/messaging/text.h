// Text conversions: UTF-16LE (PtypString) and 8-bit strings in a Windows code
// page (PtypString8) to and from UTF-8. Code pages go through ICU.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "pst/base/bytes.h"
#include "pst/base/result.h"

namespace pst::messaging {

constexpr uint32_t kDefaultCodepage = 1252;

// UTF-16LE bytes to UTF-8; unpaired surrogates become U+FFFD. A trailing odd
// byte is ignored.
std::string Utf16LeToUtf8(ByteSpan utf16le);
Bytes Utf8ToUtf16Le(std::string_view utf8);

// The Windows code page that stores 8-bit text of a code page's script: an
// Internet code page (ISO-2022-JP, EUC, ISO-8859-x, KOI8 ...) maps to the
// Windows code page of the same script (932, 949, 125x ...); Windows code
// pages map to themselves. 0 for the Unicode encodings (UTF-8, UTF-16),
// which no 8-bit store string uses.
uint32_t WindowsCodepageFor(uint32_t codepage);

// True if ICU knows a converter for this Windows code page number.
bool IsSupportedCodepage(uint32_t codepage);

// 8-bit text in a code page to UTF-8 (undecodable bytes become U+FFFD).
Result<std::string> DecodeCodepage(ByteSpan bytes, uint32_t codepage);

struct EncodedText {
  Bytes bytes;
  size_t replaced = 0;  // characters the code page could not hold
};
// How many UTF-16LE units at the start are ASCII (below 0x80), four at a
// time while they last (most text in a store is ASCII).
size_t LeadingAsciiUnits(ByteSpan utf16le);

// UTF-16LE text to 8-bit text in a code page; characters the code page lacks
// are replaced (with the code page's substitute, usually "?") and counted.
Result<EncodedText> EncodeCodepage(ByteSpan utf16le, uint32_t codepage);

// UTF-16LE text to 8-bit text and the reverse, for the converter.
Result<Bytes> DecodeCodepageToUtf16Le(ByteSpan bytes, uint32_t codepage);

// The two conversions above, piece by piece, for text too large to hold
// whole: a character whose bytes, or a surrogate pair whose halves, fall
// into two pieces comes out as the whole conversion gives it, and so do
// stateful encodings (ISO-2022-JP), whose state carries over.
class TextPieceConverter {
 public:
  // to_utf16: 8-bit text in `codepage` to UTF-16LE (as
  // DecodeCodepageToUtf16Le); else UTF-16LE to 8-bit (as EncodeCodepage).
  static Result<TextPieceConverter> Open(bool to_utf16, uint32_t codepage);
  TextPieceConverter(TextPieceConverter&&) noexcept;
  TextPieceConverter& operator=(TextPieceConverter&&) noexcept;
  ~TextPieceConverter();

  // Appends the next piece's conversion to *out; `last` ends the text (what
  // the converter held back is written; an odd trailing UTF-16 byte is
  // dropped).
  Status Convert(ByteSpan piece, bool last, Bytes* out);
  // Starts a new text.
  void Reset();
  // Characters the code page lacked so far (UTF-16 to 8-bit only).
  size_t replaced() const;

 private:
  struct State;
  explicit TextPieceConverter(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace pst::messaging
