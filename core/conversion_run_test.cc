#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/testing/commands_test_fixture.h"

namespace quillmar::core {
namespace {

namespace fs = std::filesystem;
using session::kStoreKindAnsi;
using session::kStoreKindUnicode;
using session::Status;
using pst::test::TempDir;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class ConversionRunTest : public CommandsTest {
 protected:
  void SetUp() override {
    program_ = dir_.Join("program");
    out_ = dir_.Join("out");
    fs::create_directories(program_);
    fs::create_directories(out_);
    TempDir::WriteFile(program_ + "/xport.def", "template-unicode");
    TempDir::WriteFile(program_ + "/xportk.def", "template-ansi");
    env_.program_folder = program_;
    picker_.answer = out_;
    FillWorld();
  }

  void FillWorld() {
    world_.DefineImage("template-unicode", {kStoreKindUnicode, {"Deleted Items", "Search Root"}, {}});
    world_.DefineImage("template-ansi", {kStoreKindAnsi, {"Deleted Items"}, {}});
    world_.PutStore("/data/old.pst", {kStoreKindAnsi, {"Inbox", {"Sent Items", {"2019"}}, "Calendar"}, {}});
    world_.PutStore("/data/new.pst", {kStoreKindUnicode, {"Inbox"}, {}});
    world_.PutStore("/data/empty.pst", {kStoreKindAnsi, {}, {}});
  }

  // Detects the source through browse, then converts it.
  void Convert(const std::string& source) {
    Browse(source);
    ASSERT_TRUE(window_.messages.empty());
    commands_.CmdConvertPST_Click();
  }

  std::string Expected(const std::string& name) const { return out_ + "/" + name; }

  std::string Notice(const std::string& output_path) const {
    return "Conversion Completed\r\nPST File Name : " + output_path;
  }

  void ExpectEverythingReleased() {
    EXPECT_EQ(commands_.session_reference(), nullptr);
    EXPECT_EQ(world_.sessions_logged_on(), 0);
    EXPECT_EQ(world_.stores_attached(), 0);
    EXPECT_FALSE(commands_.RunInProgress());
  }

  std::string program_;
  std::string out_;
};

TEST_F(ConversionRunTest, CancelledPickerOnlyDisablesTheConvertButton) {
  Browse("/data/old.pst");
  window_.log.clear();
  picker_.answer = "";
  commands_.CmdConvertPST_Click();
  ASSERT_EQ(picker_.calls.size(), 1u);
  EXPECT_EQ(picker_.calls[0].first, platform::kNoOwner);
  EXPECT_EQ(picker_.calls[0].second, "Select Path to Save Converted PST File");
  EXPECT_THAT(window_.log, ElementsAre("convert disabled"));
  EXPECT_EQ(global_.SaveFolder, "");
  EXPECT_EQ(world_.sessions_created(), 1);  // browse's only
  EXPECT_TRUE(fs::is_empty(out_));
  EXPECT_TRUE(window_.toolbar_enabled[3]);
}

TEST_F(ConversionRunTest, ConvertsEveryTopFolderAndReportsTheOutput) {
  std::vector<bool> held_during_yields;
  env_.on_yield = [&](int) { held_during_yields.push_back(commands_.session_reference() != nullptr); };
  Convert("/data/old.pst");

  const std::string output = Expected("Brantwick-06-12-2026-14-05-09.pst");
  EXPECT_EQ(global_.SaveFolder, out_ + "/");
  EXPECT_EQ(global_.TemplatePath, program_ + "/xport.def");
  EXPECT_EQ(global_.OutputBaseName, "Brantwick-06-12-2026-14-05-09");
  EXPECT_EQ(global_.OutputPath, output);

  EXPECT_THAT(world_.TopFolderNames(output), ElementsAre("Inbox", "Sent Items", "Calendar"));
  EXPECT_EQ(world_.StoreAt(output)->root->children[1]->children.at(0)->name, "2019");
  EXPECT_EQ(world_.StoreAt(output)->kind, kStoreKindUnicode);
  EXPECT_EQ(world_.StoreAt(output)->display_name, "Personal Folders");
  EXPECT_EQ(world_.StoreAt("/data/old.pst")->writes, 0);

  for (auto [control, visible] : window_.progress_visible) EXPECT_TRUE(visible);
  EXPECT_THAT(window_.processing_captions,
              ElementsAre("Processing...", "Inbox", "Sent Items", "Calendar", ""));
  EXPECT_EQ(window_.save_header_caption, "");
  EXPECT_THAT(window_.log, ::testing::Contains("header=Checking Configuration..."));
  ASSERT_EQ(window_.skinned_messages.size(), 1u);
  EXPECT_EQ(window_.skinned_messages[0].text, Notice(output));
  EXPECT_EQ(window_.skinned_messages[0].title, "QUILLMAR");
  EXPECT_EQ(window_.skinned_messages[0].style, 64);
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_TRUE(window_.convert_enabled);

  // One yield after the second logon, one after each folder.
  EXPECT_THAT(held_during_yields, ElementsAre(true, true, true, true));
  const auto& calls = world_.calls();
  const std::vector<std::string> closing(calls.end() - 4, calls.end());
  EXPECT_THAT(closing, ElementsAre("Remove:/data/old.pst", "Remove:" + output, "Logoff:s3", "Logoff:s2"));
  ExpectEverythingReleased();
}

TEST_F(ConversionRunTest, TemplateFollowsSourceKind) {
  struct Case {
    int16_t source_kind;
    const char* template_name;
    int32_t output_kind;
  };
  for (const Case& c : {Case{0, "xport.def", kStoreKindUnicode}, Case{1, "xport.def", kStoreKindUnicode},
                        Case{2, "xportk.def", kStoreKindAnsi}}) {
    SCOPED_TRACE(c.source_kind);
    fs::remove_all(out_);
    fs::create_directories(out_);
    window_.path_text = "/data/new.pst";  // the run checks neither path nor kind
    global_.SourceKind = c.source_kind;
    commands_.CmdConvertPST_Click();
    EXPECT_EQ(global_.TemplatePath, program_ + "/" + c.template_name);
    EXPECT_EQ(world_.StoreAt(global_.OutputPath)->kind, c.output_kind);
    EXPECT_THAT(world_.TopFolderNames(global_.OutputPath), ElementsAre("Inbox"));
    world_ = session::FakeSessionWorld();
    FillWorld();
  }
}

TEST_F(ConversionRunTest, OutputNameComesFromTheLocalClock) {
  env_.now = {2027, 3, 1, 9, 5, 7};
  Convert("/data/new.pst");
  EXPECT_EQ(global_.OutputPath, Expected("Brantwick-01-03-2027-09-05-07.pst"));
  EXPECT_EQ(global_.TemplatePath, program_ + "/xportk.def");

  env_.now = {2027, 3, 1, 21, 15, 0};
  commands_.CmdConvertPST_Click();
  EXPECT_EQ(global_.OutputBaseName, "Brantwick-01-03-2027-21-15-00");
  EXPECT_TRUE(fs::exists(Expected("Brantwick-01-03-2027-21-15-00.pst")));
}

TEST_F(ConversionRunTest, ExistingFilesAreNeverOverwritten) {
  Convert("/data/old.pst");
  const std::string first = Expected("Brantwick-06-12-2026-14-05-09.pst");
  TempDir::WriteFile(Expected("Brantwick-06-12-2026-14-05-09-2.pst"), "the user's own file");

  commands_.CmdConvertPST_Click();  // the same second
  const std::string third = Expected("Brantwick-06-12-2026-14-05-09-3.pst");
  EXPECT_EQ(global_.OutputPath, third);
  EXPECT_EQ(window_.skinned_messages.back().text, Notice(third));
  EXPECT_EQ(TempDir::ReadFile(Expected("Brantwick-06-12-2026-14-05-09-2.pst")), "the user's own file");
  EXPECT_THAT(world_.TopFolderNames(first), ElementsAre("Inbox", "Sent Items", "Calendar"));
  EXPECT_THAT(world_.TopFolderNames(third), ElementsAre("Inbox", "Sent Items", "Calendar"));
}

TEST_F(ConversionRunTest, LinksAtTheOutputNameAreNeitherFollowedNorReplaced) {
  // A dangling link at the first name, a link to another file at the second.
  fs::create_directories(dir_.Join("elsewhere"));
  TempDir::WriteFile(dir_.Join("elsewhere/target.pst"), "someone else's file");
  fs::create_symlink(dir_.Join("elsewhere/absent.pst"), Expected("Brantwick-06-12-2026-14-05-09.pst"));
  fs::create_symlink(dir_.Join("elsewhere/target.pst"), Expected("Brantwick-06-12-2026-14-05-09-2.pst"));

  Convert("/data/old.pst");
  const std::string third = Expected("Brantwick-06-12-2026-14-05-09-3.pst");
  EXPECT_EQ(global_.OutputPath, third);
  EXPECT_EQ(window_.skinned_messages.back().text, Notice(third));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(third)));
  EXPECT_THAT(world_.TopFolderNames(third), ElementsAre("Inbox", "Sent Items", "Calendar"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_.Join("elsewhere/absent.pst"))));
  EXPECT_EQ(TempDir::ReadFile(dir_.Join("elsewhere/target.pst")), "someone else's file");
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(Expected("Brantwick-06-12-2026-14-05-09.pst"))));
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(Expected("Brantwick-06-12-2026-14-05-09-2.pst"))));
}

