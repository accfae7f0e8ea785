// The engine-backed session on real stores made by Outlook and others; the
// folder tree is checked against pypff, an independent reader.
#include "session/pst_session.h"

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "pst/testing/samples.h"
#include "pst/testing/status_matchers.h"
#include "pst/testing/temp_dir.h"

namespace quillmar::session {
namespace {

namespace fs = std::filesystem;
using pst::test::SamplePath;
using pst::test::TempDir;

class PstSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto session = factory_.CreateSession(kSessionProgId);
    ASSERT_OK(session);
    session_ = *session;
    ASSERT_OK(session_->Logon());
    stores_ = *session_->Stores();
  }

  Result<std::shared_ptr<MessageStore>> Attach(const std::string& path, StoreCredentials credentials = {}) {
    return stores_->AddPSTStore(path, kStoreFormatDefault, std::nullopt, credentials);
  }

  PstSessionFactory factory_;
  std::shared_ptr<RDOSession> session_;
  std::shared_ptr<RDOStores> stores_;
};

TEST_F(PstSessionTest, OnlyTheKnownNameMakesASessionAndItsVersionPassesTheGate) {
  EXPECT_EQ(factory_.CreateSession("Outlook.Application").status().code(), Status::Code::kNotFound);
  auto version = session_->ClientVersion();
  ASSERT_OK(version);
  EXPECT_GE(std::stoi(version->substr(0, 2)), 11);
}

TEST_F(PstSessionTest, StoreKindOfEveryUnprotectedSample) {
  int seen = 0;
  for (const fs::path& path : pst::test::SampleStores()) {
    const std::string name = path.filename().string();
    if (name.find("passworded") != std::string::npos || name.find("encryption") != std::string::npos) {
      continue;
    }
    SCOPED_TRACE(name);
    auto store = Attach(path.string());
    ASSERT_OK(store);
    const int32_t expected = name.rfind("ansi-", 0) == 0 ? kStoreKindAnsi
                             : path.extension() == ".ost" ? kStoreKindOffline
                                                          : kStoreKindUnicode;
    EXPECT_EQ(*(*store)->StoreKind(), expected);
    EXPECT_OK((*store)->Remove());
    ++seen;
  }
  EXPECT_GE(seen, 20);
}

TEST_F(PstSessionTest, ProtectedStoresNeedTheirPassword) {
  const std::string path = SamplePath("ansi-outlook97-passworded-294msgs.pst");
  auto refused = Attach(path);
  EXPECT_EQ(refused.status().code(), Status::Code::kPermissionDenied);
  EXPECT_EQ(ErrorNumber(refused.status()), 1008);
  EXPECT_EQ(Attach(path, {std::string("wrong")}).status().code(), Status::Code::kPermissionDenied);
  auto opened = Attach(path, {std::string("pass12345")});
  ASSERT_OK(opened);
  EXPECT_EQ(*(*opened)->StoreKind(), kStoreKindAnsi);

  auto unicode = Attach(SamplePath("unicode-high-encryption.pst"), {std::string("quickquick")});
  ASSERT_OK(unicode);
  EXPECT_EQ(*(*unicode)->StoreKind(), kStoreKindUnicode);
}

TEST_F(PstSessionTest, BrokenOrMissingFilesFailWithANumberAndADescription) {
  auto truncated = Attach(SamplePath("unicode-truncated-header-40b.bin"));
  ASSERT_FALSE(truncated.ok());
  EXPECT_NE(ErrorNumber(truncated.status()), 0);
  EXPECT_NE(ErrorDescription(truncated.status()).find("unicode-truncated-header-40b.bin"), std::string::npos);

  TempDir dir;
  TempDir::WriteFile(dir.Join("notes.pst"), std::string(4096, 'x'));
  EXPECT_FALSE(Attach(dir.Join("notes.pst")).ok());
  EXPECT_FALSE(Attach(dir.path()).ok());
  EXPECT_FALSE(Attach("").ok());
}

