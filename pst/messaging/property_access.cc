#include "pst/messaging/property_access.h"

#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/messaging/tags.h"
#include "pst/messaging/text.h"

namespace pst::messaging {
namespace {

Status WrongSize(const ltp::PropertyContext& pc, uint16_t id, size_t size) {
  return Status::Corruption("node " + Hex(pc.node().nid()) + ": property " + Hex(id) + " has " +
                            std::to_string(size) + " bytes, too few for its type");
}

Result<std::optional<Bytes>> ReadIfType(const ltp::PropertyContext& pc, uint16_t id, uint16_t type) {
  const auto* entry = pc.Find(id);
  if (!entry || entry->type != type) return std::optional<Bytes>();
  PST_ASSIGN_OR_RETURN(Bytes value, pc.ReadValue(*entry));
  return std::optional<Bytes>(std::move(value));
}

}  // namespace

Result<std::optional<int32_t>> GetInt32(const ltp::PropertyContext& pc, uint16_t id) {
  PST_ASSIGN_OR_RETURN(auto value, ReadIfType(pc, id, ltp::kPtypInteger32));
  if (!value) return std::optional<int32_t>();
  if (value->size() < 4) return WrongSize(pc, id, value->size());
  return std::optional<int32_t>(static_cast<int32_t>(DecodeFixed32(value->data())));
}

Result<std::optional<bool>> GetBool(const ltp::PropertyContext& pc, uint16_t id) {
  PST_ASSIGN_OR_RETURN(auto value, ReadIfType(pc, id, ltp::kPtypBoolean));
  if (!value) return std::optional<bool>();
  if (value->empty()) return WrongSize(pc, id, 0);
  return std::optional<bool>((*value)[0] != 0);
}

Result<std::optional<Bytes>> GetBinary(const ltp::PropertyContext& pc, uint16_t id) {
  return ReadIfType(pc, id, ltp::kPtypBinary);
}

Result<std::string> DecodeStringValue(uint16_t type, ByteSpan data, uint32_t codepage) {
  if (type == ltp::kPtypString) return Utf16LeToUtf8(data);
  if (type == ltp::kPtypString8) {
    auto decoded = DecodeCodepage(data, codepage);
    if (decoded.ok()) return decoded;
    return DecodeCodepage(data, kDefaultCodepage);
  }
  return Status::InvalidArgument("type " + ltp::TypeName(type) + " is not a string type");
}

Result<std::optional<std::string>> GetString(const ltp::PropertyContext& pc, uint16_t id,
                                             uint32_t codepage) {
  const auto* entry = pc.Find(id);
  if (!entry || (entry->type != ltp::kPtypString && entry->type != ltp::kPtypString8)) {
    return std::optional<std::string>();
  }
  PST_ASSIGN_OR_RETURN(Bytes value, pc.ReadValue(*entry));
  PST_ASSIGN_OR_RETURN(std::string text, DecodeStringValue(entry->type, value, codepage));
  return std::optional<std::string>(std::move(text));
}

uint32_t CodepageOf(const ltp::PropertyContext& pc, uint32_t fallback) {
  for (uint16_t id : {kPidMessageCodepage, kPidInternetCodepage}) {
    auto cp = GetInt32(pc, id);
    if (!cp.ok() || !cp->has_value() || **cp <= 0) continue;
    const uint32_t windows = WindowsCodepageFor(static_cast<uint32_t>(**cp));
    if (windows != 0 && IsSupportedCodepage(windows)) return windows;
  }
  return fallback;
}

}  // namespace pst::messaging
