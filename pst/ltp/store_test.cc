// The LTP reader over every real store in the test data folder: every heap
// that is a property or table context opens, and every value and every cell
// of every row reads; a few facts known of the stores are checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/io/file.h"
#include "pst/ltp/bth.h"
#include "pst/ltp/property_context.h"
#include "pst/ltp/table_context.h"
#include "pst/ltp/testing/read_everything.h"
#include "pst/ndb/database.h"
#include "pst/testing/samples.h"
#include "pst/testing/status_matchers.h"

namespace pst::ltp {
namespace {

namespace fs = std::filesystem;
using testing::Counts;
using testing::ReadHeapNode;
using testing::ReadSubnodes;

Result<std::unique_ptr<ndb::Database>> OpenStore(const fs::path& path) {
  PST_ASSIGN_OR_RETURN(auto file, io::OpenReadOnly(path.string()));
  return ndb::Database::Open(std::shared_ptr<const io::RandomAccessFile>(std::move(file)));
}

// Every store made by Outlook reads without a single error. The offline
// store (.ost) is a cache whose contents tables Outlook leaves partly stale:
// there, broken cells must be reported as corruption, and nothing else fail.
TEST(LtpStoreTest, EveryContextOfEveryStoreReads) {
  const auto stores = test::SampleStores();
  ASSERT_GE(stores.size(), 27u);
  for (const auto& path : stores) {
    SCOPED_TRACE(path.filename().string());
    const bool offline = path.extension() == ".ost";
    auto db = OpenStore(path);
    ASSERT_OK(db);
    Counts counts;
    std::vector<Status> errors;
    Status walk = (*db)->ForEachNode([&](const ndb::NodeEntry& e) -> Status {
      PST_ASSIGN_OR_RETURN(auto node, (*db)->OpenNode(e.nid));
      const std::string where = "node " + Hex(e.nid);
      Status s = ReadSubnodes(*node, 0, counts).WithContext(where);
      if (s.ok()) s = ReadHeapNode(std::move(node), counts).WithContext(where);
      if (!s.ok()) errors.push_back(s);
      return Status::Ok();
    });
    ASSERT_OK(walk);
    for (const Status& s : errors) {
      if (offline) {
        EXPECT_TRUE(s.IsCorruption()) << s.ToString();
      } else {
        ADD_FAILURE() << s.ToString();
      }
    }
    EXPECT_GT(counts.pcs, 0u);
    EXPECT_GT(counts.tcs, 0u);
    std::cout << path.filename().string() << ": " << counts.pcs << " PCs, " << counts.values
              << " values (+" << counts.streamed << " streamed), " << counts.tcs << " TCs, "
              << counts.rows << " rows, " << counts.cells << " cells, " << counts.other_heaps
              << " other heaps (" << counts.guid_records << " records in " << counts.guid_indexes
              << " GUID indexes), " << errors.size() << " errors\n";
    if (!errors.empty()) std::cout << "  first: " << errors[0].ToString() << "\n";
  }
}

std::string Utf16ToAscii(const Bytes& b) {
  std::string s;
  for (size_t i = 0; i + 1 < b.size(); i += 2) s.push_back(b[i + 1] ? '?' : static_cast<char>(b[i]));
  return s;
}

// The store, root folder and hierarchy tables agree with each other: every
// row of a hierarchy table names a folder whose own name and counts match.
TEST(LtpStoreTest, HierarchyRowsMatchFolderProperties) {
  for (const auto& path : test::SampleStores()) {
    SCOPED_TRACE(path.filename().string());
    auto db = OpenStore(path);
    if (!db.ok()) continue;
    const bool unicode = (*db)->format() != ndb::Format::kAnsi;
    const uint16_t string_type = unicode ? kPtypString : kPtypString8;

    auto store_node = (*db)->OpenNode(ndb::kNidMessageStore);
    ASSERT_OK(store_node);
    auto store = PropertyContext::Open(std::move(store_node).value());
    ASSERT_OK(store);
    const auto* name = store->Find(0x3001);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->type, string_type);
    ASSERT_OK(store->ReadValue(*name));
    const auto* record_key = store->Find(0x0FF9);
    ASSERT_NE(record_key, nullptr);
    EXPECT_EQ(store->ReadValue(*record_key)->size(), 16u);

    auto root_node = (*db)->OpenNode(0x12D);
    ASSERT_OK(root_node);
    auto root_table = TableContext::Open(std::move(root_node).value());
    ASSERT_OK(root_table);
    EXPECT_GT(root_table->row_count(), 0u);
    size_t checked = 0;
    ASSERT_OK((*db)->ForEachNode([&](const ndb::NodeEntry& e) -> Status {
      if (ndb::NidTypeOf(e.nid) != ndb::kNidTypeHierarchyTable) return Status::Ok();
      PST_ASSIGN_OR_RETURN(auto node, (*db)->OpenNode(e.nid));
      PST_ASSIGN_OR_RETURN(TableContext table, TableContext::Open(std::move(node)));
      const auto* name_col = table.FindColumn(MakeTag(0x3001, string_type));
      const auto* count_col = table.FindColumn(MakeTag(0x3602, kPtypInteger32));
      for (size_t row = 0; row < table.row_count(); ++row) {
        PST_ASSIGN_OR_RETURN(uint32_t folder, table.RowId(row));
        PST_ASSIGN_OR_RETURN(auto folder_node, (*db)->OpenNode(folder));
        PST_ASSIGN_OR_RETURN(PropertyContext pc, PropertyContext::Open(std::move(folder_node)));
        for (const auto* col : {name_col, count_col}) {
        if (!col) continue;
        PST_ASSIGN_OR_RETURN(auto cell, table.ReadCell(row, *col));
        const auto* entry = pc.Find(PropIdOf(col->tag));
        if (!cell || !entry) continue;
        PST_ASSIGN_OR_RETURN(Bytes value, pc.ReadValue(*entry));
        EXPECT_EQ(*cell, value) << "folder " << folder << " column " << std::hex << col->tag;
        ++checked;
        }
      }
      return Status::Ok();
    }));
    EXPECT_GT(checked, 0u);
  }
}

TEST(LtpStoreTest, TwoHundredRecipients) {
  auto db = OpenStore(test::SamplePath("unicode-200-recipients.pst"));
  ASSERT_OK(db);
  std::vector<ndb::Nid> messages;
  ASSERT_OK((*db)->ForEachNode([&](const ndb::NodeEntry& e) {
    if (ndb::NidTypeOf(e.nid) == ndb::kNidTypeNormalMessage) messages.push_back(e.nid);
    return Status::Ok();
  }));
  ASSERT_EQ(messages.size(), 1u);
  auto message = (*db)->OpenNode(messages[0]);
  ASSERT_OK(message);
  auto table_node = (*message)->OpenSubnode(ndb::kNidRecipientTable);
  ASSERT_OK(table_node);
  auto recipients = TableContext::Open(std::move(table_node).value());
  ASSERT_OK(recipients);
  EXPECT_EQ(recipients->row_count(), 200u);
  const auto* type_col = recipients->FindColumn(MakeTag(0x0C15, kPtypInteger32));
  const auto* name_col = recipients->FindColumn(MakeTag(0x3001, kPtypString));
  ASSERT_NE(type_col, nullptr);
  ASSERT_NE(name_col, nullptr);
  for (size_t row = 0; row < recipients->row_count(); ++row) {
    auto type = recipients->ReadCell(row, *type_col);
    ASSERT_TRUE(type.ok() && type->has_value()) << row;
    const uint32_t t = DecodeFixed32((*type)->data());
    EXPECT_TRUE(t >= 1 && t <= 3) << row << ": " << t;
    auto name = recipients->ReadCell(row, *name_col);
    ASSERT_TRUE(name.ok() && name->has_value()) << row;
    EXPECT_FALSE((*name)->empty()) << row;
  }
  std::cout << "first recipient: " << Utf16ToAscii(**recipients->ReadCell(0, *name_col)) << "\n";
}

}  // namespace
}  // namespace pst::ltp
