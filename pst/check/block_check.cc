// Block pass: every block the BBT lists ([MS-PST] 2.2.2.8) is read once,
// its trailer checked against its BBT entry, and internal blocks decoded:
//
// BLOCKTRAILER (block.h): cb = BBT cb, wSig = ComputeSig(ib, bid),
// dwCRC over the cb stored bytes, bid = the BBT's bid.
// XBLOCK / XXBLOCK: btype 0x01, cLevel 1 / 2, cEnt (2), lcbTotal (4),
//   rgbid: cEnt BIDs (4 ANSI / 8 Unicode).
// SLBLOCK / SIBLOCK: btype 0x02, cLevel 0 / 1, cEnt (2), dwPadding (4,
//   Unicode only), then cEnt SLENTRY {nid, bidData, bidSub} or SIENTRY
//   {nid, bid}, each field 4 (ANSI) / 8 (Unicode) bytes; only the low 32
//   bits of a nid count.
// Block cb is exactly header + cEnt entries in every store Outlook wrote.
#include <string>

#include "pst/base/byte_reader.h"
#include "pst/base/checked_math.h"
#include "pst/base/crc32.h"
#include "pst/base/hex.h"
#include "pst/check/context.h"
#include "pst/ndb/block.h"
#include "pst/ndb/page.h"

