// The copier on real stores: progress, cancel, and what a failed or
// cancelled copy leaves behind.
#include "pst/convert/folder_copier.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <set>

#include "pst/check/check.h"
#include "pst/convert/store_copy.h"
#include "pst/io/file.h"
#include "pst/io/memory_file.h"
#include "pst/messaging/store_creator.h"
#include "pst/testing/status_matchers.h"

namespace pst::convert {
namespace {

std::string Sample(const char* name) { return std::string(QUILLMAR_TESTDATA_DIR) + "/" + name; }

struct Target {
  std::shared_ptr<io::MemoryFile> file = std::make_shared<io::MemoryFile>();
  std::unique_ptr<messaging::StoreWriter> writer;
  ndb::Nid top = 0;
};

Target NewTarget(ndb::Format format) {
  Target t;
  messaging::StoreOptions options;
  options.format = format;
  EXPECT_OK(messaging::CreateStore(t.file, options));
  auto writer = messaging::StoreWriter::Open(t.file);
  EXPECT_OK(writer);
  t.writer = std::move(writer).value();
  t.top = *t.writer->store().IpmSubtreeNid();
  return t;
}

std::vector<ndb::Nid> TopFolders(const messaging::Store& store) {
  auto top = store.OpenFolder(*store.IpmSubtreeNid());
  return top.ok() ? top->SubfolderNids().value_or({}) : std::vector<ndb::Nid>();
}

// Each listed message keeps the row it came from, whether rows were
// skipped, messages filtered out, or found without a row; a listing of
// rows in order keeps no rows at all.
TEST(FolderCopierListing, EachMessageKeepsItsRow) {
  using Listing = FolderCopier::MessageListing;
  auto rows_of = [](const Listing& l) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < l.size(); ++i) out.push_back(l.RowOf(i));
    return out;
  };
  Listing in_order;
  for (uint32_t row = 0; row < 3; ++row) in_order.Add(0x24 + 0x20 * row, row);
  EXPECT_TRUE(in_order.rows.empty());
  EXPECT_EQ(rows_of(in_order), (std::vector<uint32_t>{0, 1, 2}));
  in_order.Filter([](ndb::Nid id, uint32_t) { return id != 0x24; });
  EXPECT_EQ(in_order.ids, (std::vector<ndb::Nid>{0x44, 0x64}));
  EXPECT_EQ(rows_of(in_order), (std::vector<uint32_t>{1, 2}));

  Listing gaps;
  gaps.Add(0x24, 0);
  gaps.Add(0x64, 2);  // row 1 unreadable
  gaps.Add(0x84, Listing::kNoRow);
  std::vector<uint32_t> rows_seen;
  gaps.Filter([&](ndb::Nid id, uint32_t row) {
    rows_seen.push_back(row);
    return id != 0x64;
  });
  EXPECT_EQ(rows_seen, (std::vector<uint32_t>{0, 2, Listing::kNoRow}));
  EXPECT_EQ(gaps.ids, (std::vector<ndb::Nid>{0x24, 0x84}));
  EXPECT_EQ(rows_of(gaps), (std::vector<uint32_t>{0, Listing::kNoRow}));
}