TEST_F(ConversionRunTest, TemplateThatCannotBeCopiedStopsTheRunBeforeAnySession) {
  Browse("/data/old.pst");
  fs::remove(program_ + "/xport.def");
  commands_.CmdConvertPST_Click();
  ASSERT_EQ(window_.messages.size(), 1u);
  EXPECT_THAT(window_.messages[0].text, HasSubstr(program_ + "/xport.def"));
  EXPECT_THAT(window_.messages[0].text, HasSubstr("does not exist"));
  EXPECT_EQ(window_.messages[0].title, "QUILLMAR");
  EXPECT_EQ(world_.sessions_created(), 1);
  EXPECT_TRUE(fs::is_empty(out_));
  EXPECT_EQ(window_.processing_caption, "");
  EXPECT_TRUE(window_.skinned_messages.empty());

  // A program folder at the root: the template path gets no doubled "/".
  env_.program_folder = "/";
  commands_.CmdConvertPST_Click();
  EXPECT_EQ(global_.TemplatePath, "/xport.def");
}

TEST_F(ConversionRunTest, DestinationThatCannotBeWrittenNamesTheReason) {
  // The root as save folder: the name is joined without a doubled "/".
  struct FailingCopier : platform::FileCopier {
    platform::FileCopyResult CopyFile(const std::string&, const std::string&, bool) override {
      return {platform::FileCopyResult::Outcome::kFailed, "Read-only file system"};
    }
  } failing;
  Global global(picker_, failing);
  global.SourceKind = 1;
  MainCommandsDeps deps = Deps();
  deps.global = &global;
  MainCommands commands(deps);
  picker_.answer = "/";
  commands.CmdConvertPST_Click();
  ASSERT_EQ(window_.messages.size(), 1u);
  EXPECT_EQ(global.SaveFolder, "/");
  EXPECT_EQ(global.OutputPath, "/Brantwick-06-12-2026-14-05-09.pst");
  EXPECT_THAT(window_.messages[0].text, HasSubstr("/Brantwick-06-12-2026-14-05-09.pst"));
  EXPECT_THAT(window_.messages[0].text, HasSubstr("Read-only file system"));
  EXPECT_EQ(world_.sessions_created(), 0);
}

