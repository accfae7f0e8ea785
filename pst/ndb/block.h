// Blocks ([MS-PST] 2.2.2.8): cb bytes of data, zero padding, and a
// BLOCKTRAILER, the whole rounded up to 64 bytes (512 in the 4K variant).
//
// BLOCKTRAILER ([MS-PST] 2.2.2.8.1):
//   field   ANSI  Unicode/4K  size
//   cb      +0    +0          2   bytes of data as stored
//   wSig    +2    +2          2   ComputeSig(ib, bid)
//   bid     +4    +8          4 / 8
//   dwCRC   +8    +4          4   CRC of the cb stored bytes
//   4K only:      +16         2   not interpreted (2 in every block seen)
//                 +18         2   cbInflated: data size after decompression
//                 +20         4   zero
// In the 4K variant a block whose cb differs from cbInflated holds a zlib
// stream; everything else is as in Unicode.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "pst/base/bytes.h"
#include "pst/base/result.h"
#include "pst/ndb/header.h"
#include "pst/ndb/types.h"

namespace pst::ndb {

struct BlockTrailer {
  uint16_t cb = 0;
  uint16_t sig = 0;
  uint32_t crc = 0;
  Bid bid = 0;
  uint16_t reserved_4k = 0;    // 4K only
  uint16_t inflated_size = 0;  // 4K only; elsewhere decoded as cb
};

// Bytes a block with cb data bytes takes in the file, trailer included.
uint64_t BlockDiskSize(Format format, uint64_t cb);

// `trailer` is the last block_trailer_size bytes of the block.
BlockTrailer DecodeBlockTrailer(Format format, ByteSpan trailer);
void EncodeBlockTrailer(Format format, const BlockTrailer& t, std::span<uint8_t> trailer);

// The whole on-disk image of a block at file offset ib: data blocks (BID bit
// 1 clear) encoded per `method`, zero padding, trailer with signature and
// CRC. ANSI and Unicode only; data must fit max_block_data.
Result<Bytes> EncodeBlock(Format format, CryptMethod method, Bid bid, uint64_t ib, ByteSpan data);
// The same, into `out`, which must be BlockDiskSize(format, data.size()) bytes.
// `data_crc`, if the caller has it, is PstCrc32(data): it saves computing
// the trailer's CRC again where the block stores data unencoded.
Status EncodeBlockInto(Format format, CryptMethod method, Bid bid, uint64_t ib, ByteSpan data,
                       std::span<uint8_t> out, std::optional<uint32_t> data_crc = std::nullopt);

// What the BBT says about a block, as the block decoder needs it.
struct StoredBlock {
  Bid bid = 0;
  uint64_t offset = 0;
  uint16_t size = 0;           // bytes as stored
  uint16_t inflated_size = 0;  // 4K: bytes after decompression; else = size
};

// "ndb: block <bid> at offset <ib>", the context of every error about a
// block. Built only when an error needs it: blocks are read by the million.
std::string BlockWhere(Bid bid, uint64_t offset);

// Checks the on-disk image of a block (BlockDiskSize bytes read at its
// offset) against its BBT entry: trailer cb, BID, signature, CRC over the
// stored bytes; then decompresses (4K) and decodes data blocks.
// With `damage` given (salvage reading), a trailer that disagrees (cb, BID,
// signature, CRC) is no error: the stored bytes are decoded as read, on the
// index's word for their size, and *damage says what disagreed ("" if
// nothing did). A wrong byte in a body beats losing the message.
Result<Bytes> DecodeBlock(Format format, CryptMethod method, const StoredBlock& block,
                          ByteSpan image, std::string* damage = nullptr);
// The same, decoding in the image's own buffer where it can (an uncompressed
// block): reading a store passes every byte through here.
Result<Bytes> DecodeBlock(Format format, CryptMethod method, const StoredBlock& block,
                          Bytes&& image, std::string* damage = nullptr);

}  // namespace pst::ndb
