// The file header ([MS-PST] 2.2.2.6) and ROOT ([MS-PST] 2.2.2.5).
//
// Unicode (wVer 23, and 36 for 4 KiB pages), 564 bytes:
//   0x000  4  dwMagic "!BDN"        0x0AC   8  qwUnused
//   0x004  4  dwCRCPartial          0x0B4  72  ROOT
//   0x008  2  wMagicClient          0x0FC   4  dwAlign
//   0x00A  2  wVer                  0x100 128  rgbFM
//   0x00C  2  wVerClient            0x180 128  rgbFP
//   0x00E  1  bPlatformCreate       0x200   1  bSentinel 0x80
//   0x00F  1  bPlatformAccess       0x201   1  bCryptMethod
//   0x010  4  dwReserved1           0x202   2  rgbReserved
//   0x014  4  dwReserved2           0x204   8  bidNextB
//   0x018  8  bidUnused             0x20C   4  dwCRCFull
//   0x020  8  bidNextP              0x210  36  reserved
//   0x028  4  dwUnique
//   0x02C 128 rgnid[32]
// ANSI (wVer 14/15), 512 bytes:
//   0x000..0x017 as Unicode         0x0A4  40  ROOT
//   0x018  4  bidNextB              0x0CC 128  rgbFM
//   0x01C  4  bidNextP              0x14C 128  rgbFP
//   0x020  4  dwUnique              0x1CC   1  bSentinel 0x80
//   0x024 128 rgnid[32]             0x1CD   1  bCryptMethod
//                                   0x1CE  50  reserved
// dwCRCPartial covers the 471 bytes from 0x008; dwCRCFull (Unicode) the 516
// bytes from 0x008.
//
// ROOT, Unicode / ANSI offsets inside ROOT:
//   dwReserved 0/0 (4), ibFileEof 4/4, ibAMapLast 0x0C/0x08, cbAMapFree
//   0x14/0x0C, cbPMapFree 0x1C/0x10, BREF NBT 0x24/0x14, BREF BBT 0x34/0x1C,
//   fAMapValid 0x44/0x24, bReserved, wReserved. 8-byte fields in Unicode, 4 in ANSI.
#include <algorithm>
#include <string>

#include "pst/base/byte_reader.h"
#include "pst/base/coding.h"
#include "pst/base/crc32.h"
#include "pst/base/hex.h"
#include "pst/ndb/header.h"