TEST_F(ConversionRunTest, SourceWithoutFoldersGivesAnEmptyOutput) {
  Convert("/data/empty.pst");
  EXPECT_TRUE(world_.TopFolderNames(global_.OutputPath).empty());
  EXPECT_THAT(window_.processing_captions, ElementsAre("Processing...", ""));
  EXPECT_EQ(window_.skinned_messages.at(0).text, Notice(global_.OutputPath));
  EXPECT_EQ(env_.yields, 1);
  ExpectEverythingReleased();
}

TEST_F(ConversionRunTest, FailedFolderIsSkippedAndNamedInTheNotice) {
  world_.FailOn("CopyTo", "Sent Items", Status::OutOfSpace("disk full"));
  Convert("/data/old.pst");
  EXPECT_THAT(world_.TopFolderNames(global_.OutputPath), ElementsAre("Inbox", "Calendar"));
  EXPECT_THAT(window_.processing_captions,
              ElementsAre("Processing...", "Inbox", "Sent Items", "Calendar", ""));
  ASSERT_EQ(window_.skinned_messages.size(), 1u);
  EXPECT_EQ(window_.skinned_messages[0].text,
            Notice(global_.OutputPath) +
                "\r\nThe converted file is incomplete. These folders were not copied:"
                "\r\nSent Items: disk full");
  EXPECT_TRUE(window_.messages.empty());
  ExpectEverythingReleased();
}