// A sound table is the listing itself; once one of its messages was
// listed before, the listing keeps ids and leaves that one out, and every
// message is listed once whichever way it was.
TEST(FolderCopierListing, SoundTableListsItselfAndOthersLeaveOutWhatWasListed) {
  auto source = messaging::Store::OpenPath(Sample("unicode-no-encryption.pst"));
  ASSERT_OK(source);
  Target target = NewTarget(ndb::Format::kAnsi);
  auto update = target.writer->Begin();
  ASSERT_OK(update);
  std::optional<messaging::Folder> busiest;
  std::vector<ndb::Nid> messages;
  for (ndb::Nid f : TopFolders(**source)) {
    auto folder = (*source)->OpenFolder(f);
    auto nids = folder.ok() ? folder->MessageNids() : Result<std::vector<ndb::Nid>>(Status::NotFound(""));
    if (nids.ok() && nids->size() > messages.size()) messages = *nids, busiest.emplace(std::move(folder).value());
  }
  ASSERT_GE(messages.size(), 3u);
  auto ids_of = [](const FolderCopier::MessageListing& l) {
    std::vector<ndb::Nid> out;
    for (size_t i = 0; i < l.size(); ++i) out.push_back(*l.IdAt(i));
    return out;
  };

  CopyReport report;
  FolderCopier copier(**source, **update, false, CopyOptions(), &report);
  auto whole = copier.ListMessages(*busiest, false, "busiest");
  EXPECT_TRUE(whole.ids.empty()) << "no id kept";
  EXPECT_EQ(ids_of(whole), messages);
  EXPECT_EQ(copier.ListMessages(*busiest, false, "again").size(), 0u) << "each message is listed once";

  CopyReport second;
  FolderCopier other(**source, **update, false, CopyOptions(), &second);
  second.listed_messages.Insert(messages[1]);
  auto rest = other.ListMessages(*busiest, false, "busiest");
  std::vector<ndb::Nid> expected = messages;
  expected.erase(expected.begin() + 1);
  EXPECT_EQ(rest.ids, expected);
  EXPECT_EQ(rest.RowOf(0), 0u);
  EXPECT_EQ(rest.RowOf(1), 2u);
  EXPECT_EQ(second.listed_messages.size(), messages.size());
  EXPECT_EQ(other.ListMessages(*busiest, false, "again").size(), 0u);
}

TEST(FolderCopier, ReportsProgressAndCancelsWithoutLeavingAnything) {
  auto source = messaging::Store::OpenPath(Sample("unicode-no-encryption.pst"));
  ASSERT_OK(source);
  Target target = NewTarget(ndb::Format::kAnsi);
  const Bytes before = target.file->contents();
  const size_t folders_before = TopFolders(target.writer->store()).size();

  // Copy the folder with the messages, cancelling after the fifth message.
  ndb::Nid busiest = 0;
  size_t most = 0;
  for (ndb::Nid f : TopFolders(**source)) {
    auto folder = (*source)->OpenFolder(f);
    size_t n = folder.ok() ? folder->MessageNids().value_or({}).size() : 0;
    if (n > most) most = n, busiest = f;
  }
  ASSERT_GE(most, 10u);
  CopyOptions options;
  std::vector<CopyProgress> seen;
  options.progress = [&](const CopyProgress& p) {
    seen.push_back(p);
    return p.messages < 5;
  };
  CopyReport report;
  std::map<ndb::Nid, ndb::Nid> map;
  auto copied = CopyFolderTree(**source, busiest, *target.writer, target.top, options, &report, &map);
  ASSERT_FALSE(copied.ok());
  EXPECT_EQ(copied.status().code(), Status::Code::kCancelled);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().messages, 5u);
  EXPECT_FALSE(seen.back().current_folder.empty());
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_GE(seen[i].bytes, seen[i - 1].bytes);
  // Nothing of the cancelled copy is in the store, which is still sound.
  EXPECT_EQ(TopFolders(target.writer->store()).size(), folders_before);
  EXPECT_TRUE(map.empty());
  auto after_cancel = check::CheckStore(*target.file);
  EXPECT_TRUE(after_cancel.sound());
  for (const auto& p : after_cancel.problems) ADD_FAILURE() << p.where << ": " << p.what;

  // Without cancelling, the same copy goes through.
  options.progress = nullptr;
  CopyReport full;
  ASSERT_OK(CopyFolderTree(**source, busiest, *target.writer, target.top, options, &full, &map));
  EXPECT_EQ(full.done.messages, most);
  EXPECT_EQ(TopFolders(target.writer->store()).size(), folders_before + 1);
  auto result = check::CheckStore(*target.file);
  EXPECT_TRUE(result.sound());
  for (const auto& p : result.problems) ADD_FAILURE() << p.where << ": " << p.what;
  EXPECT_NE(target.file->contents(), before);
}

