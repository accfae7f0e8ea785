// libFuzzer target: the structural checker on arbitrary bytes. It must
// report problems, never crash, hang or run out of memory.
#include <cstddef>
#include <cstdint>

#include "pst/check/check.h"
#include "pst/io/memory_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pst::io::MemoryFile file(pst::Bytes(data, data + size));
  (void)pst::check::CheckStore(file);
  return 0;
}
