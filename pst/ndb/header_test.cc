#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "pst/base/coding.h"
#include "pst/base/crc32.h"
#include "pst/ndb/header.h"
#include "pst/testing/samples.h"
#include "pst/testing/status_matchers.h"

namespace pst::ndb {
namespace {

namespace fs = std::filesystem;

Bytes ReadPrefix(const fs::path& path, size_t n) {
  std::ifstream in(path, std::ios::binary);
  Bytes b(n);
  in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(n));
  b.resize(static_cast<size_t>(in.gcount()));
  return b;
}

// Recomputes both CRCs after a test changed a field.
void FixCrcs(Bytes& h, bool wide) {
  if (wide) EncodeFixed32(h.data() + 0x20C, PstCrc32(ByteSpan(h).subspan(8, 516)));
  EncodeFixed32(h.data() + 4, PstCrc32(ByteSpan(h).subspan(8, 471)));
}

TEST(HeaderTest, RealHeadersDecodeAndEncodeBackToTheSameBytes) {
  size_t count = 0;
  for (const fs::path& path : test::SampleStores()) {
    SCOPED_TRACE(path.filename().string());
    const Bytes raw = ReadPrefix(path, 564);
    auto h = DecodeHeader(raw);
    ASSERT_OK(h);
    EXPECT_EQ(h->root.file_eof, fs::file_size(path));
    EXPECT_NE(h->root.nbt_root.offset, 0u);
    const size_t size = LayoutOf(h->format).header_size;
    auto again = EncodeHeader(*h);
    ASSERT_OK(again);
    EXPECT_EQ(*again, Bytes(raw.begin(), raw.begin() + static_cast<ptrdiff_t>(size)));
    ++count;
  }
  EXPECT_GE(count, 28u);
}

TEST(HeaderTest, KnownFieldsOfThreeFormats) {
  auto ansi = DecodeHeader(ReadPrefix(test::SamplePath("ansi-outlook98-empty-32k.pst"), 564));
  ASSERT_OK(ansi);
  EXPECT_EQ(ansi->format, Format::kAnsi);
  EXPECT_EQ(ansi->next_block_bid, 0x6Cu);
  EXPECT_EQ(ansi->next_page_bid, 0x4Fu);
  EXPECT_EQ(ansi->root.file_eof, 0x8000u);
  EXPECT_EQ(ansi->crypt_method, CryptMethod::kPermute);
  EXPECT_EQ(ansi->nid_counters[2], 0x403u);

  auto uni = DecodeHeader(ReadPrefix(test::SamplePath("unicode-empty-outlook.pst"), 564));
  ASSERT_OK(uni);
  EXPECT_EQ(uni->format, Format::kUnicode);
  EXPECT_EQ(uni->next_block_bid, 0x130u);
  EXPECT_EQ(uni->next_page_bid, 0x17Fu);
  EXPECT_EQ(uni->root.amap_valid, 2);

  auto hi = DecodeHeader(ReadPrefix(test::SamplePath("unicode-high-encryption.pst"), 564));
  ASSERT_OK(hi);
  EXPECT_EQ(hi->crypt_method, CryptMethod::kCyclic);

  auto ost = DecodeHeader(ReadPrefix(test::SamplePath("4k-ost-pstextractortest.ost"), 564));
  ASSERT_OK(ost);
  EXPECT_EQ(ost->format, Format::kUnicode4k);
  EXPECT_EQ(ost->client_magic, 0x4F53);
  EXPECT_EQ(ost->crypt_method, CryptMethod::kNone);
}

TEST(HeaderTest, TruncatedFragmentGivesAClearError) {
  const Bytes raw = ReadPrefix(test::SamplePath("unicode-truncated-header-40b.bin"), 564);
  ASSERT_EQ(raw.size(), 40u);
  auto h = DecodeHeader(raw);
  ASSERT_FALSE(h.ok());
  EXPECT_TRUE(h.status().IsCorruption());
  EXPECT_NE(h.status().message().find("truncated"), std::string::npos) << h.status().ToString();
  EXPECT_NE(h.status().message().find("564"), std::string::npos);
  EXPECT_FALSE(DecodeHeader(ByteSpan(raw).first(5)).ok());
  EXPECT_FALSE(DecodeHeader(ByteSpan()).ok());
}

TEST(HeaderTest, BrokenFieldsAreNamed) {
  const Bytes good = ReadPrefix(test::SamplePath("unicode-empty-outlook.pst"), 564);
  const Bytes good_ansi = ReadPrefix(test::SamplePath("ansi-pstsdk-sample2.pst"), 564);
  // The cases below change bytes in place: without the samples they would
  // write past the end.
  ASSERT_EQ(good.size(), 564u) << "unicode-empty-outlook.pst missing or short in " << test::SampleDir();
  ASSERT_EQ(good_ansi.size(), 564u) << "ansi-pstsdk-sample2.pst missing or short in " << test::SampleDir();
  struct Case {
    const char* field;
    bool ansi;
    size_t offset;
    uint8_t value;
    bool fix_crcs;
    Status::Code code;
  };
  const Case cases[] = {
      {"dwMagic", false, 0, 'X', false, Status::Code::kCorruption},
      {"dwCRCPartial", false, 0x30, 0x77, false, Status::Code::kCorruption},
      {"dwCRCFull", false, 0x205, 0x77, false, Status::Code::kCorruption},
      {"dwCRCPartial", true, 0x30, 0x77, false, Status::Code::kCorruption},
      {"wMagicClient", false, 0x08, 'X', true, Status::Code::kCorruption},
      {"wVer", false, 0x0A, 20, true, Status::Code::kCorruption},
      {"wVer", false, 0x0A, 40, true, Status::Code::kNotSupported},
      {"bSentinel", false, 0x200, 0x00, true, Status::Code::kCorruption},
      {"bSentinel", true, 0x1CC, 0x81, true, Status::Code::kCorruption},
      {"bCryptMethod", false, 0x201, 0x03, true, Status::Code::kCorruption},
      {"bCryptMethod", false, 0x201, 0x10, true, Status::Code::kNotSupported},
      {"bCryptMethod", true, 0x1CD, 0x09, true, Status::Code::kCorruption},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.field) + (c.ansi ? " (ANSI)" : ""));
    Bytes h = c.ansi ? good_ansi : good;
    h[c.offset] = c.value;
    if (c.fix_crcs) FixCrcs(h, !c.ansi);
    auto r = DecodeHeader(h);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.status().code(), c.code) << r.status().ToString();
    EXPECT_NE(r.status().message().find(c.field), std::string::npos) << r.status().ToString();
  }
}

