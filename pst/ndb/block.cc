#include "pst/ndb/block.h"

#include <algorithm>
#include <string>

#include "pst/base/coding.h"
#include "pst/base/crc32.h"
#include "pst/base/hex.h"
#include "pst/base/inflate.h"
#include "pst/ndb/crypt.h"
#include "pst/ndb/page.h"

namespace pst::ndb {

uint64_t BlockDiskSize(Format format, uint64_t cb) {
  const FormatLayout& l = LayoutOf(format);
  const uint64_t raw = cb + l.block_trailer_size;
  return (raw + l.block_alignment - 1) / l.block_alignment * l.block_alignment;
}

BlockTrailer DecodeBlockTrailer(Format format, ByteSpan trailer) {
  const uint8_t* p = trailer.data();
  BlockTrailer t;
  t.cb = DecodeFixed16(p);
  t.sig = DecodeFixed16(p + 2);
  if (format == Format::kAnsi) {
    t.bid = DecodeFixed32(p + 4);
    t.crc = DecodeFixed32(p + 8);
  } else {
    t.crc = DecodeFixed32(p + 4);
    t.bid = DecodeFixed64(p + 8);
  }
  if (format == Format::kUnicode4k) {
    t.reserved_4k = DecodeFixed16(p + 16);
    t.inflated_size = DecodeFixed16(p + 18);
  } else {
    t.inflated_size = t.cb;
  }
  return t;
}

void EncodeBlockTrailer(Format format, const BlockTrailer& t, std::span<uint8_t> trailer) {
  uint8_t* p = trailer.data();
  EncodeFixed16(p, t.cb);
  EncodeFixed16(p + 2, t.sig);
  if (format == Format::kAnsi) {
    EncodeFixed32(p + 4, static_cast<uint32_t>(t.bid));
    EncodeFixed32(p + 8, t.crc);
  } else {
    EncodeFixed32(p + 4, t.crc);
    EncodeFixed64(p + 8, t.bid);
  }
  if (format == Format::kUnicode4k) {
    EncodeFixed16(p + 16, t.reserved_4k);
    EncodeFixed16(p + 18, t.inflated_size);
    EncodeFixed32(p + 20, 0);
  }
}

std::string BlockWhere(Bid bid, uint64_t offset) {
  return "ndb: block " + Hex(bid) + " at offset " + Hex(offset);
}

Status EncodeBlockInto(Format format, CryptMethod method, Bid bid, uint64_t ib, ByteSpan data,
                       std::span<uint8_t> out, std::optional<uint32_t> data_crc) {
  const FormatLayout& l = LayoutOf(format);
  if (format == Format::kUnicode4k) {
    return Status::NotSupported("ndb: writing blocks of the 4K variant is not supported");
  }
  if (data.size() > l.max_block_data) {
    return Status::InvalidArgument("ndb: block " + Hex(bid) + " of " +
                                   std::to_string(data.size()) + " bytes exceeds the maximum of " +
                                   std::to_string(l.max_block_data));
  }
  if ((bid & 1) != 0) return Status::InvalidArgument("ndb: block BID " + Hex(bid) + " has bit 0 set");
  if (out.size() != BlockDiskSize(format, data.size())) {
    return Status::InvalidArgument("ndb: block " + Hex(bid) + " needs " +
                                   std::to_string(BlockDiskSize(format, data.size())) +
                                   " bytes, not " + std::to_string(out.size()));
  }
  std::copy(data.begin(), data.end(), out.begin());
  std::fill(out.begin() + static_cast<ptrdiff_t>(data.size()), out.end() - l.block_trailer_size, 0);
  std::span<uint8_t> body(out.data(), data.size());
  const bool encoded = !IsInternalBid(bid) && method != CryptMethod::kNone;
  if (encoded) PST_RETURN_IF_ERROR(EncodeBlockData(method, bid, body));
  BlockTrailer t;
  t.cb = static_cast<uint16_t>(data.size());
  t.sig = ComputeSig(ib, bid);
  t.crc = data_crc && !encoded ? *data_crc : PstCrc32(body);
  t.bid = bid;
  t.inflated_size = t.cb;
  EncodeBlockTrailer(format, t, out.last(l.block_trailer_size));
  return Status::Ok();
}

Result<Bytes> EncodeBlock(Format format, CryptMethod method, Bid bid, uint64_t ib,
                          ByteSpan data) {
  Bytes out(BlockDiskSize(format, data.size()));
  PST_RETURN_IF_ERROR(EncodeBlockInto(format, method, bid, ib, data, out));
  return out;
}

namespace {

Result<Bytes> Inflate(ByteSpan in, size_t inflated_size, const StoredBlock& block) {
  Bytes out(inflated_size);
  if (!InflateZlib(in, out)) {
    return Status::Corruption(BlockWhere(block.bid, block.offset) + ": compressed data does not inflate to " +
                              std::to_string(inflated_size) + " bytes");
  }
  return out;
}

}  // namespace

namespace {

// `owned`, when given, holds `image`'s bytes and may be taken over.
Result<Bytes> DecodeImage(Format format, CryptMethod method, const StoredBlock& block, ByteSpan image,
                          std::string* damage, Bytes* owned) {
  const FormatLayout& l = LayoutOf(format);
  // Made only for an error: formatting it for every block read costs more
  // than checking the block.
  auto where = [&block] { return BlockWhere(block.bid, block.offset); };
  if (image.size() != BlockDiskSize(format, block.size)) {
    return Status::Corruption(where() + ": block image has " + std::to_string(image.size()) +
                              " bytes, expected " +
                              std::to_string(BlockDiskSize(format, block.size)));
  }
  BlockTrailer t =
      DecodeBlockTrailer(format, image.last(l.block_trailer_size));
  // Each disagreement fails a plain read; a salvage read notes it and goes on.
  auto mismatch = [&](const std::string& what) -> Status {
    if (damage == nullptr) return Status::Corruption(where() + ": " + what);
    if (!damage->empty()) *damage += "; ";
    *damage += what;
    return Status::Ok();
  };
  if (damage != nullptr) damage->clear();
  if (t.cb != block.size) {
    PST_RETURN_IF_ERROR(mismatch("trailer cb " + std::to_string(t.cb) +
                                 " differs from the block index's " + std::to_string(block.size)));
  }
  if ((t.bid & ~Bid{1}) != (block.bid & ~Bid{1})) {
    PST_RETURN_IF_ERROR(mismatch("trailer names BID " + Hex(t.bid)));
  } else {
    const uint16_t sig = ComputeSig(block.offset, t.bid);
    if (t.sig != sig) {
      PST_RETURN_IF_ERROR(mismatch("signature " + Hex(t.sig) + ", expected " + Hex(sig)));
    }
  }
  ByteSpan stored = image.first(block.size);
  const uint32_t crc = PstCrc32(stored);
  if (t.crc != crc) {
    PST_RETURN_IF_ERROR(mismatch("CRC " + Hex(t.crc) + " does not match the computed " + Hex(crc)));
  }
  // From here on the index's sizes stand, as the trailer may be the damage.
  if (damage != nullptr && !damage->empty() && format == Format::kUnicode4k) {
    t.inflated_size = block.inflated_size;
  }
  Bytes data;
  if (format == Format::kUnicode4k && t.inflated_size != block.size) {
    if (t.inflated_size != block.inflated_size) {
      return Status::Corruption(where() + ": trailer's inflated size " +
                                std::to_string(t.inflated_size) + " differs from the index's " +
                                std::to_string(block.inflated_size));
    }
    if (t.inflated_size > l.max_block_data) {
      return Status::Corruption(where() + ": inflated size " + std::to_string(t.inflated_size) +
                                " exceeds the maximum block size");
    }
    if (!IsInternalBid(block.bid) && method != CryptMethod::kNone) {
      return Status::NotSupported(where() + ": compressed block in an encoded 4K store");
    }
    PST_ASSIGN_OR_RETURN(data, Inflate(stored, t.inflated_size, block));
  } else {
    if (block.inflated_size != block.size) {
      return Status::Corruption(where() + ": index says the block inflates to " +
                                std::to_string(block.inflated_size) +
                                " bytes but the block is not compressed");
    }
    if (owned != nullptr) {
      owned->resize(block.size);  // the stored bytes are its first ones
      data = std::move(*owned);
    } else {
      data.assign(stored.begin(), stored.end());
    }
  }
  if (!IsInternalBid(block.bid)) {
    PST_RETURN_IF_ERROR(DecodeBlockData(method, block.bid, data));
  }
  return data;
}

}  // namespace

Result<Bytes> DecodeBlock(Format format, CryptMethod method, const StoredBlock& block, ByteSpan image,
                          std::string* damage) {
  return DecodeImage(format, method, block, image, damage, nullptr);
}

Result<Bytes> DecodeBlock(Format format, CryptMethod method, const StoredBlock& block, Bytes&& image,
                          std::string* damage) {
  return DecodeImage(format, method, block, ByteSpan(image), damage, &image);
}

}  // namespace pst::ndb