namespace pst::ndb {

namespace {

constexpr uint32_t kMagic = 0x4E444221;  // "!BDN"
constexpr uint16_t kClientMagicPst = 0x4D53;  // "SM"
constexpr uint16_t kClientMagicOst = 0x4F53;  // "SO"
constexpr uint8_t kSentinel = 0x80;
constexpr size_t kCrcStart = 0x008;
constexpr size_t kCrcPartialLength = 471;
constexpr size_t kCrcFullLength = 516;

// Offsets that differ between the two header layouts.
struct HeaderOffsets {
  size_t bid_next_b;
  size_t bid_next_p;
  size_t unique;
  size_t rgnid;
  size_t root;
  size_t fm;
  size_t fp;
  size_t sentinel;
  size_t crypt;
  size_t crc_full;  // 0 = none
};

constexpr HeaderOffsets kAnsiOffsets{0x018, 0x01C, 0x020, 0x024, 0x0A4,
                                     0x0CC, 0x14C, 0x1CC, 0x1CD, 0};
constexpr HeaderOffsets kUnicodeOffsets{0x204, 0x020, 0x028, 0x02C, 0x0B4,
                                        0x100, 0x180, 0x200, 0x201, 0x20C};

const HeaderOffsets& OffsetsOf(Format format) {
  return format == Format::kAnsi ? kAnsiOffsets : kUnicodeOffsets;
}

Status HeaderError(const std::string& what) {
  return Status::Corruption("ndb: file header: " + what);
}

BlockRef ReadBref(ByteReader& r, bool wide) {
  BlockRef ref;
  ref.bid = r.U32or64(wide);
  ref.offset = r.U32or64(wide);
  return ref;
}

}  // namespace

uint16_t DefaultVersion(Format format) {
  switch (format) {
    case Format::kAnsi: return 14;
    case Format::kUnicode: return 23;
    case Format::kUnicode4k: return 36;
  }
  return 23;
}

const char* FormatName(Format format) {
  switch (format) {
    case Format::kAnsi: return "ANSI";
    case Format::kUnicode: return "Unicode";
    case Format::kUnicode4k: return "Unicode 4K";
  }
  return "?";
}

Result<Header> DecodeHeader(ByteSpan bytes) {
  if (bytes.size() < 0x0C) {
    return HeaderError("truncated: the file has " + std::to_string(bytes.size()) +
                       " bytes, too few for dwMagic and wVer");
  }
  ByteReader r(bytes);
  const uint32_t magic = r.U32();
  if (magic != kMagic) {
    return HeaderError("dwMagic " + Hex(magic) + " is not \"!BDN\"; not a PST or OST file");
  }
  Header h;
  r.U32();  // dwCRCPartial, checked below
  h.client_magic = r.U16();
  h.version = r.U16();
  if (h.client_magic != kClientMagicPst && h.client_magic != kClientMagicOst) {
    return HeaderError("wMagicClient " + Hex(h.client_magic) + " is neither \"SM\" nor \"SO\"");
  }
  switch (h.version) {
    case 14:
    case 15:
      h.format = Format::kAnsi;
      break;
    case 23:
    case 37:  // written by Outlook versions aware of information protection
      h.format = Format::kUnicode;
      break;
    case 36:
      h.format = Format::kUnicode4k;
      break;
    default:
      if (h.version < 14 || (h.version > 15 && h.version < 23)) {
        return HeaderError("wVer " + std::to_string(h.version) +
                           " is no known format version (14/15 ANSI, 23 Unicode)");
      }
      return Status::NotSupported("ndb: file header: format version wVer " +
                                  std::to_string(h.version) + " is not supported");
  }
  const FormatLayout& layout = LayoutOf(h.format);
  const HeaderOffsets& off = OffsetsOf(h.format);
  if (bytes.size() < layout.header_size) {
    return HeaderError(std::string("truncated: the file has ") + std::to_string(bytes.size()) +
                       " bytes; the header of the " + FormatName(h.format) + " format (wVer " +
                       std::to_string(h.version) + ") needs " +
                       std::to_string(layout.header_size));
  }
  const uint32_t crc_partial = DecodeFixed32(bytes.data() + 4);
  const uint32_t want_partial = PstCrc32(bytes.subspan(kCrcStart, kCrcPartialLength));
  if (crc_partial != want_partial) {
    return HeaderError("dwCRCPartial " + Hex(crc_partial) + " does not match the computed " +
                       Hex(want_partial));
  }
  if (off.crc_full != 0) {
    const uint32_t crc_full = DecodeFixed32(bytes.data() + off.crc_full);
    const uint32_t want_full = PstCrc32(bytes.subspan(kCrcStart, kCrcFullLength));
    if (crc_full != want_full) {
      return HeaderError("dwCRCFull " + Hex(crc_full) + " does not match the computed " +
                         Hex(want_full));
    }
  }
  if (bytes[off.sentinel] != kSentinel) {
    return HeaderError("bSentinel at " + Hex(off.sentinel) + " is " + Hex(bytes[off.sentinel]) +
                       ", not 0x80");
  }
  const uint8_t crypt = bytes[off.crypt];
  if (crypt > 0x02) {
    if (crypt == 0x10) {
      return Status::NotSupported(
          "ndb: file header: bCryptMethod 0x10 (Windows Information Protection) is not supported");
    }
    return HeaderError("bCryptMethod " + Hex(crypt) + " is unknown");
  }
  h.crypt_method = static_cast<CryptMethod>(crypt);

  r.Seek(0x0C);
  h.client_version = r.U16();
  const bool wide = layout.wide;
  r.Seek(off.bid_next_p);
  h.next_page_bid = r.U32or64(wide);
  r.Seek(off.bid_next_b);
  h.next_block_bid = r.U32or64(wide);
  r.Seek(off.unique);
  h.unique = r.U32();
  r.Seek(off.rgnid);
  for (uint32_t& n : h.nid_counters) n = r.U32();

  r.Seek(off.root);
  Root& root = h.root;
  root.reserved = r.U32();
  root.file_eof = r.U32or64(wide);
  root.last_amap_offset = r.U32or64(wide);
  root.amap_free = r.U32or64(wide);
  root.pmap_free = r.U32or64(wide);
  root.nbt_root = ReadBref(r, wide);
  root.bbt_root = ReadBref(r, wide);
  root.amap_valid = r.U8();
  if (!r.ok()) return HeaderError("fields run past the header");  // cannot happen: size checked

  h.raw.assign(bytes.begin(), bytes.begin() + layout.header_size);
  return h;
}

Result<Bytes> EncodeHeader(const Header& h) {
  const FormatLayout& layout = LayoutOf(h.format);
  const HeaderOffsets& off = OffsetsOf(h.format);
  const bool wide = layout.wide;
  if (!wide) {
    const uint64_t limit = 0xFFFFFFFFu;
    const Root& root = h.root;
    for (uint64_t v : {h.next_page_bid, h.next_block_bid, root.file_eof, root.last_amap_offset,
                       root.amap_free, root.pmap_free, root.nbt_root.bid, root.nbt_root.offset,
                       root.bbt_root.bid, root.bbt_root.offset}) {
      if (v > limit) {
        return Status::InvalidArgument("ndb: header value " + Hex(v) +
                                       " does not fit the 32-bit fields of an ANSI header");
      }
    }
  }

  Bytes out(layout.header_size, 0);
  if (h.raw.size() == layout.header_size) {
    std::copy(h.raw.begin(), h.raw.end(), out.begin());
  } else {
    std::fill_n(out.begin() + static_cast<ptrdiff_t>(off.fm), 128, 0xFF);
    std::fill_n(out.begin() + static_cast<ptrdiff_t>(off.fp), 128, 0xFF);
    out[0x0E] = 0x01;  // bPlatformCreate
    out[0x0F] = 0x01;  // bPlatformAccess
  }
  uint8_t* p = out.data();
  auto put = [&](size_t at, uint64_t v) {
    if (wide) {
      EncodeFixed64(p + at, v);
    } else {
      EncodeFixed32(p + at, static_cast<uint32_t>(v));
    }
  };
  const size_t n = wide ? 8 : 4;

  EncodeFixed32(p, kMagic);
  EncodeFixed16(p + 0x08, h.client_magic != 0 ? h.client_magic : kClientMagicPst);
  EncodeFixed16(p + 0x0A, h.version != 0 ? h.version : DefaultVersion(h.format));
  EncodeFixed16(p + 0x0C, h.client_version);
  put(off.bid_next_p, h.next_page_bid);
  put(off.bid_next_b, h.next_block_bid);
  EncodeFixed32(p + off.unique, h.unique);
  for (size_t i = 0; i < h.nid_counters.size(); ++i) {
    EncodeFixed32(p + off.rgnid + 4 * i, h.nid_counters[i]);
  }
  size_t at = off.root;
  EncodeFixed32(p + at, h.root.reserved);
  at += 4;
  for (uint64_t v : {h.root.file_eof, h.root.last_amap_offset, h.root.amap_free,
                     h.root.pmap_free, h.root.nbt_root.bid, h.root.nbt_root.offset,
                     h.root.bbt_root.bid, h.root.bbt_root.offset}) {
    put(at, v);
    at += n;
  }
  p[at] = h.root.amap_valid;
  p[off.sentinel] = kSentinel;
  p[off.crypt] = static_cast<uint8_t>(h.crypt_method);

  ByteSpan all(out);
  if (off.crc_full != 0) {
    EncodeFixed32(p + off.crc_full, PstCrc32(all.subspan(kCrcStart, kCrcFullLength)));
  }
  EncodeFixed32(p + 4, PstCrc32(all.subspan(kCrcStart, kCrcPartialLength)));
  return out;
}

}  // namespace pst::ndb
