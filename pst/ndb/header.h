// The file header ([MS-PST] 2.2.2.6) decoded into one struct for both
// formats. See header.cc for the byte layouts.
#pragma once

#include <array>
#include <cstdint>

#include "pst/base/bytes.h"
#include "pst/base/result.h"
#include "pst/ndb/types.h"

namespace pst::ndb {

struct BlockRef {
  Bid bid = 0;
  uint64_t offset = 0;
};

// ROOT ([MS-PST] 2.2.2.5).
struct Root {
  uint32_t reserved = 0;
  uint64_t file_eof = 0;
  uint64_t last_amap_offset = 0;
  uint64_t amap_free = 0;
  uint64_t pmap_free = 0;
  BlockRef nbt_root;
  BlockRef bbt_root;
  uint8_t amap_valid = 0;  // 0 invalid, 1 valid (old rule), 2 valid
};

struct Header {
  Format format = Format::kUnicode;
  uint16_t version = 0;         // wVer
  uint16_t client_version = 0;  // wVerClient
  uint16_t client_magic = 0;    // wMagicClient: 0x4D53 "SM" for PST, 0x4F53 "SO" for OST
  CryptMethod crypt_method = CryptMethod::kNone;
  uint64_t next_page_bid = 0;   // bidNextP
  uint64_t next_block_bid = 0;  // bidNextB
  uint32_t unique = 0;          // dwUnique
  std::array<uint32_t, 32> nid_counters{};  // rgnid[]
  Root root;
  // Whole raw header bytes as read (so a writer can preserve reserved fields).
  Bytes raw;
};

// Decodes and validates a header from the first bytes of a file (at least
// 512 bytes for ANSI, 564 for Unicode; pass what the file has). Errors name
// the field that is wrong.
Result<Header> DecodeHeader(ByteSpan bytes);

// Layout numbers that differ between the formats.
struct FormatLayout {
  uint32_t page_size;         // 512, or 4096 for kUnicode4k
  uint32_t page_trailer_size; // 12 ANSI, 16 Unicode
  uint32_t block_trailer_size;
  uint32_t max_block_size;    // including trailer: 8192, or 65536 for kUnicode4k
  uint32_t max_block_data;    // 8180 ANSI, 8176 Unicode
  bool wide;                  // 64-bit BIDs and offsets
  uint32_t block_alignment;   // 64, or 512 for kUnicode4k
  uint32_t btree_entries_size;  // rgentries of a B-tree page: 496 ANSI, 488 Unicode, 4056 4K
  uint32_t header_size;       // 512 ANSI, 564 Unicode (both Unicode variants)
};

inline constexpr FormatLayout kAnsiLayout{512, 12, 12, 8192, 8180, false, 64, 496, 512};
inline constexpr FormatLayout kUnicodeLayout{512, 16, 16, 8192, 8176, true, 64, 488, 564};
inline constexpr FormatLayout kUnicode4kLayout{4096, 24, 24, 65536, 65512, true, 512, 4056, 564};

// Inline: the B-tree and allocation code asks for it in its inner loops.
constexpr const FormatLayout& LayoutOf(Format format) {
  switch (format) {
    case Format::kAnsi: return kAnsiLayout;
    case Format::kUnicode: return kUnicodeLayout;
    case Format::kUnicode4k: return kUnicode4kLayout;
  }
  return kUnicodeLayout;
}

// The inverse of DecodeHeader: the header bytes (header_size of the format)
// with every field of `header` written and both CRCs recomputed. Bytes the
// struct does not model (reserved fields, rgbFM/rgbFP) come from header.raw
// when it has the right size, else they are written as a new store has them
// (zeros; 0xFF for rgbFM/rgbFP). InvalidArgument if a value does not fit the
// ANSI field widths.
Result<Bytes> EncodeHeader(const Header& header);

// The wVer a new store of the format is written with (14, 23, 36).
uint16_t DefaultVersion(Format format);

// "ANSI", "Unicode" or "Unicode 4K", for messages.
const char* FormatName(Format format);

}  // namespace pst::ndb
