// libFuzzer target: the named-property map (node 0x61, a property context
// holding the GUID, entry and string streams and the hash buckets), read as
// the converter reads it and then used to map every named id of a message.
// Input: the map node's heap pages, then subnodes (pieces as in
// fuzz/fuzz_input.h).
#include <cstddef>
#include <algorithm>
#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "pst/convert/property_converter.h"
#include "pst/ltp/property_context.h"
#include "pst/messaging/name_map.h"

namespace {

using namespace pst;

// Gives every name a fresh id, as a target store's map would.
class CountingMapper : public convert::NamedPropertyMapper {
 public:
  Result<uint16_t> TargetId(const messaging::NamedProperty& name) override {
    (void)name.NameUtf8();
    (void)messaging::FormatGuid(name.guid);
    if (next_ == 0xFFFF) return Status::Corruption("no ids left");
    return next_++;
  }

 private:
  uint16_t next_ = 0x8000;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto pc = ltp::PropertyContext::Open(fuzz::OwnedNode(0x61, data, size));
  if (!pc.ok()) return 0;
  auto map = messaging::NameMap::Read(*pc);
  if (!map.ok()) return 0;
  CountingMapper mapper;
  convert::ConversionCounters counters;
  convert::PropertyConverter converter(/*unicode_target=*/false, &*map, &mapper, &counters);
  // The ids the map holds, and one past them: the first 256 (more only
  // repeat the same paths, at the cost of every input's speed).
  const uint32_t end = 0x8000 + std::min<uint32_t>(static_cast<uint32_t>(map->entries().size()) + 1, 256);
  for (uint32_t id = 0x8000; id < end; ++id) {
    (void)map->Find(static_cast<uint16_t>(id));
    (void)converter.TargetTag(ltp::MakeTag(static_cast<uint16_t>(id), ltp::kPtypString));
  }
  return 0;
}