TEST(HeaderTest, AnsiHeaderNeeds512BytesAndUnicode564) {
  const Bytes ansi = ReadPrefix(test::SamplePath("ansi-pstsdk-sample2.pst"), 564);
  EXPECT_OK(DecodeHeader(ByteSpan(ansi).first(512)));
  EXPECT_FALSE(DecodeHeader(ByteSpan(ansi).first(511)).ok());
  const Bytes uni = ReadPrefix(test::SamplePath("unicode-empty-outlook.pst"), 564);
  EXPECT_FALSE(DecodeHeader(ByteSpan(uni).first(563)).ok());
}

TEST(HeaderTest, EncodeBuildsANewHeaderAndRefusesOversizedAnsiValues) {
  Header h;
  h.format = Format::kUnicode;
  h.crypt_method = CryptMethod::kCyclic;
  h.next_block_bid = 0x123456789ull;
  h.next_page_bid = 0x400;
  h.unique = 77;
  h.nid_counters[2] = 0x404;
  h.root.file_eof = 0x42400;
  h.root.nbt_root = {0x17D, 0x41000};
  h.root.bbt_root = {0x17C, 0x40E00};
  h.root.amap_valid = 2;
  auto bytes = EncodeHeader(h);
  ASSERT_OK(bytes);
  ASSERT_EQ(bytes->size(), 564u);
  EXPECT_EQ((*bytes)[0x100], 0xFF);  // rgbFM of a new store
  auto back = DecodeHeader(*bytes);
  ASSERT_OK(back);
  EXPECT_EQ(back->version, 23);
  EXPECT_EQ(back->crypt_method, CryptMethod::kCyclic);
  EXPECT_EQ(back->next_block_bid, 0x123456789ull);
  EXPECT_EQ(back->unique, 77u);
  EXPECT_EQ(back->nid_counters[2], 0x404u);
  EXPECT_EQ(back->root.nbt_root.offset, 0x41000u);
  EXPECT_EQ(back->root.bbt_root.bid, 0x17Cu);

  h.format = Format::kAnsi;
  auto ansi = EncodeHeader(h);
  ASSERT_FALSE(ansi.ok());
  EXPECT_EQ(ansi.status().code(), Status::Code::kInvalidArgument);
  h.next_block_bid = 0x1000;
  ansi = EncodeHeader(h);
  ASSERT_OK(ansi);
  EXPECT_EQ(ansi->size(), 512u);
  auto ansi_back = DecodeHeader(*ansi);
  ASSERT_OK(ansi_back);
  EXPECT_EQ(ansi_back->version, 14);
  EXPECT_EQ(ansi_back->root.bbt_root.offset, 0x40E00u);
}

}  // namespace
}  // namespace pst::ndb
