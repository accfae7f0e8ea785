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

}  // namespace
}  // namespace pst::messaging
