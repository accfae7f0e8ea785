// The consistency check that the writer's tests rely on must see what it
// claims to check.
#include "pst/io/memory_file.h"
#include "pst/ndb/page.h"
#include "pst/ndb/testing/store_check_test_util.h"
#include "pst/ndb/testing/writer_test_util.h"
#include "pst/ndb/transaction.h"
#include "pst/testing/status_matchers.h"

namespace pst::ndb {
namespace {

using testing::CheckStore;
using testing::CopyOf;
using testing::Pattern;

// Rewrites the first AMap's bit for `offset` (set or clear), CRC redone.
void SetAMapBit(io::MemoryFile& file, Format format, uint64_t offset, bool used) {
  Bytes page(file.contents().begin() + 0x4400, file.contents().begin() + 0x4600);
  const size_t bits = format == Format::kAnsi ? 4 : 0;
  const uint64_t slot = (offset - 0x4400) / 64;
  const auto mask = static_cast<uint8_t>(0x80 >> (slot % 8));
  if (used) {
    page[bits + slot / 8] |= mask;
  } else {
    page[bits + slot / 8] &= static_cast<uint8_t>(~mask);
  }
  SealPage(format, kPageTypeAMap, 0x4400, 0x4400, page);
  ASSERT_OK(file.Write(0x4400, page));
}

TEST(StoreCheck, SeesBrokenMapsCountsAndHeaders) {
  for (Format format : {Format::kAnsi, Format::kUnicode}) {
    SCOPED_TRACE(format == Format::kAnsi ? "ANSI" : "Unicode");
    auto file = std::make_shared<io::MemoryFile>();
    auto db = WritableDatabase::Create(file, format, CryptMethod::kPermute);
    ASSERT_OK(db);
    auto txn = (*db)->Begin();
    ASSERT_OK(txn);
    auto bid = (*txn)->WriteData(Pattern(3000, 1));
    ASSERT_OK(bid);
    ASSERT_OK((*txn)->PutNode({0x21, *bid, 0, 0}));
    ASSERT_OK((*txn)->Commit());
    ASSERT_OK(CheckStore(file));
    const BlockEntry block = *(*db)->database().FindBlock(*bid);

    auto unmarked = CopyOf(*file);  // the block's first slot shown free
    SetAMapBit(*unmarked, format, block.offset, false);
    EXPECT_TRUE(CheckStore(unmarked).IsCorruption());

    // A stray used slot is fine in other writers' stores, but then
    // cbAMapFree no longer matches.
    auto extra = CopyOf(*file);
    SetAMapBit(*extra, format, 0x4400 + 3000 * 64, true);
    EXPECT_TRUE(CheckStore(extra).IsCorruption());
    testing::CheckOptions loose;
    loose.exact = false;
    EXPECT_TRUE(CheckStore(extra, loose).IsCorruption());

    auto miscounted = CopyOf(*file);
    ASSERT_OK(testing::PatchRefCount(*miscounted, *bid, 3));
    EXPECT_TRUE(CheckStore(miscounted).IsCorruption());

    auto header = CopyOf(*file);
    Header h = (*db)->database().header();
    h.root.amap_free -= 64;
    auto bytes = EncodeHeader(h);
    ASSERT_OK(bytes);
    ASSERT_OK(header->Write(0, *bytes));
    EXPECT_TRUE(CheckStore(header).IsCorruption());
  }
}

}  // namespace
}  // namespace pst::ndb
