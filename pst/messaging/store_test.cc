// The messaging layer on real stores, checked against what the independent
// readers report for them (see the sample manifest).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

#include "pst/io/memory_file.h"
#include "pst/messaging/property_access.h"
#include "pst/messaging/read_all.h"
#include "pst/messaging/store.h"
#include "pst/messaging/tags.h"
#include "pst/messaging/walk.h"
#include "pst/testing/samples.h"
#include "pst/testing/status_matchers.h"

namespace pst::messaging {
namespace {

std::unique_ptr<Store> OpenSample(const char* name) {
  auto store = Store::OpenPath(test::SamplePath(name));
  EXPECT_OK(store) << name;
  return store.ok() ? std::move(store).value() : nullptr;
}

struct Expected {
  const char* file;
  uint64_t folders, messages, attachments, embedded;
};

// Counts as pypff reports them for each store: folders include the root;
// attachments and embedded messages are those of the folders' messages
// (pypff does not look inside embedded messages).
const Expected kExpected[] = {
    {"ansi-outlook97-passworded-294msgs.pst", 15, 294, 0, 0},
    {"ansi-pstsdk-sample2.pst", 7, 1, 1, 0},
    {"unicode-alpha-beta-gamma-delta-cjk.pst", 5, 1, 2, 1},
    {"unicode-dfrws2009-forensic.pst", 17, 13, 2, 0},
    {"unicode-enron-13mb.pst", 11, 71, 70, 0},
    {"unicode-high-encryption.pst", 5, 36, 302, 0},
    {"unicode-msg-in-msg-in-msg.pst", 5, 1, 2, 1},
    {"unicode-no-encryption.pst", 5, 20, 170, 0},
    {"unicode-outlook-all-item-types.pst", 27, 7, 0, 0},
    {"unicode-russian-folders-empty.pst", 22, 0, 0, 0},
    {"unicode-javalibpst-dist-list.pst", 24, 4, 2, 2},
};

struct TopLevel {
  uint64_t attachments = 0, embedded = 0;
};

// Attachments of the messages held by folders, not of embedded messages.
TopLevel CountTopLevelAttachments(const Store& store) {
  TopLevel counts;
  std::vector<FolderDamage> damage;
  WalkOptions options;
  options.include_start = true;
  EXPECT_OK(WalkFolders(store, ndb::kNidRootFolder,
                        [&](const Folder& folder, const std::vector<std::string>&) {
                          auto ids = folder.MessageNids();
                          EXPECT_OK(ids);
                          for (ndb::Nid id : ids.ok() ? *ids : std::vector<ndb::Nid>()) {
                            auto message = store.OpenMessage(id);
                            EXPECT_OK(message);
                            if (!message.ok()) continue;
                            auto atts = message->AttachmentNids();
                            EXPECT_OK(atts);
                            for (ndb::Nid att : atts.ok() ? *atts : std::vector<ndb::Nid>()) {
                              ++counts.attachments;
                              auto a = message->OpenAttachment(att);
                              EXPECT_OK(a);
                              if (a.ok() && *a->Method() == kAttachEmbeddedMessage) ++counts.embedded;
                            }
                          }
                          return Status::Ok();
                        },
                        &damage, options));
  EXPECT_TRUE(damage.empty());
  return counts;
}

TEST(Store, CountsWhatIndependentReadersCount) {
  for (const auto& e : kExpected) {
    SCOPED_TRACE(e.file);
    auto store = OpenSample(e.file);
    ASSERT_TRUE(store);
    ReadStats stats = ReadEverything(*store);
    EXPECT_TRUE(stats.problems.empty()) << stats.problems.front();
    EXPECT_EQ(stats.folders, e.folders);
    EXPECT_EQ(stats.messages, e.messages);
    TopLevel top = CountTopLevelAttachments(*store);
    EXPECT_EQ(top.attachments, e.attachments);
    EXPECT_EQ(top.embedded, e.embedded);
    // The full walk also goes into embedded messages.
    EXPECT_GE(stats.attachments, top.attachments);
    EXPECT_GE(stats.embedded_messages, top.embedded);
  }
}

// Reading big folders on two threads gives exactly what one thread gives:
// the same counts and the same problems in the same order, on sound stores
// and on one with a stretch of its blocks overwritten.
TEST(Store, ReadsTheSameOnOneThreadAndOnTwo) {
  auto same = [](const Store& store, const std::string& what) {
    ReadOptions one, two;
    one.threads = 1;
    two.threads = 2;
    const ReadStats a = ReadEverything(store, one), b = ReadEverything(store, two);
    EXPECT_EQ(a.folders, b.folders) << what;
    EXPECT_EQ(a.messages, b.messages) << what;
    EXPECT_EQ(a.fai_messages, b.fai_messages) << what;
    EXPECT_EQ(a.attachments, b.attachments) << what;
    EXPECT_EQ(a.embedded_messages, b.embedded_messages) << what;
    EXPECT_EQ(a.recipients, b.recipients) << what;
    EXPECT_EQ(a.properties, b.properties) << what;
    EXPECT_EQ(a.value_bytes, b.value_bytes) << what;
    EXPECT_EQ(a.problems, b.problems) << what;
    return a;
  };
  for (const char* name : {"ansi-outlook97-passworded-294msgs.pst", "unicode-enron-13mb.pst",
                           "4k-ost-pstextractortest.ost"}) {
    auto store = OpenSample(name);
    ASSERT_TRUE(store);
    const ReadStats stats = same(*store, name);
    EXPECT_TRUE(stats.problems.empty()) << name;
    EXPECT_GT(stats.messages, 50u) << name;  // enough to be shared
  }
  // A byte of every third message's first block spoilt.
  const std::string path = test::SamplePath("unicode-enron-13mb.pst");
  std::ifstream in(path, std::ios::binary);
  Bytes damaged{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  auto sound = Store::OpenPath(path);
  ASSERT_OK(sound);
  size_t seen = 0;
  ASSERT_OK((*sound)->database().ForEachNode([&](const ndb::NodeEntry& node) -> Status {
    if ((node.nid & 0x1F) != ndb::kNidTypeNormalMessage || seen++ % 3 != 0) return Status::Ok();
    PST_ASSIGN_OR_RETURN(ndb::BlockEntry block, (*sound)->database().FindBlock(node.data_bid));
    damaged.at(block.offset + 8) ^= 0xFF;
    return Status::Ok();
  }));
  auto store = Store::Open(std::make_shared<io::MemoryFile>(std::move(damaged)));
  ASSERT_OK(store);
  EXPECT_GE(same(**store, "damaged").problems.size(), seen / 3);
}

// A folder's message ids handed out a few at a time are the ids of its
// table in order.
TEST(Store, HandsOutMessageIdsInPieces) {
  auto sound = Store::OpenPath(test::SamplePath("ansi-outlook97-passworded-294msgs.pst"));
  ASSERT_OK(sound);
  size_t most = 0;
  std::vector<FolderDamage> damage;
  WalkOptions walk;
  walk.include_start = true;
  ASSERT_OK(WalkFolders(**sound, ndb::kNidRootFolder, [&](const Folder& folder, const std::vector<std::string>&) {
    for (bool fai : {false, true}) {
      auto whole = fai ? folder.AssociatedMessageNids() : folder.MessageNids();
      EXPECT_OK(whole);
      std::vector<ndb::Nid> joined;
      auto take = [&](const std::vector<ndb::Nid>& piece) {
        EXPECT_TRUE(!piece.empty() && piece.size() <= 7);
        joined.insert(joined.end(), piece.begin(), piece.end());
      };
      EXPECT_OK(fai ? folder.ForEachAssociatedMessageNidPiece(7, take) : folder.ForEachMessageNidPiece(7, take));
      EXPECT_EQ(joined, whole.value_or(std::vector<ndb::Nid>{}));
      if (!fai) most = std::max(most, joined.size());
    }
    return Status::Ok();
  }, &damage, walk));
  EXPECT_GT(most, 100u);  // many pieces
}

TEST(Store, WalksIntoNestedEmbeddedMessages) {
  // One message with an embedded message that itself has attachments,
  // among them another embedded message.
  auto store = OpenSample("unicode-msg-in-msg-in-msg.pst");
  ASSERT_TRUE(store);
  ReadStats stats = ReadEverything(*store);
  EXPECT_TRUE(stats.problems.empty());
  EXPECT_EQ(stats.embedded_messages, 2u);
}

TEST(Store, ReportsFormatPasswordAndSpecialFolders) {
  auto ansi = OpenSample("ansi-outlook97-passworded-294msgs.pst");
  ASSERT_TRUE(ansi);
  EXPECT_EQ(ansi->format(), ndb::Format::kAnsi);
  EXPECT_EQ(ansi->password_crc(), 0xB1031B28u);
  EXPECT_TRUE(ansi->PasswordMatches("pass12345"));
  EXPECT_FALSE(ansi->PasswordMatches("pass1234"));

  auto unicode = OpenSample("unicode-empty-outlook.pst");
  ASSERT_TRUE(unicode);
  EXPECT_EQ(unicode->format(), ndb::Format::kUnicode);
  EXPECT_FALSE(unicode->has_password());
  auto top = unicode->FolderNidOf(kPidIpmSubtreeEntryId);
  ASSERT_OK(top);
  EXPECT_EQ(*top, 0x8022u);
  auto folder = unicode->OpenFolder(*top);
  ASSERT_OK(folder);
  EXPECT_EQ(*folder->DisplayName(), "Top of Outlook data file");
}

TEST(Store, ResolvesNamedPropertiesThroughTheNameMap) {
  auto store = OpenSample("unicode-empty-outlook.pst");
  ASSERT_TRUE(store);
  auto names = store->Names();
  ASSERT_OK(names);
  // The first entry of this store's map: LID 0x8205 in {00062002-...}.
  const NamedProperty* first = (*names)->Find(0x8000);
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(first->is_string);
  EXPECT_EQ(first->lid, 0x8205u);
  EXPECT_EQ(FormatGuid(first->guid), "{00062002-0000-0000-C000-000000000046}");
}

TEST(Store, DecodesEightBitStringsWithTheGivenCodePage) {
  auto store = OpenSample("ansi-cp932-japanese.pst");
  ASSERT_TRUE(store);
  store->set_default_codepage(932);
  auto top = store->OpenFolder(0x8022);
  ASSERT_OK(top);
  EXPECT_EQ(*top->DisplayName(), "Outlook データ ファイルのトップ");
}

TEST(Store, TruncatedFileIsAClearError) {
  auto store = Store::OpenPath(test::SamplePath("unicode-truncated-header-40b.bin"));
  ASSERT_FALSE(store.ok());
  EXPECT_TRUE(store.status().IsCorruption()) << store.status().ToString();
}

}  // namespace
}  // namespace pst::messaging
