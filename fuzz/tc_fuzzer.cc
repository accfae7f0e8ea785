// libFuzzer target: a table context (heap client 0x7C): columns, the row
// index, the row matrix in the heap or in a subnode, cells in the heap or
// in subnodes. Input: the node's heap pages, then subnodes (pieces as in
// fuzz/fuzz_input.h). Every cell of the first rows is read.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_input.h"
#include "pst/ltp/table_context.h"

namespace {
constexpr size_t kMaxRows = 256;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace pst;
  auto tc = ltp::TableContext::Open(fuzz::OwnedNode(0x10E, data, size));
  if (!tc.ok()) return 0;
  for (size_t row = 0; row < tc->row_count() && row < kMaxRows; ++row) {
    auto id = tc->RowId(row);
    if (id.ok()) (void)tc->FindRow(*id);
    (void)tc->ReadRow(row);
    for (const ltp::TableContext::Column& c : tc->columns()) (void)tc->ReadCell(row, c);
  }
  (void)tc->FindRow(0x200024);
  return 0;
}
