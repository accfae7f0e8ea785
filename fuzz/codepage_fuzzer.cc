// libFuzzer target: text between the formats: 8-bit strings in a code page
// and UTF-16LE strings, single and multi-valued, through the converter and
// the text functions beneath it.
//
// Input: code page selector (1 byte), what to convert (1 byte: bit 0 the
// value is UTF-16LE rather than 8-bit, bit 1 multi-valued), then the
// stored value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "pst/base/coding.h"
#include "pst/convert/property_converter.h"
#include "pst/messaging/text.h"

namespace {

using namespace pst;

// Code pages 8-bit store strings are found in, single- and multi-byte,
// plus Internet code pages and ones no store string uses.
constexpr uint32_t kCodepages[] = {1252, 1250, 1251, 1253, 1254, 1255, 1256, 1257, 1258, 874,
                                   932,  936,  949,  950,  20127, 28591, 28592, 20866, 21866,
                                   50220, 50221, 51932, 51949, 52936, 54936, 65001, 1200, 0};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t selector = data[0];
  const uint8_t what = data[1];
  const ByteSpan value(data + 2, size - 2);
  const size_t count = sizeof(kCodepages) / sizeof(kCodepages[0]);
  // Selectors past the list take a raw code page from the value's first bytes.
  uint32_t codepage = kCodepages[selector % count];
  if (selector >= 0xF0 && value.size() >= 2) codepage = DecodeFixed16(value.data());

  const bool wide = (what & 1) != 0;
  const bool multi = (what & 2) != 0;
  uint16_t type = wide ? ltp::kPtypString : ltp::kPtypString8;
  if (multi) type = wide ? ltp::kPtypMultipleString : ltp::kPtypMultipleString8;
  const ltp::PropTag tag = ltp::MakeTag(0x0037, type);

  convert::ConversionCounters counters;
  // Into the other format, and into the same one (which copies or checks).
  for (bool unicode_target : {true, false}) {
    convert::PropertyConverter converter(unicode_target, nullptr, nullptr, &counters);
    (void)converter.TargetTag(tag);
    (void)converter.ConvertValue(tag, value, codepage);
  }
  (void)messaging::WindowsCodepageFor(codepage);
  if (wide) {
    const std::string utf8 = messaging::Utf16LeToUtf8(value);
    const Bytes again = messaging::Utf8ToUtf16Le(utf8);
    // UTF-8 made from UTF-16 always converts back to whole UTF-16 units.
    if (again.size() % 2 != 0) std::abort();
    (void)messaging::EncodeCodepage(value, codepage);
  } else {
    (void)messaging::DecodeCodepage(value, codepage);
    (void)messaging::DecodeCodepageToUtf16Le(value, codepage);
  }
  return 0;
}