TEST(FolderCopier, ProgressComesInsideLargeValuesToo) {
  // Attachments of a few hundred KB: progress every 64 KiB means several
  // reports per attachment, so a caller can keep its window responsive.
  auto source = messaging::Store::OpenPath(Sample("unicode-enron-13mb.pst"));
  ASSERT_OK(source);
  Target target = NewTarget(ndb::Format::kUnicode);
  CopyOptions options;
  options.progress_bytes = 64 * 1024;
  uint64_t reports = 0;
  options.progress = [&](const CopyProgress&) {
    ++reports;
    return true;
  };
  CopyReport report;
  std::map<ndb::Nid, ndb::Nid> map;
  for (ndb::Nid f : TopFolders(**source)) {
    ASSERT_OK(CopyFolderTree(**source, f, *target.writer, target.top, options, &report, &map));
  }
  EXPECT_EQ(report.done.messages, 71u);
  EXPECT_GT(reports, report.done.messages + report.done.bytes / (128 * 1024));
  EXPECT_TRUE(report.failures.empty());
  EXPECT_TRUE(check::CheckStore(*target.file).flawless());
}

TEST(FolderCopier, SpecialFoldersKeepTheirRoles) {
  // An Outlook 2007 store: Deleted Items is named by the store object.
  auto source = messaging::Store::OpenPath(Sample("unicode-follow-up-flags.pst"));
  ASSERT_OK(source);
  const ndb::Nid source_wastebasket = *(*source)->FolderNidOf(0x35E3);
  Target target = NewTarget(ndb::Format::kAnsi);
  CopyReport report;
  std::map<ndb::Nid, ndb::Nid> map;
  for (ndb::Nid f : TopFolders(**source)) {
    ASSERT_OK(CopyFolderTree(**source, f, *target.writer, target.top, {}, &report, &map));
  }
  ASSERT_TRUE(map.count(source_wastebasket));
  auto wastebasket = target.writer->store().FolderNidOf(0x35E3);
  ASSERT_OK(wastebasket);
  EXPECT_EQ(*wastebasket, map[source_wastebasket]);
  auto folder = target.writer->store().OpenFolder(*wastebasket);
  ASSERT_OK(folder);
  EXPECT_EQ(*folder->DisplayName(), "Deleted Items");
}

TEST(StoreCopy, DeletedItemsStaysUntilACopyTakesItsRole) {
  // Emptying the output must not leave a store that names a missing Deleted
  // Items at any commit: the folder is retired, and goes only once the copy
  // of the source's has its role.
  auto source = messaging::Store::OpenPath(Sample("unicode-follow-up-flags.pst"));
  ASSERT_OK(source);
  const ndb::Nid source_wastebasket = *(*source)->FolderNidOf(0x35E3);
  Target target = NewTarget(ndb::Format::kAnsi);
  const ndb::Nid own = *target.writer->store().FolderNidOf(0x35E3);

  ASSERT_OK(DeleteSubfolders(*target.writer, target.top));
  EXPECT_EQ(target.writer->retired_wastebasket(), own);
  EXPECT_OK(target.writer->store().OpenFolder(own));
  EXPECT_TRUE(check::CheckStore(*target.file).flawless());
  EXPECT_EQ(DeleteFolder(*target.writer, own).code(), Status::Code::kNotFound);

  CopyReport report;
  std::map<ndb::Nid, ndb::Nid> map;
  for (ndb::Nid f : TopFolders(**source)) {
    ASSERT_OK(CopyFolderTree(**source, f, *target.writer, target.top, {}, &report, &map));
    EXPECT_TRUE(check::CheckStore(*target.file).flawless());
  }
  EXPECT_EQ(target.writer->retired_wastebasket(), 0u);
  EXPECT_FALSE(target.writer->store().database().FindNode(own).ok());
  EXPECT_EQ(*target.writer->store().FolderNidOf(0x35E3), map[source_wastebasket]);
  ASSERT_OK(EnsureWastebasket(*target.writer));
  EXPECT_EQ(TopFolders(target.writer->store()).size(), TopFolders(**source).size());
}

