#include "pst/messaging/text.h"
#include "pst/testing/status_matchers.h"

#include <gtest/gtest.h>

namespace pst::messaging {
namespace {

Bytes B(std::initializer_list<uint8_t> v) { return Bytes(v); }

TEST(Text, Utf16LeToUtf8HandlesSurrogatesAndBrokenInput) {
  EXPECT_EQ(Utf16LeToUtf8(B({'A', 0, 0xE9, 0})), "A\xC3\xA9");
  // U+1F600 as a surrogate pair.
  EXPECT_EQ(Utf16LeToUtf8(B({0x3D, 0xD8, 0x00, 0xDE})), "\xF0\x9F\x98\x80");
  // A lone high surrogate and a trailing odd byte.
  EXPECT_EQ(Utf16LeToUtf8(B({0x3D, 0xD8, 'x', 0, 0x41})), "\xEF\xBF\xBDx");
  EXPECT_EQ(Utf8ToUtf16Le("A\xC3\xA9"), B({'A', 0, 0xE9, 0}));
}

TEST(Text, DecodesJapaneseAndWesternCodePages) {
  // "日本" in Shift-JIS (code page 932).
  auto jp = DecodeCodepage(B({0x93, 0xFA, 0x96, 0x7B}), 932);
  ASSERT_OK(jp);
  EXPECT_EQ(*jp, "\xE6\x97\xA5\xE6\x9C\xAC");
  auto euro = DecodeCodepage(B({0x80}), 1252);
  ASSERT_OK(euro);
  EXPECT_EQ(*euro, "\xE2\x82\xAC");
  EXPECT_FALSE(DecodeCodepage(B({0x41}), 12345).ok());
  EXPECT_TRUE(IsSupportedCodepage(65001));
  EXPECT_TRUE(IsSupportedCodepage(28591));
}

TEST(Text, EncodingCountsCharactersTheCodePageLacks) {
  // "é日?" to 1252: é maps, 日 does not, a real "?" is not counted as replaced.
  Bytes utf16 = Utf8ToUtf16Le("\xC3\xA9\xE6\x97\xA5?");
  auto western = EncodeCodepage(utf16, 1252);
  ASSERT_OK(western);
  EXPECT_EQ(western->replaced, 1u);
  ASSERT_EQ(western->bytes.size(), 3u);
  EXPECT_EQ(western->bytes[0], 0xE9);
  EXPECT_EQ(western->bytes[1], '?');
  // The same text fits code page 932 except é, which Shift-JIS lacks.
  auto japanese = EncodeCodepage(utf16, 932);
  ASSERT_OK(japanese);
  EXPECT_EQ(japanese->replaced, 1u);
  // A character outside the BMP counts once.
  auto emoji = EncodeCodepage(Utf8ToUtf16Le("\xF0\x9F\x98\x80"), 1252);
  ASSERT_OK(emoji);
  EXPECT_EQ(emoji->replaced, 1u);
}

// Converters are kept between calls: nothing of one string reaches the next,
// not a count, not the shift state of ISO-2022-JP.
TEST(Text, EachConversionStartsAfresh) {
  ASSERT_OK(EncodeCodepage(Utf8ToUtf16Le("\xE6\x97\xA5"), 1252));
  auto clean = EncodeCodepage(Utf8ToUtf16Le("abc"), 1252);
  ASSERT_OK(clean);
  EXPECT_EQ(clean->replaced, 0u);
  ASSERT_TRUE(IsSupportedCodepage(50220));
  ASSERT_OK(EncodeCodepage(Utf8ToUtf16Le("\xE6\x97\xA5"), 50220));  // shifts into JIS X 0208
  auto ascii = EncodeCodepage(Utf8ToUtf16Le("a"), 50220);
  ASSERT_OK(ascii);
  EXPECT_EQ(ascii->bytes, B({'a'}));
  // A decode cut inside an escape sequence, then a whole one.
  (void)DecodeCodepage(B({0x1B, 0x24}), 50220);  // may fail; must leave nothing behind
  auto plain = DecodeCodepage(B({'x', 'y'}), 50220);
  ASSERT_OK(plain);
  EXPECT_EQ(*plain, "xy");
}

// Text of ASCII bytes alone is not always ASCII text: in encodings with
// shift states, and in EBCDIC, the same bytes mean other characters.
TEST(Text, AsciiBytesMeanWhatTheEncodingSays) {
  auto hz = DecodeCodepage(B({'~', '{', 'V', 'P', '~', '}'}), 52936);  // HZ: U+4E2D
  ASSERT_OK(hz);
  EXPECT_EQ(*hz, "\xE4\xB8\xAD");
  auto jis = DecodeCodepageToUtf16Le(B({0x1B, '$', 'B', 'F', '|', 0x1B, '(', 'B'}), 50220);  // U+65E5
  ASSERT_OK(jis);
  EXPECT_EQ(*jis, B({0xE5, 0x65}));
  ASSERT_TRUE(IsSupportedCodepage(37));  // EBCDIC: 0xC1 is "A", 0x41 a no-break space
  auto ebcdic = DecodeCodepage(B({0xC1, 0x41}), 37);
  ASSERT_OK(ebcdic);
  EXPECT_EQ(*ebcdic, "A\xC2\xA0");
  auto to_ebcdic = EncodeCodepage(Utf8ToUtf16Le("A"), 37);
  ASSERT_OK(to_ebcdic);
  EXPECT_EQ(to_ebcdic->bytes, B({0xC1}));
  // Text that starts in ASCII and goes on in other characters.
  auto mixed = EncodeCodepage(Utf8ToUtf16Le("Re: \xE6\x97\xA5\xE6\x9C\xAC ok"), 932);
  ASSERT_OK(mixed);
  EXPECT_EQ(mixed->bytes, B({'R', 'e', ':', ' ', 0x93, 0xFA, 0x96, 0x7B, ' ', 'o', 'k'}));
  auto back = DecodeCodepage(mixed->bytes, 932);
  ASSERT_OK(back);
  EXPECT_EQ(*back, "Re: \xE6\x97\xA5\xE6\x9C\xAC ok");
  auto lossy = EncodeCodepage(Utf8ToUtf16Le("Re: \xC3\xA9\xE6\x97\xA5"), 1252);
  ASSERT_OK(lossy);
  EXPECT_EQ(lossy->bytes, B({'R', 'e', ':', ' ', 0xE9, '?'}));
  EXPECT_EQ(lossy->replaced, 1u);
  // And in the Windows code pages they are themselves, both ways.
  for (uint32_t codepage : {874u, 932u, 936u, 949u, 950u, 1250u, 1252u, 1258u}) {
    auto narrow = EncodeCodepage(Utf8ToUtf16Le("Re: \\x~"), codepage);
    ASSERT_OK(narrow);
    EXPECT_EQ(narrow->bytes, B({'R', 'e', ':', ' ', '\\', 'x', '~'})) << codepage;
    auto wide = DecodeCodepageToUtf16Le(narrow->bytes, codepage);
    ASSERT_OK(wide);
    EXPECT_EQ(*wide, Utf8ToUtf16Le("Re: \\x~")) << codepage;
  }
}

}  // namespace
}  // namespace pst::messaging
