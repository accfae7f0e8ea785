// libFuzzer target: a property context (heap client 0xBC), with values in
// the heap and in subnodes. Input: the node's heap pages, then subnodes
// (pieces as in fuzz/fuzz_input.h). Every value is read whole (bounded) and
// as a stream.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "pst/ltp/property_context.h"
#include "pst/ltp/value_check.h"

namespace {
constexpr size_t kMaxValue = 1 << 20;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace pst;
  auto pc = ltp::PropertyContext::Open(fuzz::OwnedNode(0x200022, data, size));
  if (!pc.ok()) return 0;
  (void)pc->ReadAll(kMaxValue);
  for (const ltp::PropertyContext::Entry& e : pc->entries()) {
    (void)pc->Find(e.id);
    (void)pc->ValueSize(e);
    auto stream = pc->OpenValue(e);
    if (!stream.ok()) continue;
    (void)ltp::CheckValue(e.type, **stream);
  }
  return 0;
}
