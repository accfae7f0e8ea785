// The LTP writers through the real node database: contexts written in a
// transaction, committed to a file, read back from the file; updated and
// deleted the way the messaging layer does it.
#include <gtest/gtest.h>

#include "pst/base/coding.h"
#include "pst/io/memory_file.h"
#include "pst/ltp/node_writer.h"
#include "pst/ltp/property_context.h"
#include "pst/ltp/table_context.h"
#include "pst/ndb/database.h"
#include "pst/ndb/transaction.h"
#include "pst/testing/status_matchers.h"

namespace pst::ltp {
namespace {

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed * 31 + i * 7 + i / 253);
  return b;
}

Bytes I32(uint32_t v) {
  Bytes b(4);
  EncodeFixed32(b.data(), v);
  return b;
}

class TransactionRoundTripTest : public ::testing::TestWithParam<ndb::Format> {
 protected:
  void SetUp() override {
    file_ = std::make_shared<io::MemoryFile>();
    auto db = ndb::WritableDatabase::Create(file_, GetParam(), ndb::CryptMethod::kPermute);
    ASSERT_OK(db);
    db_ = std::move(*db);
  }
  std::unique_ptr<ndb::Transaction> Begin() {
    auto txn = db_->Begin();
    EXPECT_OK(txn);
    return txn.ok() ? std::move(*txn) : nullptr;
  }
  // The committed file, opened afresh.
  std::unique_ptr<ndb::Database> Reopen() {
    auto copy = std::make_shared<io::MemoryFile>(file_->contents());
    auto db = ndb::Database::Open(copy);
    EXPECT_OK(db);
    return db.ok() ? std::move(*db) : nullptr;
  }

  std::shared_ptr<io::MemoryFile> file_;
  std::unique_ptr<ndb::WritableDatabase> db_;
};

const size_t kSizes[] = {0, 1, 1024, 1025, 3580, 3581, 8176, 8181, 70000};

TEST_P(TransactionRoundTripTest, ContextsWrittenUpdatedAndDeleted) {
  auto txn = Begin();
  ASSERT_TRUE(txn);
  PropertyContextBuilder pc(GetParam());
  for (size_t i = 0; i < std::size(kSizes); ++i) {
    ASSERT_OK(pc.Set(MakeTag(static_cast<uint16_t>(0x6000 + i), kPtypBinary),
                     Pattern(kSizes[i], static_cast<uint8_t>(i))));
  }
  ASSERT_OK(pc.Set(MakeTag(0x3602, kPtypInteger32), I32(42)));
  ASSERT_OK(PutPropertyContext(*txn, 0x200024, 0x8022, pc));

  TableContextBuilder tc(GetParam());
  ASSERT_OK(tc.AddColumn(MakeTag(0x3001, kPtypBinary)));
  ASSERT_OK(tc.AddColumn(0x36020003));
  for (uint32_t r = 0; r < 700; ++r) {  // 17-byte rows: a matrix over two blocks
    ASSERT_OK(tc.AddRow(0x200024 + r * 0x20, {{MakeTag(0x3001, kPtypBinary),
                                               Pattern(r % 50 == 7 ? 2000 : r % 9, 3)},
                                              {0x36020003, I32(r)}}));
  }
  ASSERT_OK(PutTableContext(*txn, 0x802E, 0, tc));
  ASSERT_OK(PutSharedCopy(*txn, 0x804E, 0, 0x802E));
  // A recipient table as a subnode of the message, written on its own.
  auto sub = WriteTableSubnode(*txn, 0x692, tc);
  ASSERT_OK(sub);
  PropertyContextBuilder with_sub(GetParam());
  ASSERT_OK(with_sub.AddSubnode(*sub));
  ASSERT_OK(PutPropertyContext(*txn, 0x200044, 0x8022, with_sub));
  ASSERT_OK(txn->Commit());

  auto db = Reopen();
  ASSERT_TRUE(db);
  auto read = PropertyContext::Open(std::move(db->OpenNode(0x200024).value()));
  ASSERT_OK(read);
  for (size_t i = 0; i < std::size(kSizes); ++i) {
    auto v = read->ReadValue(*read->Find(static_cast<uint16_t>(0x6000 + i)));
    ASSERT_OK(v);
    EXPECT_EQ(*v, Pattern(kSizes[i], static_cast<uint8_t>(i))) << kSizes[i];
  }
  for (ndb::Nid nid : {ndb::Nid{0x802E}, ndb::Nid{0x804E}}) {
    auto table = TableContext::Open(std::move(db->OpenNode(nid).value()));
    ASSERT_OK(table);
    ASSERT_EQ(table->row_count(), 700u);
    for (size_t r = 0; r < 700; r += 49) {
      EXPECT_EQ(**table->ReadCell(r, *table->FindColumn(MakeTag(0x3001, kPtypBinary))),
                Pattern(r % 50 == 7 ? 2000 : r % 9, 3));
    }
  }
  EXPECT_EQ(db->FindNode(0x802E)->data_bid, db->FindNode(0x804E)->data_bid);
  auto message = db->OpenNode(0x200044);
  ASSERT_OK(message);
  auto recipients = (*message)->OpenSubnode(0x692);
  ASSERT_OK(recipients);
  auto table = TableContext::Open(std::move(*recipients));
  ASSERT_OK(table);
  EXPECT_EQ(table->row_count(), 700u);

  // Update one property and delete a node; the large values carry over.
  txn = Begin();
  ASSERT_TRUE(txn);
  auto old_node = txn->OpenNode(0x200024);
  ASSERT_OK(old_node);
  auto old = PropertyContext::Open(std::move(*old_node));
  ASSERT_OK(old);
  auto update = PropertyContextBuilder::FromExisting(GetParam(), *old, 1000);
  ASSERT_OK(update);
  ASSERT_OK(update->Set(MakeTag(0x3602, kPtypInteger32), I32(43)));
  ASSERT_OK(PutPropertyContext(*txn, 0x200024, 0x8022, *update));
  ASSERT_OK(txn->DeleteNode(0x804E));
  ASSERT_OK(txn->Commit());

  db = Reopen();
  ASSERT_TRUE(db);
  read = PropertyContext::Open(std::move(db->OpenNode(0x200024).value()));
  ASSERT_OK(read);
  EXPECT_EQ(*read->ReadValue(*read->Find(0x3602)), I32(43));
  EXPECT_EQ(*read->ReadValue(*read->Find(0x6008)), Pattern(70000, 8));
  EXPECT_TRUE(db->FindNode(0x804E).status().IsNotFound());
  // The shared block lost one reference and still serves 0x802E.
  auto still = TableContext::Open(std::move(db->OpenNode(0x802E).value()));
  ASSERT_OK(still);
  EXPECT_EQ(still->row_count(), 700u);
}

INSTANTIATE_TEST_SUITE_P(Formats, TransactionRoundTripTest,
                         ::testing::Values(ndb::Format::kAnsi, ndb::Format::kUnicode),
                         [](const auto& info) {
                           return info.param == ndb::Format::kAnsi ? "Ansi" : "Unicode";
                         });

}  // namespace
}  // namespace pst::ltp
