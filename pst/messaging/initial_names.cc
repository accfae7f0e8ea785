#include "pst/messaging/initial_names.h"

#include <string>

#include "pst/base/coding.h"
#include "pst/messaging/text.h"

namespace pst::messaging {
namespace {

// "{00062002-0000-0000-C000-000000000046}" as stored: the first three fields
// little-endian.
Guid ParseGuid(const char* text) {
  auto hex = [&](int at, int digits) {
    return static_cast<uint32_t>(std::stoul(std::string(text + at, digits), nullptr, 16));
  };
  Guid g{};
  EncodeFixed32(g.data(), hex(1, 8));
  EncodeFixed16(g.data() + 4, static_cast<uint16_t>(hex(10, 4)));
  EncodeFixed16(g.data() + 6, static_cast<uint16_t>(hex(15, 4)));
  g[8] = static_cast<uint8_t>(hex(20, 2));
  g[9] = static_cast<uint8_t>(hex(22, 2));
  for (int i = 0; i < 6; ++i) g[10 + i] = static_cast<uint8_t>(hex(25 + 2 * i, 2));
  return g;
}

NamedProperty Numeric(const char* guid, uint32_t lid) {
  NamedProperty p;
  p.guid = ParseGuid(guid);
  p.lid = lid;
  return p;
}

NamedProperty Named(const char* guid, const char* name) {
  NamedProperty p;
  p.guid = ParseGuid(guid);
  p.is_string = true;
  p.name_utf16 = Utf8ToUtf16Le(name);
  return p;
}

}  // namespace

std::vector<NamedProperty> InitialNames(bool unicode_store) {
  if (!unicode_store) {
    return {Numeric("{29F3AB56-554D-11D0-A97C-00A0C911F50A}", 0xA000),
            Numeric("{29F3AB55-554D-11D0-A97C-00A0C911F50A}", 0xA070)};
  }
  constexpr char kAppointment[] = "{00062002-0000-0000-C000-000000000046}";
  constexpr char kTask[] = "{00062003-0000-0000-C000-000000000046}";
  constexpr char kCommon[] = "{00062008-0000-0000-C000-000000000046}";
  constexpr char kLog[] = "{00062014-0000-0000-C000-000000000046}";
  constexpr char kHeaders[] = "{00020386-0000-0000-C000-000000000046}";
  constexpr char kPublicStrings[] = "{00020329-0000-0000-C000-000000000046}";
  constexpr char kMentions[] = "{41F28F13-83F4-4114-A584-EEDB5A6B0BFF}";
  return {Numeric(kAppointment, 0x8205), Numeric(kAppointment, 0x8223),
          Numeric(kAppointment, 0x8231), Numeric(kAppointment, 0x8216),
          Numeric(kAppointment, 0x820D), Numeric(kAppointment, 0x820E),
          Numeric(kAppointment, 0x8235), Numeric(kAppointment, 0x8236),
          Numeric(kAppointment, 0x8233), Named(kHeaders, "content-class"),
          Named(kPublicStrings, "DRMLicense"), Named(kHeaders, "x-cr-hashedpuzzle"),
          Named(kHeaders, "x-cr-puzzleid"), Numeric(kCommon, 0x8580),
          Numeric(kCommon, 0x8581),
          Named(kPublicStrings, "urn:schemas-microsoft-com:office:outlook#storetypeprivate"),
          Numeric(kCommon, 0x8510), Numeric(kCommon, 0x8578), Named(kMentions, "IsMentioned"),
          Named(kPublicStrings, "Keywords"), Numeric(kLog, 0x8F05), Numeric(kCommon, 0x8514),
          Numeric(kLog, 0x8F07), Numeric(kCommon, 0x8503), Numeric(kCommon, 0x85A8),
          Numeric(kCommon, 0x8502), Numeric(kTask, 0x8104), Numeric(kTask, 0x8105),
          Numeric(kTask, 0x811C), Named(kHeaders, "x-ms-exchange-organization-authdomain"),
          Named(kPublicStrings, "DoNotForward"), Numeric(kCommon, 0x8570),
          Numeric(kTask, 0x8101), Numeric(kCommon, 0x85E0), Numeric(kCommon, 0x8552)};
}

}  // namespace pst::messaging
