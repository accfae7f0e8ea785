// Header pass: the fields of the HEADER ([MS-PST] 2.2.2.6) a reader trusts
// before anything else, and the ROOT values that only need the file size.
//
//   field          ANSI   Unicode  checked here
//   dwMagic        0x000  0x000    "!BDN", else nothing can be read
//   dwCRCPartial   0x004  0x004    CRC of the 471 bytes from 0x008
//   wMagicClient   0x008  0x008    "SM" (PST) or "SO" (OST)
//   wVer           0x00A  0x00A    14/15 ANSI, 23/37 Unicode, 36 4K
//   bSentinel      0x1CC  0x200    0x80
//   bCryptMethod   0x1CD  0x201    0, 1 or 2
//   dwCRCFull      -      0x20C    CRC of the 516 bytes from 0x008
//   ROOT.ibFileEof 0x0A8  0x0B8    the file's length
//   ROOT.fAMapValid 0x0C8 0x0F8    0 invalid, 1 valid (old rule), 2 valid
//
// A bad CRC or sentinel is reported and then repaired in a private copy of
// the header bytes, so the rest of the store can still be checked.
#include <algorithm>
#include <string>

#include "pst/base/coding.h"
#include "pst/base/crc32.h"
#include "pst/base/hex.h"
#include "pst/check/context.h"

namespace pst::check {
namespace {

constexpr uint32_t kMagic = 0x4E444221;  // "!BDN"
constexpr size_t kCrcStart = 0x008;
constexpr size_t kCrcPartialLength = 471;
constexpr size_t kCrcFullLength = 516;
constexpr size_t kAnsiSentinel = 0x1CC;
constexpr size_t kUnicodeSentinel = 0x200;
constexpr size_t kCrcFullOffset = 0x20C;

// The file with its first bytes replaced: the header as repaired.
class OverlayFile final : public io::RandomAccessFile {
 public:
  OverlayFile(const io::RandomAccessFile& base, Bytes head) : base_(base), head_(std::move(head)) {}

  Status Read(uint64_t offset, std::span<uint8_t> out) const override {
    PST_RETURN_IF_ERROR(base_.Read(offset, out));
    for (size_t i = 0; i < out.size() && offset + i < head_.size(); ++i) {
      out[i] = head_[offset + i];
    }
    return Status::Ok();
  }
  uint64_t Size() const override { return base_.Size(); }
  std::string Name() const override { return base_.Name(); }

 private:
  const io::RandomAccessFile& base_;
  Bytes head_;
};

// Does not own the file: the caller's file outlives the check.
std::shared_ptr<const io::RandomAccessFile> Unowned(const io::RandomAccessFile& file) {
  return std::shared_ptr<const io::RandomAccessFile>(std::shared_ptr<void>(), &file);
}

}  // namespace

bool CheckHeader(Context& ctx) {
  Findings& f = ctx.findings;
  const uint64_t size = ctx.file.Size();
  Bytes head(static_cast<size_t>(std::min<uint64_t>(size, 564)));
  if (Status s = ctx.file.Read(0, head); !s.ok()) {
    f.Error("header", "cannot be read: " + s.message());
    return false;
  }
  if (head.size() < 12) {
    f.Error("header", "the file has " + std::to_string(size) + " bytes, too few for a header");
    return false;
  }
  if (DecodeFixed32(head.data()) != kMagic) {
    f.Error("header", "dwMagic " + Hex(DecodeFixed32(head.data())) +
                          " is not \"!BDN\": not a PST or OST file");
    return false;
  }
  const uint16_t version = DecodeFixed16(head.data() + 0x0A);
  const bool ansi = version == 14 || version == 15;
  const size_t header_size = ansi ? 512 : 564;
  if (head.size() < header_size) {
    f.Error("header", "the file has " + std::to_string(size) + " bytes; a header of wVer " +
                          std::to_string(version) + " needs " + std::to_string(header_size));
    return false;
  }

  // Repairs go into `head`; `repaired` says whether the engine needs them.
  bool repaired = false;
  const uint32_t partial = DecodeFixed32(head.data() + 4);
  const uint32_t want_partial = PstCrc32(ByteSpan(head).subspan(kCrcStart, kCrcPartialLength));
  if (!ansi) {
    const uint32_t full = DecodeFixed32(head.data() + kCrcFullOffset);
    const uint32_t want_full = PstCrc32(ByteSpan(head).subspan(kCrcStart, kCrcFullLength));
    if (full != want_full) {
      f.Error("header", "dwCRCFull " + Hex(full) + " does not match the computed " +
                            Hex(want_full));
      EncodeFixed32(head.data() + kCrcFullOffset, want_full);
      repaired = true;
    }
  }
  if (partial != want_partial) {
    f.Error("header", "dwCRCPartial " + Hex(partial) + " does not match the computed " +
                          Hex(want_partial));
    EncodeFixed32(head.data() + 4, want_partial);
    repaired = true;
  }
  const size_t sentinel_at = ansi ? kAnsiSentinel : kUnicodeSentinel;
  if (head[sentinel_at] != 0x80) {
    f.Error("header", "bSentinel at " + Hex(sentinel_at) + " is " + Hex(head[sentinel_at]) +
                          ", not 0x80");
    head[sentinel_at] = 0x80;
    // The sentinel lies inside both CRC ranges: recompute what now covers it.
    if (!ansi) {
      EncodeFixed32(head.data() + kCrcFullOffset,
                    PstCrc32(ByteSpan(head).subspan(kCrcStart, kCrcFullLength)));
    }
    EncodeFixed32(head.data() + 4, PstCrc32(ByteSpan(head).subspan(kCrcStart, kCrcPartialLength)));
    repaired = true;
  }

  auto header = ndb::DecodeHeader(head);
  if (!header.ok()) {
    f.Error("header", header.status().message());
    return false;
  }
  ctx.header = std::move(header).value();
  ctx.readable_file =
      repaired ? std::make_shared<OverlayFile>(ctx.file, std::move(head)) : Unowned(ctx.file);

  const ndb::Root& root = ctx.header.root;
  if (root.file_eof > size) {
    f.Error("ROOT", "ibFileEof " + Hex(root.file_eof) + " passes the end of the file (" +
                        Hex(size) + " bytes): the file is truncated");
  } else if (root.file_eof < size) {
    // Note: bytes past the end the store claims are never read; nothing in
    // them belongs to the store.
    f.Note("ROOT", std::to_string(size - root.file_eof) + " bytes follow ibFileEof " +
                          Hex(root.file_eof));
  }
  if (root.amap_valid > 2) {
    f.Error("ROOT", "fAMapValid " + std::to_string(root.amap_valid) + " is not 0, 1 or 2");
  } else if (root.amap_valid == 0) {
    f.Warning("ROOT", "fAMapValid 0: the allocation maps are marked invalid and must be rebuilt "
                      "before space is allocated");
  }
  return true;
}

}  // namespace pst::check
