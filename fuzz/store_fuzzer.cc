// libFuzzer target: opens a store from arbitrary bytes and reads everything
// in it. Any input must end in a clean error, never a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "pst/io/memory_file.h"
#include "pst/messaging/read_all.h"
#include "pst/messaging/store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto file = std::make_shared<pst::io::MemoryFile>(pst::Bytes(data, data + size));
  auto store = pst::messaging::Store::Open(file);
  if (!store.ok()) return 0;
  pst::messaging::ReadOptions options;
  options.max_problems = 16;
  options.threads = 1;  // a run the fuzzer can repeat exactly
  (void)pst::messaging::ReadEverything(**store, options);
  return 0;
}
