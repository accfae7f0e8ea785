#include "pst/ndb/page.h"

#include <string>

#include "pst/base/coding.h"
#include "pst/base/crc32.h"
#include "pst/base/hex.h"

namespace pst::ndb {

uint16_t ComputeSig(uint64_t ib, Bid bid) {
  const uint32_t x = static_cast<uint32_t>(ib ^ bid);
  return static_cast<uint16_t>((x >> 16) ^ x);
}

namespace {

size_t TrailerOffset(Format format) {
  const FormatLayout& l = LayoutOf(format);
  return l.page_size - l.page_trailer_size;
}

bool IsMapPage(uint8_t ptype) {
  return ptype == kPageTypeFMap || ptype == kPageTypePMap || ptype == kPageTypeAMap ||
         ptype == kPageTypeFPMap;
}

}  // namespace

PageTrailer DecodePageTrailer(Format format, ByteSpan page) {
  PageTrailer t;
  const uint8_t* p = page.data() + TrailerOffset(format);
  t.ptype = p[0];
  t.ptype_repeat = p[1];
  t.sig = DecodeFixed16(p + 2);
  if (format == Format::kAnsi) {
    t.bid = DecodeFixed32(p + 4);
    t.crc = DecodeFixed32(p + 8);
  } else {
    t.crc = DecodeFixed32(p + 4);
    t.bid = DecodeFixed64(p + 8);
  }
  return t;
}

void EncodePageTrailer(Format format, const PageTrailer& t, std::span<uint8_t> page) {
  uint8_t* p = page.data() + TrailerOffset(format);
  p[0] = t.ptype;
  p[1] = t.ptype_repeat;
  EncodeFixed16(p + 2, t.sig);
  if (format == Format::kAnsi) {
    EncodeFixed32(p + 4, static_cast<uint32_t>(t.bid));
    EncodeFixed32(p + 8, t.crc);
  } else {
    EncodeFixed32(p + 4, t.crc);
    EncodeFixed64(p + 8, t.bid);
  }
}

void SealPage(Format format, uint8_t ptype, Bid bid, uint64_t ib, std::span<uint8_t> page) {
  PageTrailer t;
  t.ptype = ptype;
  t.ptype_repeat = ptype;
  t.bid = bid;
  t.sig = IsMapPage(ptype) ? 0 : ComputeSig(ib, bid);
  t.crc = PstCrc32(ByteSpan(page.data(), TrailerOffset(format)));
  EncodePageTrailer(format, t, page);
}

Status CheckPage(Format format, ByteSpan page, uint8_t ptype, Bid bid, uint64_t ib,
                 const char* what) {
  const PageTrailer t = DecodePageTrailer(format, page);
  auto fail = [&](const std::string& msg) {
    return Status::Corruption(std::string("ndb: ") + what + " " + Hex(bid) + " at offset " +
                              Hex(ib) + ": " + msg);
  };
  if (t.ptype != ptype || t.ptype_repeat != ptype) {
    return fail("page type " + Hex(t.ptype) + "/" + Hex(t.ptype_repeat) + ", expected " +
                Hex(ptype));
  }
  if (t.bid != bid) return fail("trailer names BID " + Hex(t.bid));
  const uint16_t sig = IsMapPage(ptype) ? 0 : ComputeSig(ib, bid);
  if (t.sig != sig) return fail("signature " + Hex(t.sig) + ", expected " + Hex(sig));
  const uint32_t crc = PstCrc32(page.first(TrailerOffset(format)));
  if (t.crc != crc) return fail("CRC " + Hex(t.crc) + " does not match the computed " + Hex(crc));
  return Status::Ok();
}

BTreePageMeta DecodeBTreePageMeta(Format format, ByteSpan page) {
  const uint8_t* p = page.data() + LayoutOf(format).btree_entries_size;
  BTreePageMeta m;
  if (format == Format::kUnicode4k) {
    m.count = DecodeFixed16(p);
    m.max_count = DecodeFixed16(p + 2);
    m.entry_size = p[4];
    m.level = p[5];
  } else {
    m.count = p[0];
    m.max_count = p[1];
    m.entry_size = p[2];
    m.level = p[3];
  }
  return m;
}

void EncodeBTreePageMeta(Format format, const BTreePageMeta& m, std::span<uint8_t> page) {
  uint8_t* p = page.data() + LayoutOf(format).btree_entries_size;
  if (format == Format::kUnicode4k) {
    EncodeFixed16(p, m.count);
    EncodeFixed16(p + 2, m.max_count);
    p[4] = m.entry_size;
    p[5] = m.level;
  } else {
    p[0] = static_cast<uint8_t>(m.count);
    p[1] = static_cast<uint8_t>(m.max_count);
    p[2] = m.entry_size;
    p[3] = m.level;
  }
}

uint8_t NbtLeafEntrySize(Format format) { return format == Format::kAnsi ? 16 : 32; }
uint8_t BbtLeafEntrySize(Format format) { return format == Format::kAnsi ? 12 : 24; }
uint8_t BTreeIndexEntrySize(Format format) { return format == Format::kAnsi ? 12 : 24; }

}  // namespace pst::ndb
