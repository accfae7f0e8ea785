// Pages ([MS-PST] 2.2.2.7): fixed-size units (512 bytes, 4096 in the 4K
// variant) ending in a PAGETRAILER, and the B-tree page layout on top.
//
// PAGETRAILER ([MS-PST] 2.2.2.7.1), at the last bytes of the page:
//   field        ANSI  Unicode  4K    size
//   ptype        +0    +0       +0    1
//   ptypeRepeat  +1    +1       +1    1
//   wSig         +2    +2       +2    2
//   bid          +4    +8       +8    4 / 8 / 8
//   dwCRC        +8    +4       +4    4   (CRC of the page data before the trailer)
//   (4K only)                   +16   8   not interpreted; kept as found
// BTPAGE ([MS-PST] 2.2.2.7.7.1) metadata right after rgentries:
//   field    ANSI @0x1F0  Unicode @0x1E8  4K @0xFD8
//   cEnt     1            1               2
//   cEntMax  1            1               2
//   cbEnt    1            1               1
//   cLevel   1            1               1
#pragma once

#include <cstdint>
#include <span>

#include "pst/base/bytes.h"
#include "pst/base/status.h"
#include "pst/ndb/header.h"
#include "pst/ndb/types.h"

namespace pst::ndb {

enum PageType : uint8_t {
  kPageTypeBbt = 0x80,
  kPageTypeNbt = 0x81,
  kPageTypeFMap = 0x82,
  kPageTypePMap = 0x83,
  kPageTypeAMap = 0x84,
  kPageTypeFPMap = 0x85,
  kPageTypeDList = 0x86,
};

// [MS-PST] 5.5: signature of a page or block at file offset ib with BID bid.
uint16_t ComputeSig(uint64_t ib, Bid bid);

struct PageTrailer {
  uint8_t ptype = 0;
  uint8_t ptype_repeat = 0;
  uint16_t sig = 0;
  uint32_t crc = 0;
  Bid bid = 0;
};

// page.size() must be LayoutOf(format).page_size.
PageTrailer DecodePageTrailer(Format format, ByteSpan page);
void EncodePageTrailer(Format format, const PageTrailer& trailer, std::span<uint8_t> page);

// Completes a page whose data area is written: fills the trailer with ptype,
// bid, the signature (0 for map pages, which have no signature) and the CRC.
void SealPage(Format format, uint8_t ptype, Bid bid, uint64_t ib, std::span<uint8_t> page);

// Checks a page read at ib: ptype and ptypeRepeat, bid, signature and CRC.
// `what` names the page in the message ("NBT page").
Status CheckPage(Format format, ByteSpan page, uint8_t ptype, Bid bid, uint64_t ib,
                 const char* what);

// B-tree page metadata.
struct BTreePageMeta {
  uint16_t count = 0;      // cEnt
  uint16_t max_count = 0;  // cEntMax
  uint8_t entry_size = 0;  // cbEnt
  uint8_t level = 0;       // cLevel, 0 = leaf
};

BTreePageMeta DecodeBTreePageMeta(Format format, ByteSpan page);
void EncodeBTreePageMeta(Format format, const BTreePageMeta& meta, std::span<uint8_t> page);

// Entry sizes (cbEnt) of the B-tree entries.
uint8_t NbtLeafEntrySize(Format format);   // NBTENTRY: 16 ANSI, 32 Unicode
uint8_t BbtLeafEntrySize(Format format);   // BBTENTRY: 12 ANSI, 24 Unicode
uint8_t BTreeIndexEntrySize(Format format);  // BTENTRY: 12 ANSI, 24 Unicode

}  // namespace pst::ndb