TEST(StoreCopy, RetiredDeletedItemsKeepsItsRoleWhenNoCopyTakesIt) {
  auto source = messaging::Store::OpenPath(Sample("ansi-pstsdk-sample2.pst"));
  ASSERT_OK(source);
  Target target = NewTarget(ndb::Format::kUnicode);
  const ndb::Nid own = *target.writer->store().FolderNidOf(0x35E3);
  ASSERT_OK(DeleteSubfolders(*target.writer, target.top));
  CopyReport report;
  std::map<ndb::Nid, ndb::Nid> map;
  for (ndb::Nid f : TopFolders(**source)) {
    auto folder = (*source)->OpenFolder(f);
    if (folder.ok() && folder->DisplayName().value_or("") == "Deleted Items") continue;
    ASSERT_OK(CopyFolderTree(**source, f, *target.writer, target.top, {}, &report, &map));
  }
  ASSERT_OK(EnsureWastebasket(*target.writer));
  EXPECT_EQ(target.writer->retired_wastebasket(), 0u);
  EXPECT_EQ(*target.writer->store().FolderNidOf(0x35E3), own);
  EXPECT_TRUE(check::CheckStore(*target.file).flawless());
}

TEST(StoreCopy, DeletingACopiedTreeGivesEverythingBack) {
  // A folder tree with messages, attachments and embedded messages is
  // copied, then deleted: every node and block it used goes, the store stays
  // sound, and the file's free space comes back.
  auto source = messaging::Store::OpenPath(Sample("unicode-javalibpst-dist-list.pst"));
  ASSERT_OK(source);
  Target target = NewTarget(ndb::Format::kUnicode);
  const size_t folders_before = TopFolders(target.writer->store()).size();
  std::set<ndb::Nid> nodes_before;
  ASSERT_TRUE(target.writer->store().database().ForEachNode([&](const ndb::NodeEntry& e) {
    nodes_before.insert(e.nid);
    return Status::Ok();
  }).ok());
  const uint64_t free_before = target.writer->store().database().header().root.amap_free;

  CopyReport report;
  std::map<ndb::Nid, ndb::Nid> map;
  std::vector<ndb::Nid> copies;
  for (ndb::Nid f : TopFolders(**source)) {
    auto copy = CopyFolderTree(**source, f, *target.writer, target.top, {}, &report, &map);
    ASSERT_OK(copy);
    copies.push_back(*copy);
  }
  ASSERT_GT(report.embedded_messages, 0u);
  ASSERT_TRUE(check::CheckStore(*target.file).flawless());
  const uint64_t free_after_copy = target.writer->store().database().header().root.amap_free;

  for (ndb::Nid copy : copies) ASSERT_OK(DeleteFolder(*target.writer, copy));
  // The copy of Deleted Items had taken over that role; the store's own
  // Deleted Items takes it back.
  ASSERT_OK(EnsureWastebasket(*target.writer));
  auto result = check::CheckStore(*target.file);
  EXPECT_TRUE(result.sound());
  for (const auto& p : result.problems) ADD_FAILURE() << p.where << ": " << p.what;
  EXPECT_EQ(TopFolders(target.writer->store()).size(), folders_before);
  std::set<ndb::Nid> nodes_after;
  ASSERT_TRUE(target.writer->store().database().ForEachNode([&](const ndb::NodeEntry& e) {
    nodes_after.insert(e.nid);
    return Status::Ok();
  }).ok());
  for (ndb::Nid n : nodes_after) EXPECT_TRUE(nodes_before.count(n)) << "left behind: node " << std::hex << n;
  EXPECT_EQ(nodes_after.size(), nodes_before.size());
  // The space comes back, but for what the store keeps: the names the copy
  // added to its named-property map.
  const uint64_t free_after_delete = target.writer->store().database().header().root.amap_free;
  EXPECT_GT(free_after_delete, free_after_copy);
  EXPECT_GE(free_after_delete + 16 * 1024, free_before);
}

}  // namespace
}  // namespace pst::convert
