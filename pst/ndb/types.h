// Identifiers and format variants of the node database (NDB) layer.
//
// NID (32 bits, both formats): bits 0-4 nidType, bits 5-31 nidIndex.
// BID: 64 bits in Unicode, 32 bits in ANSI (stored widened here); bit 0 is
// reserved, bit 1 marks internal blocks (XBLOCK/XXBLOCK/SLBLOCK/SIBLOCK).
#pragma once

#include <cstdint>

namespace pst::ndb {

using Nid = uint32_t;
using Bid = uint64_t;

enum class Format {
  kAnsi,       // wVer 14/15: 32-bit BIDs and offsets, 512-byte pages
  kUnicode,    // wVer 23: 64-bit BIDs and offsets, 512-byte pages
  kUnicode4k,  // wVer 36: 64-bit, 4 KiB pages, larger blocks
};

// The size past which Outlook does not let an ANSI store grow, a little
// under 2 GB (the format's own 32-bit offsets would allow 4 GB).
inline constexpr uint64_t kAnsiMaxFileSize = 2075149312;

enum class CryptMethod : uint8_t {
  kNone = 0x00,
  kPermute = 0x01,
  kCyclic = 0x02,
};

enum NidType : uint8_t {
  kNidTypeHid = 0x00,
  kNidTypeInternal = 0x01,
  kNidTypeNormalFolder = 0x02,
  kNidTypeSearchFolder = 0x03,
  kNidTypeNormalMessage = 0x04,
  kNidTypeAttachment = 0x05,
  kNidTypeSearchUpdateQueue = 0x06,
  kNidTypeSearchCriteriaObject = 0x07,
  kNidTypeAssocMessage = 0x08,
  kNidTypeContentsTableIndex = 0x0A,
  kNidTypeReceiveFolderTable = 0x0B,
  kNidTypeOutgoingQueueTable = 0x0C,
  kNidTypeHierarchyTable = 0x0D,
  kNidTypeContentsTable = 0x0E,
  kNidTypeAssocContentsTable = 0x0F,
  kNidTypeSearchContentsTable = 0x10,
  kNidTypeAttachmentTable = 0x11,
  kNidTypeRecipientTable = 0x12,
  kNidTypeSearchTableIndex = 0x13,
  kNidTypeLtp = 0x1F,
};

constexpr uint8_t NidTypeOf(Nid nid) { return static_cast<uint8_t>(nid & 0x1F); }
constexpr uint32_t NidIndexOf(Nid nid) { return nid >> 5; }
constexpr Nid MakeNid(uint8_t type, uint32_t index) { return (index << 5) | (type & 0x1F); }
// The sibling node of the same index with another type (folder 0x8022 ->
// its hierarchy table 0x802D, and so on).
constexpr Nid WithNidType(Nid nid, uint8_t type) { return MakeNid(type, NidIndexOf(nid)); }

// Well-known NIDs ([MS-PST] 2.4.1).
constexpr Nid kNidMessageStore = 0x21;
constexpr Nid kNidNameToIdMap = 0x61;
constexpr Nid kNidNormalFolderTemplate = 0xA1;
constexpr Nid kNidSearchFolderTemplate = 0xC1;
constexpr Nid kNidRootFolder = 0x122;
constexpr Nid kNidSearchManagementQueue = 0x1E1;
constexpr Nid kNidSearchActivityList = 0x201;
constexpr Nid kNidSearchDomainObject = 0x261;
constexpr Nid kNidHierarchyTableTemplate = 0x60D;
constexpr Nid kNidContentsTableTemplate = 0x60E;
constexpr Nid kNidAssocContentsTableTemplate = 0x60F;
constexpr Nid kNidSearchContentsTableTemplate = 0x610;
constexpr Nid kNidAttachmentTable = 0x671;
constexpr Nid kNidRecipientTable = 0x692;

constexpr bool IsInternalBid(Bid bid) { return (bid & 0x2) != 0; }

// One node of a subnode tree: its data and, when it has one, its own
// subnode tree (SLENTRY, [MS-PST] 2.2.2.8.3.3.1.1).
struct SubnodeEntry {
  Nid nid = 0;
  Bid data_bid = 0;
  Bid subnode_bid = 0;
};

}  // namespace pst::ndb
