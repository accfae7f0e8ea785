// The 24-byte EntryID of an object inside a PST ([MS-PST] 2.4.3.2).
//
//   offset size field
//   0      4    rgbFlags (0)
//   4      16   uid: the store's PidTagRecordKey
//   20     4    nid of the folder or message
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "pst/base/bytes.h"
#include "pst/ndb/types.h"

namespace pst::messaging {

struct EntryId {
  uint32_t flags = 0;
  std::array<uint8_t, 16> store_uid{};
  ndb::Nid nid = 0;
};

std::optional<EntryId> DecodeEntryId(ByteSpan bytes);
Bytes EncodeEntryId(const EntryId& id);

}  // namespace pst::messaging
