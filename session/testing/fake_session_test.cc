// The fake stands in for the real session in every command test, so it must
// keep the session's contract where the commands depend on it.
#include "session/testing/fake_session.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "pst/testing/status_matchers.h"
#include "pst/testing/temp_dir.h"

namespace quillmar::session {
namespace {

using pst::test::TempDir;

std::shared_ptr<RDOSession> LoggedOn(FakeSessionWorld& world) {
  auto session = world.CreateSession(kSessionProgId);
  EXPECT_OK(session);
  EXPECT_OK((*session)->Logon());
  return *session;
}

std::shared_ptr<MessageStore> Attach(RDOSession& session, const std::string& path) {
  auto stores = session.Stores();
  EXPECT_OK(stores);
  auto store = (*stores)->AddPSTStore(path, kStoreFormatDefault);
  EXPECT_OK(store);
  return store.ok() ? *store : nullptr;
}

std::vector<std::string> Names(MessageFolder& folder) {
  std::vector<std::string> names;
  auto folders = folder.Folders();
  EXPECT_OK(folders);
  for (;;) {
    auto next = (*folders)->Next();
    EXPECT_OK(next);
    if (!next.ok() || !*next) break;
    names.push_back(*(*next)->Name());
  }
  return names;
}

TEST(FakeSessionTest, DeletingEachYieldedFolderEmptiesTheTop) {
  FakeSessionWorld world;
  world.PutStore("/t.pst", {kStoreKindUnicode, {{"A"}, {"B", {{"B1"}}}, {"C"}}, {}});
  auto session = LoggedOn(world);
  auto store = Attach(*session, "/t.pst");
  auto root = *store->IPMRootFolder();
  auto folders = root->Folders().value();
  int deleted = 0;
  for (auto f = *folders->Next(); f; f = *folders->Next()) {
    ASSERT_OK(f->Delete());
    ++deleted;
  }
  EXPECT_EQ(deleted, 3);
  EXPECT_TRUE(world.TopFolderNames("/t.pst").empty());
}

TEST(FakeSessionTest, CopyToCopiesTheTreeAcrossSessionsAndHonoursCancel) {
  FakeSessionWorld world;
  world.PutStore("/src.pst", {kStoreKindAnsi, {{"Inbox", {{"Sub"}}}}, {}});
  world.PutStore("/dst.pst", {kStoreKindUnicode, {}, {}});
  auto s1 = LoggedOn(world);
  auto s2 = LoggedOn(world);
  auto dst_root = *Attach(*s1, "/dst.pst")->IPMRootFolder();
  auto inbox = *(*(*Attach(*s2, "/src.pst")->IPMRootFolder())->Folders())->Next();

  struct Counting : CopyObserver {
    int calls = 0;
    int cancel_at = 0;
    bool OnProgress(const CopyProgress& p) override {
      EXPECT_EQ(p.current_folder, "Inbox");
      return ++calls != cancel_at;
    }
  } observer;
  world.copy_progress_steps = 3;
  observer.cancel_at = 2;
  Status cancelled = inbox->CopyTo(*dst_root, &observer);
  EXPECT_EQ(cancelled.code(), Status::Code::kCancelled);
  EXPECT_TRUE(Names(*dst_root).empty());

  observer.calls = 0;
  observer.cancel_at = 0;
  ASSERT_OK(inbox->CopyTo(*dst_root, &observer));
  EXPECT_EQ(observer.calls, 3);
  EXPECT_EQ(Names(*dst_root), std::vector<std::string>{"Inbox"});
  EXPECT_EQ(world.StoreAt("/src.pst")->writes, 0);
}

TEST(FakeSessionTest, ChosenCallsFailAndDeadObjectsRefuse) {
  FakeSessionWorld world;
  world.PutStore("/t.pst", {kStoreKindAnsi, {{"A"}, {"B"}}, {}});
  world.FailAt("StoreKind", 2, Status::IOError("second read"));
  world.FailOn("Name", "B", Status::Corruption("bad name"));
  auto session = LoggedOn(world);
  auto store = Attach(*session, "/t.pst");
  EXPECT_EQ(*store->StoreKind(), kStoreKindAnsi);
  EXPECT_EQ(store->StoreKind().status().message(), "second read");
  EXPECT_EQ(*store->StoreKind(), kStoreKindAnsi);
  auto folders = (*store->IPMRootFolder())->Folders().value();
  EXPECT_OK((*folders->Next())->Name());
  EXPECT_EQ((*folders->Next())->Name().status().message(), "bad name");

  EXPECT_EQ(world.stores_attached(), 1);
  ASSERT_OK(session->Logoff());
  EXPECT_EQ(world.stores_attached(), 0);
  EXPECT_EQ(world.sessions_logged_on(), 0);
  EXPECT_FALSE(store->StoreKind().ok());
  EXPECT_FALSE(store->Remove().ok());
  EXPECT_FALSE(session->Stores().ok());
}

TEST(FakeSessionTest, OpensFilesOnDiskLikeStores) {
  TempDir dir;
  FakeSessionWorld world;
  world.DefineImage("template-unicode", {kStoreKindUnicode, {{"Deleted Items"}}, {}});
  TempDir::WriteFile(dir.Join("copy.pst"), "template-unicode");
  TempDir::WriteFile(dir.Join("junk.pst"), "not a store");
  world.PutStore("/locked.pst", {kStoreKindUnicode, {}, std::string("secret")});
  auto session = LoggedOn(world);
  auto stores = *session->Stores();

  ASSERT_OK(stores->AddPSTStore(dir.Join("copy.pst"), 1, std::string("Personal Folders")));
  EXPECT_EQ(world.TopFolderNames(dir.Join("copy.pst")), std::vector<std::string>{"Deleted Items"});
  EXPECT_EQ(world.StoreAt(dir.Join("copy.pst"))->display_name, "Personal Folders");

  EXPECT_EQ(stores->AddPSTStore(dir.Join("junk.pst"), 1).status().code(), Status::Code::kCorruption);

  ASSERT_OK(stores->AddPSTStore(dir.Join("new.pst"), 1));
  EXPECT_TRUE(std::filesystem::exists(dir.Join("new.pst")));
  EXPECT_EQ(world.StoreAt(dir.Join("new.pst"))->kind, kStoreKindUnicode);

  EXPECT_EQ(stores->AddPSTStore("/locked.pst", 1).status().code(), Status::Code::kPermissionDenied);
  EXPECT_OK(stores->AddPSTStore("/locked.pst", 1, std::nullopt, {std::string("secret")}));
}

TEST(SessionErrorTest, NumbersAreStableAndDescriptionsNeverEmpty) {
  EXPECT_EQ(ErrorNumber(Status::Ok()), 0);
  EXPECT_EQ(ErrorNumber(Status::Corruption("x")), 1001);
  EXPECT_EQ(ErrorNumber(Status::PermissionDenied("x")), 1008);
  EXPECT_EQ(ErrorDescription(Status::IOError("disk gone")), "disk gone");
  EXPECT_FALSE(ErrorDescription(Status::IOError("")).empty());
}

}  // namespace
}  // namespace quillmar::session
