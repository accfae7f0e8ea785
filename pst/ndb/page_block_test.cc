// Page and block trailers: encode/decode round trips and the checks a
// reader makes on them.
#include <gtest/gtest.h>
#include <zlib.h>

#include "pst/base/crc32.h"
#include "pst/ndb/block.h"
#include "pst/ndb/crypt.h"
#include "pst/ndb/page.h"
#include "pst/testing/status_matchers.h"

namespace pst::ndb {
namespace {

const Format kFormats[] = {Format::kAnsi, Format::kUnicode, Format::kUnicode4k};

TEST(PageTest, SignatureFollowsTheFormula) {
  EXPECT_EQ(ComputeSig(0, 0), 0);
  // x = ib ^ bid; sig = (x >> 16) ^ x, low 16 bits; only low 32 bits count.
  EXPECT_EQ(ComputeSig(0x250000, 0x4AA4), 0x4A81);
  EXPECT_EQ(ComputeSig(0x1F2000, 0x4AAF), 0x6AB0);
  EXPECT_EQ(ComputeSig(0x100000000ull + 0x250000, 0x4AA4), 0x4A81);
}

TEST(PageTest, TrailerRoundTripsAndSealedPagesPassTheChecks) {
  for (Format f : kFormats) {
    SCOPED_TRACE(FormatName(f));
    const FormatLayout& l = LayoutOf(f);
    Bytes page(l.page_size);
    for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(i);
    PageTrailer t{0x81, 0x81, 0xBEEF, 0x12345678, 0x4AA4};
    EncodePageTrailer(f, t, page);
    const PageTrailer back = DecodePageTrailer(f, page);
    EXPECT_EQ(back.ptype, 0x81);
    EXPECT_EQ(back.sig, 0xBEEF);
    EXPECT_EQ(back.crc, 0x12345678u);
    EXPECT_EQ(back.bid, 0x4AA4u);
    // The trailer sits in the last bytes; the data area is untouched.
    EXPECT_EQ(page[0], 0);
    EXPECT_EQ(page[l.page_size - l.page_trailer_size - 1],
              static_cast<uint8_t>(l.page_size - l.page_trailer_size - 1));

    SealPage(f, kPageTypeNbt, 0x4AA4, 0x250000, page);
    EXPECT_OK(CheckPage(f, page, kPageTypeNbt, 0x4AA4, 0x250000, "NBT page"));
    EXPECT_EQ(DecodePageTrailer(f, page).crc,
              PstCrc32(ByteSpan(page).first(l.page_size - l.page_trailer_size)));

    struct Damage {
      const char* expect;
      uint8_t ptype;
      Bid bid;
      uint64_t ib;
      bool flip_data;
    };
    const Damage damages[] = {
        {"page type", kPageTypeBbt, 0x4AA4, 0x250000, false},
        {"trailer names BID", kPageTypeNbt, 0x4AA8, 0x250000, false},
        {"signature", kPageTypeNbt, 0x4AA4, 0x250200, false},
        {"CRC", kPageTypeNbt, 0x4AA4, 0x250000, true},
    };
    for (const Damage& d : damages) {
      Bytes p = page;
      if (d.flip_data) p[17] ^= 0x40;
      Status s = CheckPage(f, p, d.ptype, d.bid, d.ib, "NBT page");
      ASSERT_FALSE(s.ok()) << d.expect;
      EXPECT_TRUE(s.IsCorruption());
      EXPECT_NE(s.message().find(d.expect), std::string::npos) << s.ToString();
      EXPECT_NE(s.message().find("0x250"), std::string::npos) << "names the offset";
    }
  }
}

TEST(PageTest, MapPagesHaveNoSignature) {
  Bytes page(512, 0xFF);
  SealPage(Format::kUnicode, kPageTypeAMap, 0x4400, 0x4400, page);
  EXPECT_EQ(DecodePageTrailer(Format::kUnicode, page).sig, 0);
  EXPECT_OK(CheckPage(Format::kUnicode, page, kPageTypeAMap, 0x4400, 0x4400, "AMap"));
}

TEST(PageTest, BTreeMetaRoundTripsInEachFormat) {
  for (Format f : kFormats) {
    Bytes page(LayoutOf(f).page_size);
    BTreePageMeta m{15, 20, 24, 1};
    EncodeBTreePageMeta(f, m, page);
    const BTreePageMeta back = DecodeBTreePageMeta(f, page);
    EXPECT_EQ(back.count, 15);
    EXPECT_EQ(back.max_count, 20);
    EXPECT_EQ(back.entry_size, 24);
    EXPECT_EQ(back.level, 1);
  }
  // Only the 4K layout has room for counts above 255.
  Bytes page(4096);
  EncodeBTreePageMeta(Format::kUnicode4k, BTreePageMeta{169, 169, 24, 0}, page);
  EXPECT_EQ(page[4056], 169);
  EXPECT_EQ(page[4058], 169);
  EXPECT_EQ(page[4060], 24);
}

TEST(BlockTest, DiskSizeRoundsUpWithTheTrailer) {
  EXPECT_EQ(BlockDiskSize(Format::kUnicode, 100), 128u);  // 116 -> 128
  EXPECT_EQ(BlockDiskSize(Format::kUnicode, 48), 64u);
  EXPECT_EQ(BlockDiskSize(Format::kUnicode, 49), 128u);
  EXPECT_EQ(BlockDiskSize(Format::kAnsi, 52), 64u);
  EXPECT_EQ(BlockDiskSize(Format::kAnsi, 8180), 8192u);
  EXPECT_EQ(BlockDiskSize(Format::kUnicode, 8176), 8192u);
  EXPECT_EQ(BlockDiskSize(Format::kUnicode4k, 172), 512u);
  EXPECT_EQ(BlockDiskSize(Format::kUnicode4k, 65512), 65536u);
}

TEST(BlockTest, TrailerRoundTripsInEachFormat) {
  for (Format f : kFormats) {
    Bytes t(LayoutOf(f).block_trailer_size);
    const uint16_t inflated = f == Format::kUnicode4k ? 700 : 300;
    BlockTrailer in{300, 0x1234, 0xCAFEBABE, 0x88, 2, inflated};
    EncodeBlockTrailer(f, in, t);
    const BlockTrailer out = DecodeBlockTrailer(f, t);
    EXPECT_EQ(out.cb, 300);
    EXPECT_EQ(out.sig, 0x1234);
    EXPECT_EQ(out.crc, 0xCAFEBABEu);
    EXPECT_EQ(out.bid, 0x88u);
    EXPECT_EQ(out.inflated_size, in.inflated_size);
  }
}

TEST(BlockTest, EncodedBlocksDecodeBackAndEveryTrailerFieldIsChecked) {
  const Bytes data = [] {
    Bytes b(300);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 3);
    return b;
  }();
  for (Format f : {Format::kAnsi, Format::kUnicode}) {
    for (CryptMethod m : {CryptMethod::kNone, CryptMethod::kPermute, CryptMethod::kCyclic}) {
      for (Bid bid : {Bid{0x1C}, Bid{0x1E}}) {  // data and internal
        SCOPED_TRACE(std::string(FormatName(f)) + " method " +
                     std::to_string(static_cast<int>(m)) + " bid " + std::to_string(bid));
        const uint64_t ib = 0x4800;
        auto image = EncodeBlock(f, m, bid, ib, data);
        ASSERT_OK(image);
        ASSERT_EQ(image->size(), BlockDiskSize(f, data.size()));
        // Stored bytes are encoded for data blocks only.
        const bool plain = m == CryptMethod::kNone || IsInternalBid(bid);
        EXPECT_EQ(std::equal(data.begin(), data.end(), image->begin()), plain);
        const StoredBlock sb{bid, ib, 300, 300};
        auto back = DecodeBlock(f, m, sb, *image);
        ASSERT_OK(back);
        EXPECT_EQ(*back, data);

        const size_t tpos = image->size() - LayoutOf(f).block_trailer_size;
        struct Damage {
          const char* expect;
          size_t at;
        };
        const size_t bid_at = f == Format::kAnsi ? 4 : 8;
        const size_t crc_at = f == Format::kAnsi ? 8 : 4;
        for (const Damage& d : {Damage{"cb", tpos}, Damage{"signature", tpos + 2},
                                Damage{"names BID", tpos + bid_at}, Damage{"CRC", tpos + crc_at},
                                Damage{"CRC", 5}}) {
          Bytes broken = *image;
          broken[d.at] ^= 0x08;
          auto r = DecodeBlock(f, m, sb, broken);
          ASSERT_FALSE(r.ok()) << d.expect;
          EXPECT_TRUE(r.status().IsCorruption());
          EXPECT_NE(r.status().message().find(d.expect), std::string::npos)
              << r.status().ToString();
        }
        // An image of the wrong length (a short read) is refused, not overrun.
        EXPECT_FALSE(DecodeBlock(f, m, sb, ByteSpan(*image).first(image->size() - 64)).ok());
      }
    }
  }
}

TEST(BlockTest, EncodeRefusesWhatDoesNotFit) {
  Bytes big(8181);
  EXPECT_EQ(EncodeBlock(Format::kUnicode, CryptMethod::kNone, 8, 0x4800, ByteSpan(big).first(8177))
                .status()
                .code(),
            Status::Code::kInvalidArgument);
  EXPECT_FALSE(EncodeBlock(Format::kAnsi, CryptMethod::kNone, 8, 0x4800, big).ok());
  EXPECT_OK(EncodeBlock(Format::kAnsi, CryptMethod::kNone, 8, 0x4800, ByteSpan(big).first(8180)));
  EXPECT_FALSE(EncodeBlock(Format::kUnicode, CryptMethod::kNone, 9, 0x4800, ByteSpan()).ok());
  EXPECT_EQ(EncodeBlock(Format::kUnicode4k, CryptMethod::kNone, 8, 0x4800, ByteSpan())
                .status()
                .code(),
            Status::Code::kNotSupported);
}

// The 4K variant stores some blocks as zlib streams (cb < cbInflated).
TEST(BlockTest, CompressedBlocksOfThe4kVariantInflate) {
  Bytes plain(5000);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>("abcabd"[i % 6]);
  Bytes packed(compressBound(static_cast<uLong>(plain.size())));
  uLongf packed_len = static_cast<uLongf>(packed.size());
  ASSERT_EQ(compress(packed.data(), &packed_len, plain.data(), static_cast<uLong>(plain.size())),
            Z_OK);
  packed.resize(packed_len);
  const Format f = Format::kUnicode4k;
  const uint64_t ib = 0x25000;
  auto make = [&](Bid bid, const Bytes& stored, uint16_t inflated) {
    Bytes image(BlockDiskSize(f, stored.size()), 0);
    std::copy(stored.begin(), stored.end(), image.begin());
    BlockTrailer t{static_cast<uint16_t>(stored.size()), ComputeSig(ib, bid), PstCrc32(stored),
                   bid, 2, inflated};
    EncodeBlockTrailer(f, t, std::span<uint8_t>(image.data() + image.size() - 24, 24));
    return image;
  };
  const uint16_t n = static_cast<uint16_t>(plain.size());
  const uint16_t cb = static_cast<uint16_t>(packed.size());
  auto back = DecodeBlock(f, CryptMethod::kNone, StoredBlock{0x8, ib, cb, n}, make(0x8, packed, n));
  ASSERT_OK(back);
  EXPECT_EQ(*back, plain);

  // Index and trailer disagree on the inflated size.
  EXPECT_FALSE(
      DecodeBlock(f, CryptMethod::kNone, StoredBlock{0x8, ib, cb, 4000}, make(0x8, packed, n)).ok());
  // A stream that does not inflate to the promised size.
  auto r = DecodeBlock(f, CryptMethod::kNone, StoredBlock{0x8, ib, cb, 6000},
                       make(0x8, packed, 6000));
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.status().message().find("inflate"), std::string::npos) << r.status().ToString();
  Bytes garbage = packed;
  garbage[garbage.size() / 2] ^= 0xFF;
  EXPECT_FALSE(
      DecodeBlock(f, CryptMethod::kNone, StoredBlock{0x8, ib, cb, n}, make(0x8, garbage, n)).ok());
  // More than a block can hold.
  EXPECT_FALSE(DecodeBlock(f, CryptMethod::kNone, StoredBlock{0x8, ib, cb, 65535},
                           make(0x8, packed, 65535))
                   .ok());
  // The order of compression and encoding is unknown: refuse, do not guess.
  EXPECT_EQ(DecodeBlock(f, CryptMethod::kPermute, StoredBlock{0x8, ib, cb, n},
                        make(0x8, packed, n))
                .status()
                .code(),
            Status::Code::kNotSupported);
}

}  // namespace
}  // namespace pst::ndb
