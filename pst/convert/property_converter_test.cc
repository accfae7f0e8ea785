#include "pst/convert/property_converter.h"

#include <gtest/gtest.h>

#include <cstring>

#include "pst/base/coding.h"
#include "pst/messaging/text.h"
#include "pst/testing/status_matchers.h"

namespace pst::convert {
namespace {

using messaging::NamedProperty;

// A target map that hands out ids in order of first use.
class FakeTargetMap : public NamedPropertyMapper {
 public:
  Result<uint16_t> TargetId(const NamedProperty& name) override {
    for (size_t i = 0; i < names_.size(); ++i) {
      if (names_[i] == name) return static_cast<uint16_t>(0x8000 + i);
    }
    names_.push_back(name);
    return static_cast<uint16_t>(0x8000 + names_.size() - 1);
  }
  std::vector<NamedProperty> names_;
};

Bytes Ascii(const char* s) { return Bytes(s, s + std::strlen(s)); }

Bytes MultiValue(const std::vector<Bytes>& items) {
  Bytes out(4 + 4 * items.size());
  EncodeFixed32(out.data(), static_cast<uint32_t>(items.size()));
  for (size_t i = 0; i < items.size(); ++i) {
    EncodeFixed32(out.data() + 4 + 4 * i, static_cast<uint32_t>(out.size()));
    out.insert(out.end(), items[i].begin(), items[i].end());
  }
  return out;
}

TEST(PropertyConverter, AnsiToUnicodeDecodesWithTheObjectsCodePage) {
  ConversionCounters counters;
  PropertyConverter to_unicode(true, nullptr, nullptr, &counters);
  const ltp::PropTag subject8 = ltp::MakeTag(0x0037, ltp::kPtypString8);
  EXPECT_EQ(*to_unicode.TargetTag(subject8), ltp::MakeTag(0x0037, ltp::kPtypString));
  // "日本" in Shift-JIS.
  const Bytes sjis = {0x93, 0xFA, 0x96, 0x7B};
  auto value = to_unicode.ConvertValue(subject8, sjis, 932);
  ASSERT_OK(value);
  EXPECT_EQ(*value, messaging::Utf8ToUtf16Le("日本"));
  EXPECT_EQ(counters.strings_converted, 1u);
}

TEST(PropertyConverter, UnicodeToAnsiReplacesAndCountsMissingCharacters) {
  ConversionCounters counters;
  PropertyConverter to_ansi(false, nullptr, nullptr, &counters);
  const ltp::PropTag subject = ltp::MakeTag(0x0037, ltp::kPtypString);
  auto value = to_ansi.ConvertValue(subject, messaging::Utf8ToUtf16Le("Grüße 日本"), 1252);
  ASSERT_OK(value);
  EXPECT_EQ(value->size(), 8u);
  EXPECT_EQ((*value)[2], 0xFC);  // ü in 1252
  EXPECT_EQ(counters.characters_replaced, 2u);
}

TEST(PropertyConverter, MultiValuedStringsConvertItemByItem) {
  PropertyConverter to_unicode(true, nullptr, nullptr, nullptr);
  const ltp::PropTag keywords8 = ltp::MakeTag(0x8001, ltp::kPtypMultipleString8);
  const Bytes source = MultiValue({Ascii("red"), Ascii(""), Ascii("blue")});
  auto value = to_unicode.ConvertValue(keywords8, source, 1252);
  ASSERT_OK(value);
  EXPECT_EQ(*value, MultiValue({messaging::Utf8ToUtf16Le("red"), {}, messaging::Utf8ToUtf16Le("blue")}));
  // And back again, byte for byte.
  PropertyConverter to_ansi(false, nullptr, nullptr, nullptr);
  auto back = to_ansi.ConvertValue(ltp::MakeTag(0x8001, ltp::kPtypMultipleString), *value, 1252);
  ASSERT_OK(back);
  EXPECT_EQ(*back, source);
  // Offsets pointing outside the value are refused, not followed.
  Bytes broken = source;
  EncodeFixed32(broken.data() + 8, 0xFFFF);
  EXPECT_FALSE(to_unicode.ConvertValue(keywords8, broken, 1252).ok());
}

TEST(PropertyConverter, NonStringValuesPassThroughUnchanged) {
  PropertyConverter to_ansi(false, nullptr, nullptr, nullptr);
  const Bytes blob = {0, 1, 2, 0xFF, 0xFE};
  for (uint16_t type : {ltp::kPtypBinary, ltp::kPtypInteger32, ltp::kPtypTime, ltp::kPtypGuid}) {
    const ltp::PropTag tag = ltp::MakeTag(0x1234, type);
    EXPECT_FALSE(to_ansi.NeedsValueConversion(tag));
    EXPECT_EQ(*to_ansi.TargetTag(tag), tag);
    EXPECT_EQ(*to_ansi.ConvertValue(tag, blob, 1252), blob);
  }
}

TEST(PropertyConverter, NamedPropertiesGetTheTargetMapsIds) {
  NamedProperty numeric;
  numeric.guid = {0x02, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
  numeric.lid = 0x8205;
  NamedProperty keywords;
  keywords.guid = messaging::kPsPublicStrings;
  keywords.is_string = true;
  keywords.name_utf16 = messaging::Utf8ToUtf16Le("Keywords");
  const messaging::NameMap source = messaging::NameMap::FromEntries({numeric, keywords});
  FakeTargetMap target;
  ConversionCounters counters;
  PropertyConverter converter(true, &source, &target, &counters);

  // The target numbers names in its own order; the name, not the number, carries over.
  EXPECT_EQ(*converter.TargetTag(ltp::MakeTag(0x8001, ltp::kPtypMultipleString8)),
            ltp::MakeTag(0x8000, ltp::kPtypMultipleString));
  EXPECT_EQ(*converter.TargetTag(ltp::MakeTag(0x8000, ltp::kPtypInteger32)),
            ltp::MakeTag(0x8001, ltp::kPtypInteger32));
  EXPECT_EQ(*converter.TargetTag(ltp::MakeTag(0x8001, ltp::kPtypString8)),
            ltp::MakeTag(0x8000, ltp::kPtypString));
  ASSERT_EQ(target.names_.size(), 2u);
  EXPECT_EQ(target.names_[0], keywords);
  EXPECT_EQ(counters.named_properties_mapped, 3u);
  // A named id the source map does not know is reported, not guessed.
  EXPECT_TRUE(converter.TargetTag(ltp::MakeTag(0x8003, ltp::kPtypInteger32)).status().IsNotFound());
  // Ordinary ids are never remapped.
  EXPECT_EQ(*converter.TargetTag(ltp::MakeTag(0x7FFF, ltp::kPtypBoolean)),
            ltp::MakeTag(0x7FFF, ltp::kPtypBoolean));
}

}  // namespace
}  // namespace pst::convert