TEST_F(ConversionRunTest, LaterFailuresInTheLoopArePassedOver) {
  // An unreadable name keeps the previous caption and a store that will not
  // detach is left so; neither makes the output short.
  Browse("/data/old.pst");
  world_.FailOn("Name", "Sent Items", Status::Corruption("bad display name"));
  world_.FailOn("Remove", "/data/old.pst", Status::IOError("cannot detach"));
  commands_.CmdConvertPST_Click();
  EXPECT_THAT(world_.TopFolderNames(global_.OutputPath), ElementsAre("Inbox", "Sent Items", "Calendar"));
  EXPECT_THAT(window_.processing_captions, ElementsAre("Processing...", "Inbox", "Calendar", ""));
  EXPECT_EQ(window_.skinned_messages.at(0).text, Notice(global_.OutputPath));

  world_ = session::FakeSessionWorld();
  FillWorld();
  window_ = RecordingWindow();
  // A failing move to the next folder ends the loop, and the notice says
  // the output is short. Next: 3 calls empty the template, then the source's.
  world_.FailAt("Next", 5, Status::Corruption("hierarchy table damaged"));
  Convert("/data/old.pst");
  EXPECT_THAT(world_.TopFolderNames(global_.OutputPath), ElementsAre("Inbox"));
  EXPECT_THAT(window_.skinned_messages.at(0).text,
              HasSubstr("incomplete. These folders were not copied:\r\nthe folders after \"Inbox\": "
                        "hierarchy table damaged"));

  // An output that cannot be finished (its writing failed and it is not
  // sound) is not announced as a plain success.
  world_ = session::FakeSessionWorld();
  FillWorld();
  window_ = RecordingWindow();
  world_.FailAt("Remove", 3, Status::Corruption("the output is not a sound store"));  // browse, source, output
  Convert("/data/old.pst");
  EXPECT_THAT(window_.skinned_messages.at(0).text,
              HasSubstr("incomplete. These folders were not copied:\r\nfinishing the converted file: "
                        "the output is not a sound store"));
}

// Before the first folder is copied, any failure stops the run: one message
// with the error's number and description, everything opened released, and
// the program goes on.
TEST_F(ConversionRunTest, FailureBeforeTheCopyLoopStopsTheRunAndReleasesEverything) {
  struct Case {
    const char* operation;
    int n;  // browse made the first call of each session operation
  };
  for (const Case& c : {Case{"CreateSession", 2}, Case{"Logon", 2}, Case{"Stores", 2},
                        Case{"AddPSTStore", 2}, Case{"IPMRootFolder", 1}, Case{"Folders", 1},
                        Case{"Next", 1}, Case{"Delete", 2}, Case{"CreateSession", 3},
                        Case{"Logon", 3}, Case{"Stores", 3}, Case{"AddPSTStore", 3},
                        Case{"IPMRootFolder", 2}, Case{"Folders", 2}, Case{"Next", 4}}) {
    SCOPED_TRACE(std::string(c.operation) + " #" + std::to_string(c.n));
    world_ = session::FakeSessionWorld();
    FillWorld();
    window_ = RecordingWindow();
    world_.FailAt(c.operation, c.n, Status::IOError("injected"));
    Convert("/data/old.pst");
    ASSERT_EQ(window_.messages.size(), 1u);
    EXPECT_EQ(window_.messages[0].text, "The conversion was stopped.\r\nError 1003: " +
                                            std::string(c.operation == std::string("AddPSTStore")
                                                            ? (c.n == 2 ? global_.OutputPath : "/data/old.pst") + ": "
                                                            : "") +
                                            "injected");
    EXPECT_TRUE(window_.skinned_messages.empty());
    EXPECT_EQ(window_.processing_caption, "");
    EXPECT_EQ(window_.save_header_caption, "");
    EXPECT_EQ(window_.end_program_calls, 0);
    ExpectEverythingReleased();
  }
  // The next run goes through.
  world_ = session::FakeSessionWorld();
  FillWorld();
  window_.messages.clear();
  Convert("/data/old.pst");
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_EQ(window_.skinned_messages.size(), 1u);
}

TEST_F(ConversionRunTest, ClosingFailsWithNothingCopiedStopsTheRun) {
  Browse("/data/empty.pst");
  world_.FailOn("Remove", "/data/empty.pst", Status::IOError("cannot detach"));
  commands_.CmdConvertPST_Click();
  ASSERT_EQ(window_.messages.size(), 1u);
  EXPECT_THAT(window_.messages[0].text, HasSubstr("Error 1003: cannot detach"));
  EXPECT_TRUE(window_.skinned_messages.empty());
  EXPECT_EQ(commands_.session_reference(), nullptr);
  EXPECT_EQ(world_.sessions_logged_on(), 0);  // logoff detaches the stuck store
}