TEST_F(PstSessionTest, DetachedStoresRefuseEveryCall) {
  auto store = *Attach(SamplePath("unicode-empty-outlook.pst"));
  auto top = *store->IPMRootFolder();
  ASSERT_OK(store->Remove());
  EXPECT_FALSE(store->Remove().ok());
  EXPECT_FALSE(store->StoreKind().ok());
  EXPECT_FALSE(top->Name().ok());

  auto again = *Attach(SamplePath("unicode-empty-outlook.pst"));
  auto folders = (*again->IPMRootFolder())->Folders().value();
  ASSERT_OK(session_->Logoff());
  EXPECT_FALSE(folders->Next().ok());
  EXPECT_FALSE(session_->Stores().ok());
  EXPECT_OK(session_->Logoff());
}

// pypff's folders, each as "name<TAB>children".
std::set<std::string> OracleFolders(const std::string& path) {
  std::set<std::string> lines;
  const std::string command = "/usr/bin/python3 " + std::string(QUILLMAR_SOURCE_DIR) +
                              "/session/testdata/folder_tree_oracle.py '" + path + "' 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return lines;
  std::string all;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) all.append(buffer, n);
  ::pclose(pipe);
  for (size_t start = 0, end; start < all.size(); start = end + 1) {
    end = all.find('\n', start);
    if (end == std::string::npos) end = all.size();
    lines.insert(all.substr(start, end - start));
  }
  return lines;
}

TEST_F(PstSessionTest, VisibleFolderTreeMatchesAnIndependentReader) {
  for (const char* name : {"unicode-empty-outlook.pst", "ansi-pstsdk-sample2.pst",
                           "unicode-russian-folders-empty.pst", "unicode-outlook-all-item-types.pst",
                           "unicode-dfrws2009-forensic.pst", "ansi-outlook98-empty-32k.pst",
                           "unicode-tika-testpst-french-2mb.pst"}) {
    SCOPED_TRACE(name);
    const std::set<std::string> oracle = OracleFolders(SamplePath(name));
    if (oracle.empty()) GTEST_SKIP() << "pypff is not available";
    auto store = Attach(SamplePath(name));
    ASSERT_OK(store);
    auto top = (*store)->IPMRootFolder();
    ASSERT_OK(top);
    auto top_name = (*top)->Name();
    ASSERT_OK(top_name);
    auto folders = (*top)->Folders();
    ASSERT_OK(folders);
    std::string line = *top_name + "\t";
    for (int n = 0;; ++n) {
      auto folder = (*folders)->Next();
      ASSERT_OK(folder);
      if (!*folder) break;
      auto name = (*folder)->Name();
      ASSERT_OK(name);
      line += (n ? "|" : "") + *name;
    }
    EXPECT_TRUE(oracle.count(line)) << line;
  }
}

TEST_F(PstSessionTest, OfflineStoreShowsItsMailboxTreeAndIsNotWritten) {
  // An OST names no IPM subtree in its store object; its visible tree is the
  // mailbox root's IPM_SUBTREE.
  TempDir dir;
  const std::string copy = dir.Join("mailbox.ost");
  fs::copy_file(SamplePath("4k-ost-pstextractortest.ost"), copy);
  const std::string before = TempDir::ReadFile(copy);
  auto store = Attach(copy);
  ASSERT_OK(store);
  EXPECT_EQ(*(*store)->StoreKind(), kStoreKindOffline);
  auto top = (*store)->IPMRootFolder();
  ASSERT_OK(top);
  EXPECT_EQ(*(*top)->Name(), "IPM_SUBTREE");
  auto folders = std::move((*top)->Folders()).value();
  std::string line = "IPM_SUBTREE\t";
  std::shared_ptr<MessageFolder> inbox;
  for (int n = 0;; ++n) {
    auto folder = *folders->Next();
    if (!folder) break;
    const std::string name = *folder->Name();
    if (name == "Inbox") inbox = folder;
    line += (n ? "|" : "") + name;
  }
  const std::set<std::string> oracle = OracleFolders(copy);
  if (!oracle.empty()) {
    EXPECT_TRUE(oracle.count(line)) << line;
  }

  ASSERT_NE(inbox, nullptr);
  const Status refused = inbox->Delete();
  EXPECT_EQ(refused.code(), Status::Code::kNotSupported);
  EXPECT_NE(ErrorDescription(refused).find("offline store"), std::string::npos);
  ASSERT_OK((*store)->Remove());
  EXPECT_EQ(TempDir::ReadFile(copy), before);
}

}  // namespace
}  // namespace quillmar::session
