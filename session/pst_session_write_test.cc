// The engine-backed session changing stores: new stores, display names,
// Delete, CopyTo and CopyContentsTo, on copies of real stores in temporary
// folders. Results are read back by our structural checker, our reader and,
// where it tells something ours cannot, pypff.
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pst/check/check.h"
#include "pst/io/file.h"
#include "pst/messaging/store.h"
#include "pst/messaging/store_creator.h"
#include "pst/messaging/tags.h"
#include "pst/testing/samples.h"
#include "pst/testing/status_matchers.h"
#include "pst/testing/store_damage.h"
#include "pst/testing/temp_dir.h"
#include "session/pst_session.h"

namespace quillmar::session {
namespace {

namespace fs = std::filesystem;
using pst::messaging::Store;
using pst::ndb::Nid;
using pst::test::DamageFirstMessage;
using pst::test::SamplePath;
using pst::test::TempDir;

class CountingObserver : public CopyObserver {
 public:
  bool OnProgress(const CopyProgress& progress) override {
    ++calls;
    last = progress;
    return calls <= allowed_calls;
  }
  int calls = 0;
  int allowed_calls = 1 << 30;
  CopyProgress last;
};

// A folder's name and messages, as our reader sees the file on disk.
struct FolderFacts {
  std::string name;
  size_t messages = 0;
};

std::vector<FolderFacts> TopFolderFacts(const std::string& path, size_t* top_messages = nullptr) {
  std::vector<FolderFacts> facts;
  auto store = Store::OpenPath(path);
  if (!store.ok()) return facts;
  auto top = (*store)->OpenFolder((*store)->IpmSubtreeNid().value_or(0));
  if (!top.ok()) return facts;
  if (top_messages) *top_messages = top->MessageNids().value_or(std::vector<Nid>()).size();
  for (Nid nid : top->SubfolderNids().value_or(std::vector<Nid>())) {
    auto folder = (*store)->OpenFolder(nid);
    if (!folder.ok()) continue;
    facts.push_back({folder->DisplayName().value_or("?"), folder->MessageNids().value_or(std::vector<Nid>()).size()});
  }
  return facts;
}

bool Sound(const std::string& path, std::string* findings) {
  auto file = pst::io::OpenReadOnly(path);
  if (!file.ok()) return false;
  const auto report = pst::check::CheckStore(**file);
  for (const auto& p : report.problems) {
    if (p.severity == pst::check::Severity::kError) *findings += p.where + ": " + p.what + "\n";
  }
  return report.sound();
}

class PstSessionWriteTest : public ::testing::Test {
 protected:
  void SetUp() override { Open(factory_); }

  void Open(PstSessionFactory& factory) {
    if (session_) (void)session_->Logoff();
    session_ = *factory.CreateSession(kSessionProgId);
    ASSERT_OK(session_->Logon());
    stores_ = *session_->Stores();
  }

  // A writable copy of a sample.
  std::string Copy(const std::string& name) {
    const std::string copy = dir_.Join(name);
    fs::copy_file(SamplePath(name), copy, fs::copy_options::overwrite_existing);
    fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write);
    return copy;
  }

  std::shared_ptr<MessageStore> Attach(const std::string& path, std::optional<std::string> name = std::nullopt,
                                       std::optional<std::string> password = std::nullopt) {
    auto store = stores_->AddPSTStore(path, kStoreFormatDefault, name, StoreCredentials{password});
    EXPECT_OK(store);
    return store.ok() ? *store : nullptr;
  }

  static std::vector<std::shared_ptr<MessageFolder>> Children(MessageFolder& folder) {
    std::vector<std::shared_ptr<MessageFolder>> children;
    auto folders = folder.Folders();
    EXPECT_OK(folders);
    if (!folders.ok()) return children;
    for (;;) {
      auto next = (*folders)->Next();
      EXPECT_OK(next);
      if (!next.ok() || !*next) break;
      children.push_back(*next);
    }
    return children;
  }

