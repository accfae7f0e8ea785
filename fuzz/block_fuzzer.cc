// libFuzzer target: decoding one block as read from a file, in every format
// (ANSI, Unicode, 4K with zlib) and crypt method (none, permute, cyclic, and
// one the engine does not support).
//
// Input: control byte, BID (8 bytes, little-endian), 4K inflated size (2),
// then the block. Control bits 0-1 pick the format, bits 2-3 the method;
// bit 4 "seal": the target wraps the bytes in a correct trailer (size, BID,
// signature, CRC) so decoding goes on to decrypting and inflating, and for
// ANSI and Unicode checks that encoding then decoding gives the bytes back.
// Without it the bytes are the whole block image, trailer included.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "pst/base/coding.h"
#include "pst/base/crc32.h"
#include "pst/ndb/block.h"
#include "pst/ndb/header.h"
#include "pst/ndb/page.h"

namespace {

using pst::Bytes;
using pst::ByteSpan;
using namespace pst::ndb;

constexpr uint64_t kOffset = 0x4600;  // where the block is said to lie

Format FormatOf(uint8_t control) {
  switch (control & 3) {
    case 0: return Format::kAnsi;
    case 2: return Format::kUnicode4k;
    default: return Format::kUnicode;
  }
}

CryptMethod MethodOf(uint8_t control) {
  switch ((control >> 2) & 3) {
    case 0: return CryptMethod::kNone;
    case 1: return CryptMethod::kPermute;
    case 2: return CryptMethod::kCyclic;
    default: return static_cast<CryptMethod>(0x10);  // not supported: must be refused
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 11) return 0;
  const uint8_t control = data[0];
  const Format format = FormatOf(control);
  const CryptMethod method = MethodOf(control);
  const FormatLayout& layout = LayoutOf(format);
  Bid bid = pst::DecodeFixed64(data + 1);
  if (format == Format::kAnsi) bid &= 0xFFFFFFFF;
  const uint16_t inflated = pst::DecodeFixed16(data + 9);
  ByteSpan body(data + 11, size - 11);

  StoredBlock stored;
  stored.bid = bid;
  stored.offset = kOffset;
  Bytes image;
  if (control & 0x10) {
    if (body.size() > layout.max_block_data) body = body.first(layout.max_block_data);
    stored.size = static_cast<uint16_t>(body.size());
    stored.inflated_size = format == Format::kUnicode4k ? inflated : stored.size;
    image.assign(BlockDiskSize(format, body.size()), 0);
    std::copy(body.begin(), body.end(), image.begin());
    BlockTrailer t;
    t.cb = stored.size;
    t.bid = bid;
    t.sig = ComputeSig(kOffset, bid);
    t.crc = pst::PstCrc32(body);
    t.inflated_size = stored.inflated_size;
    EncodeBlockTrailer(format, t, std::span<uint8_t>(image).last(layout.block_trailer_size));
  } else {
    if (body.size() < layout.block_trailer_size) return 0;
    image.assign(body.begin(), body.end());
    const BlockTrailer t = DecodeBlockTrailer(format, ByteSpan(image).last(layout.block_trailer_size));
    stored.size = t.cb;
    stored.inflated_size = format == Format::kUnicode4k ? t.inflated_size : t.cb;
  }
  auto decoded = DecodeBlock(format, method, stored, image);
  if (decoded.ok() && decoded->size() > layout.max_block_data) std::abort();

  // Encoding and decoding are inverses for every block the engine writes.
  if ((control & 0x10) && format != Format::kUnicode4k &&
      (method == CryptMethod::kNone || method == CryptMethod::kPermute ||
       method == CryptMethod::kCyclic)) {
    const Bid data_bid = bid & ~Bid{3};  // an external block: its data is encoded
    auto encoded = EncodeBlock(format, method, data_bid, kOffset, body);
    if (!encoded.ok()) std::abort();
    StoredBlock again{data_bid, kOffset, static_cast<uint16_t>(body.size()),
                      static_cast<uint16_t>(body.size())};
    auto back = DecodeBlock(format, method, again, *encoded);
    if (!back.ok() || !std::equal(back->begin(), back->end(), body.begin(), body.end())) std::abort();
  }
  return 0;
}
