#include "pst/base/inflate.h"

#include <zlib.h>

#include <limits>

#if defined(QUILLMAR_HAVE_LIBDEFLATE)
#include <libdeflate.h>

#include <memory>
#elif defined(QUILLMAR_HAVE_ISAL)
#include <isa-l/igzip_lib.h>

#include <memory>
#endif

namespace pst {

bool InflateZlib(ByteSpan in, std::span<uint8_t> out) {
  if (in.size() > std::numeric_limits<uint32_t>::max() || out.size() > std::numeric_limits<uint32_t>::max()) {
    return false;
  }
#if defined(QUILLMAR_HAVE_LIBDEFLATE)
  // Reading a compressed store spends about half its time here; libdeflate
  // is the fastest inflater for whole small streams. Its decompressor holds
  // tables of tens of KiB, so each thread keeps one.
  struct FreeDecompressor {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
  };
  thread_local std::unique_ptr<libdeflate_decompressor, FreeDecompressor> decompressor(
      libdeflate_alloc_decompressor());
  if (!decompressor) return false;
  // Verifies the zlib header and the Adler-32. Bytes after the stream's end
  // are let be, as the other inflaters do.
  size_t consumed = 0;
  size_t written = 0;
  const libdeflate_result rc = libdeflate_zlib_decompress_ex(decompressor.get(), in.data(), in.size(),
                                                             out.data(), out.size(), &consumed, &written);
  return rc == LIBDEFLATE_SUCCESS && written == out.size();
#elif defined(QUILLMAR_HAVE_ISAL)
  // ISA-L inflates about twice as fast as zlib; reading a compressed store
  // spends most of its time here. Its state holds the Huffman tables (tens
  // of KiB), so each thread keeps one rather than putting it on the stack.
  thread_local std::unique_ptr<inflate_state> state = std::make_unique<inflate_state>();
  isal_inflate_init(state.get());
  state->crc_flag = ISAL_ZLIB;  // parse the zlib header and verify the Adler-32
  state->next_in = const_cast<uint8_t*>(in.data());
  state->avail_in = static_cast<uint32_t>(in.size());
  state->next_out = out.data();
  state->avail_out = static_cast<uint32_t>(out.size());
  const int rc = isal_inflate_stateless(state.get());
  return rc == ISAL_DECOMP_OK && state->block_state == ISAL_BLOCK_FINISH && state->total_out == out.size();
#else
  // zlib inflates into a scratch byte of its own when given no room, and
  // reports success for a one-byte stream: give it a byte to fill instead.
  uint8_t probe = 0;
  uint8_t* to = out.empty() ? &probe : out.data();
  uLongf out_len = out.empty() ? 1 : static_cast<uLongf>(out.size());
  const int rc = uncompress(to, &out_len, in.data(), static_cast<uLong>(in.size()));
  return rc == Z_OK && out_len == out.size();
#endif
}

}  // namespace pst