TEST_F(ConversionRunTest, CommandsDuringAYieldAreRefused) {
  Browse("/data/old.pst");
  const int dialogs_before = dialogs_.created;
  std::vector<session::RDOSession*> held;
  env_.on_yield = [&](int) {
    held.push_back(commands_.session_reference().get());
    dialogs_.answer = "/data/new.pst";
    commands_.CmdBrowse_Click();
    commands_.CmdConvertPST_Click();
    EXPECT_EQ(commands_.session_reference().get(), held.back());
  };
  commands_.CmdConvertPST_Click();
  EXPECT_EQ(dialogs_.created, dialogs_before);
  EXPECT_EQ(picker_.calls.size(), 1u);
  EXPECT_EQ(global_.SourceKind, 1);
  EXPECT_EQ(window_.path_text, "/data/old.pst");
  EXPECT_EQ(held.size(), 4u);
  EXPECT_NE(held[0], nullptr);
  EXPECT_EQ(world_.sessions_created(), 3);
  EXPECT_EQ(window_.skinned_messages.size(), 1u);

  // Once the run is over, both commands work again.
  env_.on_yield = nullptr;
  commands_.CmdBrowse_Click();
  EXPECT_EQ(global_.SourceKind, 2);
}

TEST_F(ConversionRunTest, ExitDuringARunStopsItAndRemovesTheUnfinishedFile) {
  Browse("/data/old.pst");
  env_.on_yield = [&](int n) {
    if (n == 2) commands_.RequestExit();  // after the first folder
    EXPECT_EQ(window_.end_program_calls, 0);
  };
  commands_.CmdConvertPST_Click();
  EXPECT_EQ(window_.end_program_calls, 1);
  EXPECT_FALSE(fs::exists(global_.OutputPath));
  EXPECT_TRUE(fs::is_empty(out_));
  EXPECT_TRUE(window_.skinned_messages.empty());
  EXPECT_EQ(world_.CallCount("CopyTo"), 1);
  ExpectEverythingReleased();
}

TEST_F(ConversionRunTest, ExitDuringALongCopyCancelsIt) {
  world_.copy_progress_steps = 5;
  Browse("/data/old.pst");
  env_.on_yield = [&](int n) {
    if (n == 3) commands_.RequestExit();  // the second progress report of the first copy
  };
  commands_.CmdConvertPST_Click();
  EXPECT_EQ(env_.yields, 3);
  EXPECT_EQ(window_.end_program_calls, 1);
  EXPECT_TRUE(fs::is_empty(out_));
  EXPECT_THAT(window_.processing_captions, ElementsAre("Processing...", ""));
  ExpectEverythingReleased();
}

TEST_F(ConversionRunTest, ExitWhileThePickerIsOpenEndsAtOnce) {
  Browse("/data/old.pst");
  picker_.while_open = [&] { commands_.RequestExit(); };
  commands_.CmdConvertPST_Click();
  EXPECT_EQ(window_.end_program_calls, 1);
  EXPECT_TRUE(fs::is_empty(out_));
  EXPECT_EQ(world_.sessions_created(), 1);

  MainCommands idle(Deps());
  idle.RequestExit();
  EXPECT_EQ(window_.end_program_calls, 2);
}

TEST_F(ConversionRunTest, LongCopiesYieldAtEachProgressReport) {
  world_.copy_progress_steps = 4;
  std::vector<std::string> captions_at_yields;
  env_.on_yield = [&](int) { captions_at_yields.push_back(window_.processing_caption); };
  Convert("/data/old.pst");
  EXPECT_EQ(env_.yields, 1 + 3 * 4 + 3);
  // The name appears only once its folder is copied.
  EXPECT_EQ(captions_at_yields[1], "Processing...");
  EXPECT_EQ(captions_at_yields[5], "Processing...");
  EXPECT_EQ(captions_at_yields[6], "Inbox");
  EXPECT_THAT(world_.TopFolderNames(global_.OutputPath), ElementsAre("Inbox", "Sent Items", "Calendar"));
}

class FixedPassword : public PasswordPrompt {
 public:
  int asked = 0;
  std::optional<std::string> AskPassword(const std::string&, bool) override {
    ++asked;
    return std::string("s3cret");
  }
};

TEST_F(ConversionRunTest, RunReusesThePasswordGivenInBrowse) {
  world_.PutStore("/data/locked.pst", {kStoreKindAnsi, {"Inbox"}, std::string("s3cret")});
  FixedPassword prompt;
  MainCommandsDeps deps = Deps();
  deps.password_prompt = &prompt;
  MainCommands commands(deps);
  dialogs_.answer = "/data/locked.pst";
  commands.CmdBrowse_Click();
  commands.CmdConvertPST_Click();
  EXPECT_EQ(prompt.asked, 1);
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_THAT(world_.TopFolderNames(global_.OutputPath), ElementsAre("Inbox"));
}

}  // namespace
}  // namespace quillmar::core
