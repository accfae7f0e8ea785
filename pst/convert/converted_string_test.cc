// Strings converted in pieces give what converting them whole gives, at
// every piece boundary, without ever reading more of the source at once
// than one piece.
#include "pst/convert/converted_string.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "pst/messaging/text.h"
#include "pst/testing/status_matchers.h"

namespace pst::convert {
namespace {

// A value in memory that remembers the largest read made of it.
class WatchedValue final : public ltp::ValueStream {
 public:
  explicit WatchedValue(Bytes data) : data_(std::move(data)) {}
  uint64_t size() const override { return data_.size(); }
  Status Read(uint64_t offset, std::span<uint8_t> out) const override {
    if (offset + out.size() > data_.size()) return Status::InvalidArgument("read past the end");
    largest_read = std::max(largest_read, out.size());
    std::copy_n(data_.begin() + static_cast<ptrdiff_t>(offset), out.size(), out.begin());
    return Status::Ok();
  }
  mutable size_t largest_read = 0;

 private:
  Bytes data_;
};

Bytes Utf16(std::u16string_view s) {
  Bytes b;
  for (char16_t c : s) b.insert(b.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
  return b;
}

// Reads the whole conversion the way the writer does, in `chunk`-byte reads.
Bytes ReadAll(ConvertedString& s, size_t chunk) {
  Bytes out(s.size());
  for (uint64_t at = 0; at < out.size(); at += chunk) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, out.size() - at));
    EXPECT_OK(s.Read(at, std::span<uint8_t>(out.data() + at, n)));
  }
  return out;
}

TEST(ConvertedString, PiecesGiveTheWholeConversion) {
  // Double-byte Shift-JIS (932), stateful ISO-2022-JP (50220) and accented
  // 1252 text, each read back into UTF-16; then UTF-16 with surrogate pairs
  // (which no ANSI code page holds: one "?" each) and an odd last byte.
  const std::u16string japanese = u"日本語のテキスト、ｶﾀｶﾅ and ASCII 漢字かな交じり文。";
  const std::u16string western = u"Grüße, café — 12 € naïve";
  const std::u16string astral = u"Emoji 😀 and 𝄞 clef, Grüße 日本";
  struct Case {
    bool to_unicode;
    uint32_t codepage;
    Bytes source;
  };
  std::vector<Case> cases;
  for (uint32_t cp : {932u, 50220u}) {
    auto encoded = messaging::EncodeCodepage(Utf16(japanese + japanese), cp);
    ASSERT_OK(encoded);
    cases.push_back({true, cp, encoded->bytes});
  }
  cases.push_back({true, 1252, messaging::EncodeCodepage(Utf16(western), 1252)->bytes});
  Bytes odd = Utf16(astral + astral);
  odd.push_back(0x41);
  cases.push_back({false, 1252, odd});
  cases.push_back({false, 932, Utf16(astral + japanese)});
  cases.push_back({false, 50220, Utf16(japanese + astral)});

  for (const Case& c : cases) {
    Bytes whole;
    size_t whole_replaced = 0;
    if (c.to_unicode) {
      ASSERT_OK_AND_ASSIGN(whole, messaging::DecodeCodepageToUtf16Le(c.source, c.codepage));
    } else {
      ByteSpan even = ByteSpan(c.source).first(c.source.size() & ~size_t{1});
      ASSERT_OK_AND_ASSIGN(messaging::EncodedText text, messaging::EncodeCodepage(even, c.codepage));
      whole = text.bytes;
      whole_replaced = text.replaced;
    }
    for (size_t piece : {1, 2, 3, 5, 64 * 1024}) {
      SCOPED_TRACE("code page " + std::to_string(c.codepage) + (c.to_unicode ? " to" : " from") +
                   " UTF-16, pieces of " + std::to_string(piece));
      auto source = std::make_shared<WatchedValue>(c.source);
      ASSERT_OK_AND_ASSIGN(auto converted, ConvertedString::Open(source, c.to_unicode, c.codepage, piece));
      EXPECT_EQ(converted->size(), whole.size());
      EXPECT_EQ(converted->replaced(), whole_replaced);
      EXPECT_EQ(ReadAll(*converted, 7), whole);
      EXPECT_EQ(ReadAll(*converted, 4096), whole);  // a read at 0 starts over
      EXPECT_LE(source->largest_read, piece);
    }
  }
}

TEST(ConvertedString, ReadsOutOfOrderAreRefused) {
  auto source = std::make_shared<WatchedValue>(Utf16(u"0123456789"));
  ASSERT_OK_AND_ASSIGN(auto converted, ConvertedString::Open(source, false, 1252, 4));
  ASSERT_EQ(converted->size(), 10u);
  uint8_t buffer[4];
  EXPECT_FALSE(converted->Read(2, buffer).ok());
  ASSERT_OK(converted->Read(0, buffer));
  EXPECT_FALSE(converted->Read(8, buffer).ok());  // past the end
  EXPECT_FALSE(converted->Read(5, buffer).ok());  // skips a byte
  ASSERT_OK(converted->Read(4, buffer));
  EXPECT_EQ(buffer[0], '4');
}

}  // namespace
}  // namespace pst::convert