namespace pst::check {
namespace {

// Checks the trailer of a block image; false if the contents cannot be
// trusted (wrong block, bad CRC).
bool CheckTrailer(Context& ctx, const BlockRecord& b, ByteSpan image) {
  const ndb::FormatLayout& l = ctx.layout();
  const std::string where = BlockWhere(b);
  const ndb::BlockTrailer t =
      ndb::DecodeBlockTrailer(ctx.header.format, image.last(l.block_trailer_size));
  if ((t.bid & ~ndb::Bid{1}) != b.bid) {
    ctx.findings.Error(where, "trailer names BID " + Hex(t.bid) + " (cb " + std::to_string(t.cb) +
                                  "): the BBT entry points at the wrong place");
    return false;
  }
  bool ok = true;
  if (t.cb != b.size) {
    ctx.findings.Error(where, "trailer cb " + std::to_string(t.cb) + " differs from the BBT's " +
                                  std::to_string(b.size));
    ok = false;
  }
  const uint16_t sig = ndb::ComputeSig(b.offset, b.bid);
  if (t.sig != sig) {
    ctx.findings.Error(where, "signature " + Hex(t.sig) + ", expected " + Hex(sig));
    ok = false;
  }
  const uint32_t crc = PstCrc32(image.first(b.size));
  if (t.crc != crc) {
    ctx.findings.Error(where, "CRC " + Hex(t.crc) + " does not match the computed " + Hex(crc));
    ok = false;
  }
  if (ctx.header.format == ndb::Format::kUnicode4k && t.inflated_size != b.inflated_size) {
    ctx.findings.Error(where, "trailer's inflated size " + std::to_string(t.inflated_size) +
                                  " differs from the BBT's " + std::to_string(b.inflated_size));
    ok = false;
  }
  return ok;
}

void ParseInternal(Context& ctx, BlockRecord& b, ByteSpan data) {
  const bool wide = ctx.layout().wide;
  const size_t width = wide ? 8 : 4;
  const std::string where = BlockWhere(b);
  ByteReader r(data);
  const uint8_t btype = r.U8();
  const uint8_t level = r.U8();
  const uint16_t count = r.U16();
  size_t header = 4;
  size_t entry_size = 0;
  if (btype == 0x01 && (level == 1 || level == 2)) {
    b.kind = level == 1 ? BlockKind::kXBlock : BlockKind::kXXBlock;
    b.total = r.U32();
    header = 8;
    entry_size = width;
  } else if (btype == 0x02 && (level == 0 || level == 1)) {
    b.kind = level == 0 ? BlockKind::kSLBlock : BlockKind::kSIBlock;
    if (wide) {
      r.U32();  // dwPadding
      header = 8;
    }
    entry_size = (level == 0 ? 3 : 2) * width;
  } else {
    b.kind = BlockKind::kBadInternal;
    ctx.findings.Error(where, "internal block with btype " + Hex(btype) + " and cLevel " +
                                  std::to_string(level) + " is neither a data-tree nor a "
                                  "subnode-tree block");
    return;
  }
  if (!r.ok()) {
    b.kind = BlockKind::kBadInternal;
    ctx.findings.Error(where, "block of " + std::to_string(data.size()) +
                                  " bytes is too short for its header");
    return;
  }
  const std::string kind_name = KindName(b.kind);
  const size_t need = header + size_t{count} * entry_size;
  if (need > data.size()) {
    b.kind = BlockKind::kBadInternal;
    ctx.findings.Error(where, kind_name + " cEnt " + std::to_string(count) + " needs " +
                                  std::to_string(need) + " bytes, the block has " +
                                  std::to_string(data.size()));
    return;
  }
  if (need < data.size()) {
    ctx.findings.Warning(where, kind_name + " of " + std::to_string(count) +
                                    " entries has " + std::to_string(data.size() - need) +
                                    " bytes beyond them");
  }
  if (count == 0) ctx.findings.Warning(where, kind_name + " has no entries");
  b.first_child = ctx.children.size();
  b.child_count = count;
  for (size_t i = 0; i < count; ++i) {
    ChildRef c;
    if (b.kind == BlockKind::kXBlock || b.kind == BlockKind::kXXBlock) {
      c.bid = r.U32or64(wide);
    } else {
      c.nid = static_cast<ndb::Nid>(r.U32or64(wide));
      c.bid = r.U32or64(wide);
      if (b.kind == BlockKind::kSLBlock) c.sub = r.U32or64(wide);
    }
    ctx.children.push_back(c);
  }
}

}  // namespace

void CheckBlocks(Context& ctx) {
  const ndb::FormatLayout& l = ctx.layout();
  const uint64_t file_size = ctx.file.Size();
  const uint64_t eof = ctx.header.root.file_eof;
  Bytes image;
  for (BlockRecord& b : ctx.blocks) {
    const std::string where = BlockWhere(b);
    if (b.bid == 0) {
      ctx.findings.Error(where, "BID 0 names no block");
      continue;
    }
    if (b.size > l.max_block_data || b.inflated_size > l.max_block_data) {
      ctx.findings.Error(where, "size " + std::to_string(b.size) + " exceeds the largest block "
                                    "of the format (" + std::to_string(l.max_block_data) + ")");
      continue;
    }
    if (b.offset % l.block_alignment != 0) {
      ctx.findings.Error(where, "is not aligned to " + std::to_string(l.block_alignment) + " bytes");
      continue;
    }
    const uint64_t disk = ndb::BlockDiskSize(ctx.header.format, b.size);
    if (!RangeWithin(b.offset, disk, file_size)) {
      ctx.findings.Error(where, std::to_string(disk) + " bytes pass the end of the file (" +
                                    Hex(file_size) + ")");
      continue;
    }
    if (!RangeWithin(b.offset, disk, eof)) {
      ctx.findings.Error(where, "lies past ibFileEof " + Hex(eof));
    }
    image.resize(static_cast<size_t>(disk));
    if (Status s = ctx.file.Read(b.offset, image); !s.ok()) {
      ctx.findings.Error(where, "cannot be read: " + s.message());
      continue;
    }
    b.kind = BlockKind::kBadTrailer;
    if (!CheckTrailer(ctx, b, image)) continue;
    if (!ndb::IsInternalBid(b.bid)) {
      b.kind = BlockKind::kData;
      continue;
    }
    // Internal blocks are never encoded; 4K stores may compress them.
    ndb::StoredBlock stored{b.bid, b.offset, b.size, b.inflated_size};
    auto data = ndb::DecodeBlock(ctx.header.format, ctx.header.crypt_method, stored, image);
    if (!data.ok()) {
      ctx.findings.Error(where, data.status().message());
      continue;
    }
    ParseInternal(ctx, b, *data);
  }
}

}  // namespace pst::check