  static std::shared_ptr<MessageFolder> Child(MessageFolder& folder, const std::string& name) {
    for (auto& child : Children(folder)) {
      if (child->Name().value_or("") == name) return child;
    }
    return nullptr;
  }

  // Deletes every subfolder of the store's top folder.
  static void EmptyTop(MessageStore& store) {
    auto top = *store.IPMRootFolder();
    auto folders = std::move(top->Folders()).value();
    for (;;) {
      auto next = folders->Next();
      ASSERT_OK(next);
      if (!*next) break;
      ASSERT_OK((*next)->Delete());
    }
  }

  TempDir dir_;
  PstSessionFactory factory_;
  std::shared_ptr<RDOSession> session_;
  std::shared_ptr<RDOStores> stores_;
};

TEST_F(PstSessionWriteTest, MissingFileBecomesANewUnicodeStore) {
  for (const std::optional<std::string>& name : {std::optional<std::string>(), std::optional<std::string>("Archiv 2009 – Müller")}) {
    const std::string path = dir_.Join(name ? "named.pst" : "plain.pst");
    auto store = Attach(path, name);
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(*store->StoreKind(), kStoreKindUnicode);
    auto top = *store->IPMRootFolder();
    EXPECT_NE(Child(*top, "Deleted Items"), nullptr);
    ASSERT_OK(store->Remove());
    auto reopened = Store::OpenPath(path);
    ASSERT_OK(reopened);
    EXPECT_EQ(*(*reopened)->DisplayName(), name.value_or("Personal Folders"));
    std::string findings;
    EXPECT_TRUE(Sound(path, &findings)) << findings;
  }
  // Where the file cannot be made, the failure says where.
  auto refused = stores_->AddPSTStore(dir_.Join("no-such-folder/new.pst"), kStoreFormatDefault);
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(ErrorDescription(refused.status()).find("no-such-folder/new.pst"), std::string::npos);
}

TEST_F(PstSessionWriteTest, StoresThatAreOnlyReadStayByteForByteTheSame) {
  for (const char* name : {"ansi-outlook97-passworded-294msgs.pst", "unicode-dfrws2009-forensic.pst"}) {
    SCOPED_TRACE(name);
    const std::string path = Copy(name);
    const std::string before = TempDir::ReadFile(path);
    const std::string password = "pass12345";
    auto store = Attach(path, std::nullopt, password);
    ASSERT_NE(store, nullptr);
    auto other = Attach(dir_.Join(std::string("out-") + name));
    auto top = *store->IPMRootFolder();
    for (auto& folder : Children(*top)) {
      EXPECT_OK(folder->Name());
      EXPECT_OK(folder->CopyTo(**other->IPMRootFolder(), nullptr));
    }
    EXPECT_OK(top->CopyContentsTo(**other->IPMRootFolder(), nullptr));
    ASSERT_OK(store->Remove());
    // Its own display name again is no change either.
    auto renamed = Attach(path, *Store::OpenPath(path).value()->DisplayName(), password);
    ASSERT_NE(renamed, nullptr);
    ASSERT_OK(session_->Logoff());
    EXPECT_TRUE(TempDir::ReadFile(path) == before);
    Open(factory_);
  }
}

// The display name as pypff reads it from the store object: "type<TAB>text".
std::string OracleDisplayName(const TempDir& dir, const std::string& path) {
  const std::string script = dir.Join("display_name.py");
  TempDir::WriteFile(script,
                         "import pypff, sys\n"
                         "f = pypff.file()\n"
                         "f.open(sys.argv[1])\n"
                         "s = f.get_message_store()\n"
                         "for r in range(s.number_of_record_sets):\n"
                         "    rs = s.get_record_set(r)\n"
                         "    for i in range(rs.number_of_entries):\n"
                         "        e = rs.get_entry(i)\n"
                         "        if e.entry_type == 0x3001:\n"
                         "            print('%x\\t%s' % (e.value_type, e.data_as_string))\n");
  std::string out;
  FILE* pipe = ::popen(("/usr/bin/python3 '" + script + "' '" + path + "' 2>/dev/null").c_str(), "r");
  if (!pipe) return out;
  char buffer[1024];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

TEST_F(PstSessionWriteTest, DisplayNameIsWrittenAsTheFormatStoresText) {
  struct Case {
    const char* sample;
    const char* type;  // PtypString8 or PtypString
  };
  for (const Case& c : {Case{"ansi-pstsdk-sample2.pst", "1e"}, Case{"unicode-pstsdk-sample1.pst", "1f"}}) {
    SCOPED_TRACE(c.sample);
    const std::string path = Copy(c.sample);
    auto store = Attach(path, std::string("Personal Folders"));
    ASSERT_NE(store, nullptr);
    ASSERT_OK(session_->Logoff());
    auto reopened = Store::OpenPath(path);
    ASSERT_OK(reopened);
    EXPECT_EQ(*(*reopened)->DisplayName(), "Personal Folders");
    std::string findings;
    EXPECT_TRUE(Sound(path, &findings)) << findings;
    const std::string oracle = OracleDisplayName(dir_, path);
    if (!oracle.empty()) {
      EXPECT_EQ(oracle, std::string(c.type) + "\tPersonal Folders\n");
    }
    Open(factory_);
  }
  // A name the ANSI store's code page cannot hold is refused, not mangled.
  const std::string ansi = Copy("ansi-pstsdk-sample2.pst");
  const std::string before = TempDir::ReadFile(ansi);
  auto refused = stores_->AddPSTStore(ansi, kStoreFormatDefault, std::string("Личные папки"));
  EXPECT_EQ(refused.status().code(), Status::Code::kInvalidArgument);
  EXPECT_TRUE(TempDir::ReadFile(ansi) == before);
}

TEST_F(PstSessionWriteTest, ReadOnlyFilesAreNotChangedEvenWhereTheSystemWouldAllowIt) {
  const std::string path = Copy("unicode-follow-up-flags.pst");
  const std::string before = TempDir::ReadFile(path);
  fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  auto renamed = stores_->AddPSTStore(path, kStoreFormatDefault, std::string("Personal Folders"));
  EXPECT_EQ(renamed.status().code(), Status::Code::kPermissionDenied);
  EXPECT_NE(ErrorDescription(renamed.status()).find("read-only"), std::string::npos);
  auto store = Attach(path);
  auto inbox = Child(**store->IPMRootFolder(), "Inbox");
  ASSERT_NE(inbox, nullptr);
  const Status deleted = inbox->Delete();
  EXPECT_EQ(deleted.code(), Status::Code::kPermissionDenied);
  EXPECT_EQ(ErrorNumber(deleted), 1008);
  ASSERT_OK(session_->Logoff());
  EXPECT_TRUE(TempDir::ReadFile(path) == before);
}

TEST_F(PstSessionWriteTest, DeletingEachFolderAsItIsYieldedEmptiesTheTop) {
  const std::string path = Copy("unicode-dfrws2009-forensic.pst");
  auto store = Attach(path);
  auto top = *store->IPMRootFolder();
  const size_t count = Children(*top).size();
  ASSERT_GE(count, 10u);
  auto folders = std::move(top->Folders()).value();
  size_t deleted = 0;
  std::shared_ptr<MessageFolder> last;
  for (;;) {
    auto next = folders->Next();
    ASSERT_OK(next);
    if (!*next) break;
    last = *next;
    ASSERT_OK(last->Delete());
    ++deleted;
  }
  EXPECT_EQ(deleted, count);
  EXPECT_TRUE(Children(*top).empty());
  EXPECT_EQ(last->Name().status().code(), Status::Code::kNotFound);
  EXPECT_FALSE(last->Delete().ok());
  // The folders that hold the tree itself are not deleted.
  const Status top_refused = top->Delete();
  EXPECT_EQ(top_refused.code(), Status::Code::kInvalidArgument);
  ASSERT_OK(store->Remove());

  // Removed, the store names an existing Deleted Items again.
  auto reopened = Store::OpenPath(path);
  ASSERT_OK(reopened);
  auto wastebasket = (*reopened)->FolderNidOf(pst::messaging::kPidIpmWastebasketEntryId);
  ASSERT_OK(wastebasket);
  auto folder = (*reopened)->OpenFolder(*wastebasket);
  ASSERT_OK(folder);
  EXPECT_EQ(*folder->DisplayName(), "Deleted Items");
  std::string findings;
  EXPECT_TRUE(Sound(path, &findings)) << findings;
}

TEST_F(PstSessionWriteTest, CopiesCarryFoldersMessagesAndTheirRolesAcrossFormats) {
  // Unicode -> ANSI and ANSI -> Unicode, into a store of another session.
  struct Case {
    const char* sample;
    std::optional<std::string> password;
    pst::ndb::Format target;
  };
  for (const Case& c : {Case{"ansi-outlook97-passworded-294msgs.pst", "pass12345", pst::ndb::Format::kUnicode},
                        Case{"unicode-follow-up-flags.pst", std::nullopt, pst::ndb::Format::kAnsi}}) {
    SCOPED_TRACE(c.sample);
    const std::string target_path = dir_.Join(std::string("target-") + c.sample);
    pst::messaging::StoreOptions options;
    options.format = c.target;
    ASSERT_OK(pst::messaging::CreateStore(target_path, options));
    auto target = Attach(target_path);
    EmptyTop(*target);

    auto other = *factory_.CreateSession(kSessionProgId);
    ASSERT_OK(other->Logon());
    auto source_path = Copy(c.sample);
    auto source = *(*other->Stores())->AddPSTStore(source_path, kStoreFormatDefault, std::nullopt,
                                                    StoreCredentials{c.password});
    auto source_top = *source->IPMRootFolder();
    auto target_top = *target->IPMRootFolder();
    for (auto& folder : Children(*source_top)) {
      CountingObserver observer;
      const Status copied = folder->CopyTo(*target_top, &observer);
      EXPECT_OK(copied);
      // Every copy reports at least its first folder.
      EXPECT_GE(observer.calls, 1);
      EXPECT_GE(observer.last.objects_done, 1u);
    }
    // Copying into the store the folder comes from is refused.
    auto inbox = Child(*source_top, "Inbox");
    ASSERT_NE(inbox, nullptr);
    EXPECT_EQ(inbox->CopyTo(*source_top, nullptr).code(), Status::Code::kInvalidArgument);
    ASSERT_OK(other->Logoff());
    ASSERT_OK(session_->Logoff());
    // The source's store has gone: its folders refuse to copy.
    EXPECT_FALSE(inbox->CopyTo(*target_top, nullptr).ok());

    // Same folders, same messages; Deleted Items is the copy of the source's.
    EXPECT_EQ(TopFolderFacts(target_path).size(), TopFolderFacts(source_path).size());
    for (const FolderFacts& facts : TopFolderFacts(source_path)) {
      bool found = false;
      for (const FolderFacts& copy : TopFolderFacts(target_path)) {
        if (copy.name == facts.name) {
          found = true;
          EXPECT_EQ(copy.messages, facts.messages) << facts.name;
        }
      }
      EXPECT_TRUE(found) << facts.name;
    }
    auto written = Store::OpenPath(target_path);
    ASSERT_OK(written);
    EXPECT_EQ((*written)->format(), c.target);
    auto wastebasket = (*written)->OpenFolder(
        (*written)->FolderNidOf(pst::messaging::kPidIpmWastebasketEntryId).value_or(0));
    ASSERT_OK(wastebasket);
    EXPECT_EQ(*wastebasket->DisplayName(), "Deleted Items");
    EXPECT_GT(wastebasket->MessageNids()->size(), 0u);
    std::string findings;
    EXPECT_TRUE(Sound(target_path, &findings)) << findings;
    Open(factory_);
  }
}

TEST_F(PstSessionWriteTest, CancelledCopyLeavesNothingBehind) {
  const std::string target_path = dir_.Join("target.pst");
  auto target = Attach(target_path);
  auto source = Attach(Copy("unicode-enron-13mb.pst"));
  auto folder = Child(**source->IPMRootFolder(), "lokay-m");
  ASSERT_NE(folder, nullptr);
  CountingObserver observer;
  observer.allowed_calls = 0;
  const Status cancelled = folder->CopyTo(**target->IPMRootFolder(), &observer);
  EXPECT_EQ(cancelled.code(), Status::Code::kCancelled);
  EXPECT_EQ(ErrorNumber(cancelled), 1006);
  EXPECT_NE(ErrorDescription(cancelled).find("lokay-m"), std::string::npos);
  EXPECT_EQ(observer.calls, 1);
  EXPECT_EQ(Child(**target->IPMRootFolder(), "lokay-m"), nullptr);
  ASSERT_OK(session_->Logoff());
  for (const FolderFacts& facts : TopFolderFacts(target_path)) EXPECT_NE(facts.name, "lokay-m");
  std::string findings;
  EXPECT_TRUE(Sound(target_path, &findings)) << findings;
}

TEST_F(PstSessionWriteTest, CopyOutOfAProtectedStoreIsProtectedByTheSamePassword) {
  const std::string target_path = dir_.Join("target.pst");
  auto target = Attach(target_path);
  auto source = Attach(Copy("ansi-outlook97-passworded-294msgs.pst"), std::nullopt, std::string("pass12345"));
  ASSERT_NE(source, nullptr);
  ASSERT_OK(Child(**source->IPMRootFolder(), "Inbox")->CopyTo(**target->IPMRootFolder(), nullptr));
  ASSERT_OK(session_->Logoff());

  auto copy = Store::OpenPath(target_path);
  ASSERT_OK(copy);
  EXPECT_EQ((*copy)->password_crc(), 0xB1031B28u);  // the source's, per pffinfo
  EXPECT_TRUE((*copy)->PasswordMatchesText("pass12345"));
  std::string findings;
  EXPECT_TRUE(Sound(target_path, &findings)) << findings;

  // Opened again through a session, the copy needs that password.
  Open(factory_);
  EXPECT_EQ(stores_->AddPSTStore(target_path, kStoreFormatDefault, std::nullopt, {}).status().code(),
            Status::Code::kPermissionDenied);
  EXPECT_NE(Attach(target_path, std::nullopt, std::string("pass12345")), nullptr);
}

TEST_F(PstSessionWriteTest, AnsiOutputThatReachesItsSizeLimitSaysSo) {
  const std::string target_path = dir_.Join("ansi.pst");
  pst::messaging::StoreOptions options;
  options.format = pst::ndb::Format::kAnsi;
  ASSERT_OK(pst::messaging::CreateStore(target_path, options));
  // The ceiling, lowered so a 13 MB store passes it.
  const uint64_t limit = fs::file_size(target_path) + 2 * 1024 * 1024;
  PstSessionFactory small({.ansi_max_file_size = limit});
  Open(small);
  auto target = Attach(target_path);
  auto source = Attach(Copy("unicode-enron-13mb.pst"));
  auto source_top = *source->IPMRootFolder();
  auto target_top = *target->IPMRootFolder();
  const Status full = Child(*source_top, "lokay-m")->CopyTo(*target_top, nullptr);
  EXPECT_EQ(full.code(), Status::Code::kSizeLimit);
  EXPECT_NE(ErrorDescription(full).find("\"lokay-m\""), std::string::npos) << ErrorDescription(full);
  EXPECT_NE(ErrorDescription(full).find("reached the ANSI size limit"), std::string::npos);
  // The folder went in as far as it fitted; the notice says how much did not.
  EXPECT_NE(ErrorDescription(full).find("was copied in part"), std::string::npos) << ErrorDescription(full);
  EXPECT_NE(ErrorDescription(full).find(" messages of \"lokay-m"), std::string::npos) << ErrorDescription(full);
  EXPECT_NE(Child(*target_top, "lokay-m"), nullptr);
  // What fits still goes in.
  EXPECT_OK(Child(*source_top, "Deleted Items")->CopyTo(*target_top, nullptr));
  ASSERT_OK(session_->Logoff());
  EXPECT_LE(fs::file_size(target_path), limit);
  std::string findings;
  EXPECT_TRUE(Sound(target_path, &findings)) << findings;
}

// A message that cannot be read is left out and named; one whose block is
// damaged but still decodes is carried; the observer hears of both.
TEST_F(PstSessionWriteTest, CopyFromADamagedSourceKeepsWhatReadsAndSaysWhat) {
  struct DamageObserver : CountingObserver {
    void OnDamage(const CopyDamage& d) override {
      damage.messages_recovered_with_damage += d.messages_recovered_with_damage;
      damage.messages_unreadable += d.messages_unreadable;
    }
    CopyDamage damage;
  };
  const std::string source_path = Copy("unicode-follow-up-flags.pst");
  ASSERT_TRUE(DamageFirstMessage(source_path, "Inbox", pst::test::MessageDamage::kUnreadable));
  ASSERT_TRUE(DamageFirstMessage(source_path, "Sent Items", pst::test::MessageDamage::kWrongBytes));
  const std::string target_path = dir_.Join("target.pst");
  auto target = Attach(target_path);
  auto source = Attach(source_path);
  DamageObserver observer;
  const Status copied = Child(**source->IPMRootFolder(), "Inbox")->CopyTo(**target->IPMRootFolder(), &observer);
  EXPECT_EQ(copied.code(), Status::Code::kCorruption);
  EXPECT_EQ(ErrorNumber(copied), 1001);
  const std::string description = ErrorDescription(copied);
  EXPECT_NE(description.find("\"Inbox\" was copied incompletely: 1 object not copied"), std::string::npos)
      << description;
  EXPECT_OK(Child(**source->IPMRootFolder(), "Sent Items")->CopyTo(**target->IPMRootFolder(), &observer));
  EXPECT_EQ(observer.damage.messages_unreadable, 1u);
  EXPECT_EQ(observer.damage.messages_recovered_with_damage, 1u);
  ASSERT_OK(session_->Logoff());
  std::map<std::string, size_t> messages;
  for (const FolderFacts& facts : TopFolderFacts(target_path)) messages[facts.name] = facts.messages;
  EXPECT_EQ(messages["Inbox"], 2u);  // of 3
  EXPECT_EQ(messages["Sent Items"], 5u);  // of 5
  std::string findings;
  EXPECT_TRUE(Sound(target_path, &findings)) << findings;
}

TEST_F(PstSessionWriteTest, TopFolderMessagesGoIntoTheTargetsTopFolder) {
  const std::string target_path = dir_.Join("target.pst");
  auto target = Attach(target_path);
  // A top folder holding nothing changes nothing.
  const std::string fresh = TempDir::ReadFile(target_path);
  auto empty = Attach(Copy("unicode-empty-outlook.pst"));
  EXPECT_OK((*empty->IPMRootFolder())->CopyContentsTo(**target->IPMRootFolder(), nullptr));
  EXPECT_TRUE(TempDir::ReadFile(target_path) == fresh);

  const std::string source_path = Copy("unicode-tika-testpst-french-2mb.pst");
  size_t in_source = 0;
  TopFolderFacts(source_path, &in_source);
  ASSERT_EQ(in_source, 7u);
  auto source = Attach(source_path);
  CountingObserver observer;
  const Status copied = (*source->IPMRootFolder())->CopyContentsTo(**target->IPMRootFolder(), &observer);
  EXPECT_OK(copied);
  EXPECT_GE(observer.calls, 1);
  ASSERT_OK(session_->Logoff());
  size_t in_target = 0;
  const std::vector<FolderFacts> folders = TopFolderFacts(target_path, &in_target);
  EXPECT_EQ(in_target, 7u);
  ASSERT_EQ(folders.size(), 1u);  // the new store's Deleted Items, nothing else
  std::string findings;
  EXPECT_TRUE(Sound(target_path, &findings)) << findings;
}

}  // namespace
}  // namespace quillmar::session
