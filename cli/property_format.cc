#include "cli/property_format.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "pst/base/byte_reader.h"
#include "pst/messaging/property_access.h"

namespace quillmar::cli {
namespace {

constexpr size_t kMaxHexBytes = 256;

std::string Quote(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string FileTime(uint64_t ticks) {
  // 100-ns ticks since 1601-01-01.
  constexpr uint64_t kUnixEpochTicks = 116444736000000000ull;
  if (ticks < kUnixEpochTicks || ticks > 2650467743990000000ull) {
    return "filetime " + std::to_string(ticks);
  }
  std::time_t seconds = static_cast<std::time_t>((ticks - kUnixEpochTicks) / 10000000ull);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return buf;
}

std::string Scalar(uint16_t type, const uint8_t* p) {
  char buf[64];
  switch (type) {
    case pst::ltp::kPtypInteger16:
      return std::to_string(static_cast<int16_t>(pst::DecodeFixed16(p)));
    case pst::ltp::kPtypInteger32:
    case pst::ltp::kPtypErrorCode: {
      uint32_t v = pst::DecodeFixed32(p);
      std::snprintf(buf, sizeof buf, "%" PRId32 " (0x%08" PRIX32 ")", static_cast<int32_t>(v), v);
      return buf;
    }
    case pst::ltp::kPtypFloating32: {
      float f;
      uint32_t v = pst::DecodeFixed32(p);
      std::memcpy(&f, &v, 4);
      std::snprintf(buf, sizeof buf, "%g", f);
      return buf;
    }
    case pst::ltp::kPtypFloating64:
    case pst::ltp::kPtypFloatingTime: {
      double d;
      uint64_t v = pst::DecodeFixed64(p);
      std::memcpy(&d, &v, 8);
      std::snprintf(buf, sizeof buf, "%g", d);
      return buf;
    }
    case pst::ltp::kPtypCurrency:
    case pst::ltp::kPtypInteger64:
      return std::to_string(static_cast<int64_t>(pst::DecodeFixed64(p)));
    case pst::ltp::kPtypBoolean:
      return p[0] ? "true" : "false";
    case pst::ltp::kPtypTime:
      return FileTime(pst::DecodeFixed64(p));
    case pst::ltp::kPtypGuid: {
      pst::messaging::Guid g;
      std::memcpy(g.data(), p, 16);
      return pst::messaging::FormatGuid(g);
    }
    default:
      return "?";
  }
}

std::string MultiVariable(uint16_t type, pst::ByteSpan data, uint32_t codepage) {
  pst::ByteReader r(data);
  const uint32_t count = r.U32();
  if (!r.ok() || count > data.size() / 4) return "(malformed list) " + HexBytes(data, kMaxHexBytes);
  std::vector<uint32_t> offsets(count);
  for (auto& o : offsets) o = r.U32();
  if (!r.ok()) return "(malformed list) " + HexBytes(data, kMaxHexBytes);
  const uint16_t item_type = static_cast<uint16_t>(type & ~pst::ltp::kPtypMultipleFlag);
  std::string out = "[";
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t begin = offsets[i];
    const uint32_t end = i + 1 < count ? offsets[i + 1] : static_cast<uint32_t>(data.size());
    if (begin > end || end > data.size()) return out + " (malformed list)]";
    if (i) out += ", ";
    out += FormatValue(item_type, data.subspan(begin, end - begin), codepage);
  }
  return out + "]";
}

}  // namespace

std::string HexBytes(pst::ByteSpan data, size_t max_bytes) {
  std::string out;
  const size_t n = std::min(data.size(), max_bytes);
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", data[i]);
    out += buf;
  }
  if (data.size() > n) out += "... (" + std::to_string(data.size()) + " bytes)";
  return out;
}

std::string FormatValue(uint16_t type, pst::ByteSpan data, uint32_t codepage) {
  using namespace pst::ltp;
  if (type == kPtypString || type == kPtypString8) {
    auto text = pst::messaging::DecodeStringValue(type, data, codepage);
    return text.ok() ? Quote(*text) : "(undecodable) " + HexBytes(data, kMaxHexBytes);
  }
  if (type == kPtypBinary || type == kPtypObject || type == kPtypServerId ||
      type == kPtypRestriction || type == kPtypRuleAction) {
    return data.empty() ? "(empty)" : HexBytes(data, kMaxHexBytes);
  }
  if (IsMultiValued(type)) {
    const uint16_t item_type = static_cast<uint16_t>(type & ~kPtypMultipleFlag);
    const size_t item_size = FixedSizeOf(item_type);
    if (item_size == 0) return MultiVariable(type, data, codepage);
    if (data.size() % item_size != 0) return "(malformed list) " + HexBytes(data, kMaxHexBytes);
    std::string out = "[";
    for (size_t off = 0; off < data.size(); off += item_size) {
      if (off) out += ", ";
      out += Scalar(item_type, data.data() + off);
    }
    return out + "]";
  }
  const size_t size = FixedSizeOf(type);
  if (size == 0 || data.size() < size) return HexBytes(data, kMaxHexBytes);
  return Scalar(type, data.data());
}

std::string FormatTag(pst::ltp::PropTag tag, const pst::messaging::NameMap* names) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%08X", tag);
  std::string out = buf;
  out += ' ';
  out += pst::ltp::TypeName(pst::ltp::PropTypeOf(tag));
  if (names) {
    if (const auto* named = names->Find(pst::ltp::PropIdOf(tag))) {
      out += ' ';
      out += pst::messaging::FormatGuid(named->guid);
      if (named->is_string) {
        out += " \"";
        out += named->NameUtf8();
        out += '"';
      } else {
        std::snprintf(buf, sizeof buf, " 0x%04X", named->lid);
        out += buf;
      }
    }
  }
  return out;
}

}  // namespace quillmar::cli
