// libFuzzer target: the structural checker on arbitrary bytes. It must
// report problems, never crash, hang or run out of memory; and what it
// finds must be told in the user's terms (the mail reading behind it).
#include <cstddef>
#include <cstdint>
#include <memory>

#include "pst/check/check.h"
#include "pst/check/mail_damage.h"
#include "pst/io/memory_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto file = std::make_shared<pst::io::MemoryFile>(pst::Bytes(data, data + size));
  if (pst::check::CheckStore(*file).errors > 0) (void)pst::check::AssessMail(file);
  return 0;
}
