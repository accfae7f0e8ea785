#include "pst/convert/property_converter.h"

#include "pst/base/byte_reader.h"
#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/messaging/text.h"

namespace pst::convert {
namespace {

bool IsStringType(uint16_t type) { return type == ltp::kPtypString || type == ltp::kPtypString8; }
bool IsMultiStringType(uint16_t type) {
  return type == ltp::kPtypMultipleString || type == ltp::kPtypMultipleString8;
}

}  // namespace

PropertyConverter::PropertyConverter(bool unicode_target, const messaging::NameMap* source_names,
                                     NamedPropertyMapper* target_names, ConversionCounters* counters)
    : unicode_target_(unicode_target),
      source_names_(source_names),
      target_names_(target_names),
      counters_(counters) {}

Result<ltp::PropTag> PropertyConverter::TargetTag(ltp::PropTag source_tag) {
  uint16_t id = ltp::PropIdOf(source_tag);
  uint16_t type = ltp::PropTypeOf(source_tag);
  if (IsStringType(type)) type = unicode_target_ ? ltp::kPtypString : ltp::kPtypString8;
  if (IsMultiStringType(type)) type = unicode_target_ ? ltp::kPtypMultipleString : ltp::kPtypMultipleString8;
  if (id >= 0x8000) {
    const messaging::NamedProperty* name = source_names_ ? source_names_->Find(id) : nullptr;
    if (!name) return Status::NotFound("named property " + Hex(id) + " is not in the source's name map");
    if (!target_names_) return Status::InvalidArgument("no target name map for named property " + Hex(id));
    PST_ASSIGN_OR_RETURN(id, target_names_->TargetId(*name));
    if (counters_) ++counters_->named_properties_mapped;
  }
  return ltp::MakeTag(id, type);
}

bool PropertyConverter::NeedsValueConversion(ltp::PropTag source_tag) const {
  const uint16_t type = ltp::PropTypeOf(source_tag);
  if (type == ltp::kPtypString8 || type == ltp::kPtypMultipleString8) return unicode_target_;
  if (type == ltp::kPtypString || type == ltp::kPtypMultipleString) return !unicode_target_;
  return false;
}

Result<Bytes> PropertyConverter::ConvertValue(ltp::PropTag source_tag, ByteSpan value, uint32_t codepage) {
  const uint16_t type = ltp::PropTypeOf(source_tag);
  if (!NeedsValueConversion(source_tag)) return Bytes(value.begin(), value.end());
  if (IsStringType(type)) return ConvertString(type, value, codepage);
  return ConvertMultiString(type, value, codepage);
}

Result<Bytes> PropertyConverter::ConvertString(uint16_t source_type, ByteSpan value, uint32_t codepage) {
  if (counters_) ++counters_->strings_converted;
  if (source_type == ltp::kPtypString8) return messaging::DecodeCodepageToUtf16Le(value, codepage);
  // Unicode to 8-bit: an odd trailing byte cannot be a character; drop it.
  ByteSpan utf16 = value.first(value.size() & ~size_t{1});
  PST_ASSIGN_OR_RETURN(messaging::EncodedText text, messaging::EncodeCodepage(utf16, codepage));
  if (counters_) counters_->characters_replaced += text.replaced;
  return std::move(text.bytes);
}

// Multi-valued strings: ulCount, ulCount offsets from the value's start, then
// the strings without terminators; each ends where the next begins.
Result<Bytes> PropertyConverter::ConvertMultiString(uint16_t source_type, ByteSpan value, uint32_t codepage) {
  if (value.empty()) return Bytes();
  ByteReader r(value);
  const uint32_t count = r.U32();
  if (!r.ok() || count > (value.size() - 4) / 4) {
    return Status::Corruption("multi-valued string of " + std::to_string(value.size()) +
                              " bytes claims " + std::to_string(count) + " items");
  }
  std::vector<uint32_t> offsets(count);
  for (auto& o : offsets) o = r.U32();
  const uint16_t item_type = source_type == ltp::kPtypMultipleString8 ? ltp::kPtypString8 : ltp::kPtypString;
  std::vector<Bytes> items;
  items.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t begin = offsets[i];
    const uint64_t end = i + 1 < count ? offsets[i + 1] : value.size();
    if (begin < 4 + 4ull * count || begin > end || end > value.size()) {
      return Status::Corruption("multi-valued string item " + std::to_string(i) + " has bad offsets");
    }
    PST_ASSIGN_OR_RETURN(Bytes item, ConvertString(item_type, value.subspan(begin, end - begin), codepage));
    items.push_back(std::move(item));
  }
  Bytes out(4 + 4 * items.size());
  EncodeFixed32(out.data(), count);
  for (size_t i = 0; i < items.size(); ++i) {
    EncodeFixed32(out.data() + 4 + 4 * i, static_cast<uint32_t>(out.size()));
    out.insert(out.end(), items[i].begin(), items[i].end());
  }
  return out;
}

}  // namespace pst::convert
