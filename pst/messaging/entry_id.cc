#include "pst/messaging/entry_id.h"

#include <algorithm>

#include "pst/base/byte_reader.h"

namespace pst::messaging {

std::optional<EntryId> DecodeEntryId(ByteSpan bytes) {
  if (bytes.size() != 24) return std::nullopt;
  ByteReader r(bytes);
  EntryId id;
  id.flags = r.U32();
  ByteSpan uid = r.Span(16);
  std::copy(uid.begin(), uid.end(), id.store_uid.begin());
  id.nid = r.U32();
  if (!r.ok()) return std::nullopt;
  return id;
}

Bytes EncodeEntryId(const EntryId& id) {
  Bytes out(24);
  EncodeFixed32(out.data(), id.flags);
  std::copy(id.store_uid.begin(), id.store_uid.end(), out.begin() + 4);
  EncodeFixed32(out.data() + 20, id.nid);
  return out;
}

}  // namespace pst::messaging
