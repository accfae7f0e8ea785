#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/testing/commands_test_fixture.h"

namespace quillmar::core {
namespace {

using session::kStoreKindAnsi;
using session::kStoreKindUnicode;
using session::Status;
using ::testing::ElementsAre;

const char kOutlookError[] =
    "Outlook NOT Installed/Configured Properly \r\n"
    "                           or\r\n"
    "Selected file is not a valid Outlook PST file.\r\n"
    "Please also make sure PST file is not corrupt and you are able to open the PST file in Outlook.";

class SourceSelectionTest : public CommandsTest {
 protected:
  void SetUp() override {
    world_.PutStore("/data/old.pst", {kStoreKindAnsi, {"Inbox"}, {}});
    world_.PutStore("/data/new.pst", {kStoreKindUnicode, {"Inbox"}, {}});
    world_.PutStore("/data/mail.ost", {3, {"Inbox"}, {}});
  }

  void ExpectOutlookErrorOnly() {
    ASSERT_EQ(window_.messages.size(), 1u);
    EXPECT_EQ(window_.messages[0].text, kOutlookError);
    EXPECT_EQ(window_.messages[0].title, "Outlook Error");
    EXPECT_EQ(window_.messages[0].style, 64);
  }

  void ExpectNothingLeftOpen() {
    EXPECT_EQ(commands_.session_reference(), nullptr);
    EXPECT_EQ(world_.sessions_logged_on(), 0);
  }
};

TEST_F(SourceSelectionTest, DialogIsSetUpAndItsAnswerGoesThroughThePathBox) {
  Browse("/data/old.pst");
  ASSERT_EQ(dialogs_.shown.size(), 1u);
  EXPECT_EQ(dialogs_.shown[0].owner, RecordingWindow::kHandle);
  EXPECT_EQ(dialogs_.shown[0].file_name, "");
  EXPECT_EQ(dialogs_.shown[0].filter, "Outlook Personal Storage File (*.pst)|*.pst");
  EXPECT_EQ(window_.path_text, "/data/old.pst");
  EXPECT_THAT(world_.calls(),
              ElementsAre("CreateSession:Redemption.RDOSession", "Logon:s1", "ClientVersion:s1",
                          "Stores:s1", "AddPSTStore:/data/old.pst", "StoreKind:/data/old.pst",
                          "StoreKind:/data/old.pst", "Remove:/data/old.pst", "Logoff:s1"));
  EXPECT_EQ(world_.stores_attached(), 0);
  ExpectNothingLeftOpen();
  EXPECT_EQ(world_.StoreAt("/data/old.pst")->writes, 0);
}

TEST_F(SourceSelectionTest, AnsiThenUnicodeFollowTheDetectionTable) {
  Browse("/data/old.pst");
  EXPECT_THAT(window_.log,
              ElementsAre("path=/data/old.pst", "label=ANSI PST (2000/2002/XP)",
                          "OptUnicode available", "OptUnicode selected", "OptAnsi deselected",
                          "OptAnsi unavailable", "frame shown", "convert enabled",
                          "toolbar 3 enabled", "toolbar redraw"));
  EXPECT_EQ(global_.SourceKind, 1);
  EXPECT_TRUE(window_.messages.empty());

  window_.log.clear();
  Browse("/data/new.pst");
  EXPECT_THAT(window_.log,
              ElementsAre("path=/data/new.pst", "label=UNICODE PST (2003/2007)",
                          "OptAnsi available", "OptAnsi selected", "OptUnicode deselected",
                          "OptUnicode unavailable", "frame shown", "convert enabled",
                          "toolbar 3 enabled", "toolbar redraw"));
  EXPECT_EQ(global_.SourceKind, 2);
  EXPECT_TRUE(window_.selected[TargetOption::kAnsi]);
  EXPECT_FALSE(window_.available[TargetOption::kUnicode]);
  ExpectNothingLeftOpen();
}

TEST_F(SourceSelectionTest, OtherStoreKindEnablesConversionButKeepsTheEarlierDetection) {
  Browse("/data/mail.ost");
  EXPECT_TRUE(window_.scan_frame_visible);
  EXPECT_TRUE(window_.convert_enabled);
  EXPECT_TRUE(window_.toolbar_enabled[3]);
  EXPECT_EQ(window_.format_label, "");
  EXPECT_EQ(global_.SourceKind, 0);
  EXPECT_FALSE(window_.selected[TargetOption::kAnsi] || window_.selected[TargetOption::kUnicode]);

  Browse("/data/new.pst");
  Browse("/data/mail.ost");
  EXPECT_EQ(window_.format_label, "UNICODE PST (2003/2007)");
  EXPECT_EQ(global_.SourceKind, 2);
  EXPECT_EQ(world_.CallCount("Remove"), 3);
  ExpectNothingLeftOpen();
}

TEST_F(SourceSelectionTest, CancelHidesTheFrameAndKeepsTheEarlierSelection) {
  Browse("");
  EXPECT_EQ(world_.CallCount("CreateSession"), 0);
  EXPECT_THAT(window_.log, ElementsAre("path=", "frame hidden"));

  Browse("/data/old.pst");
  window_.log.clear();
  Browse("");
  EXPECT_THAT(window_.log, ElementsAre("path=", "frame hidden"));
  EXPECT_EQ(window_.path_text, "");
  EXPECT_EQ(global_.SourceKind, 1);
  EXPECT_EQ(window_.format_label, "ANSI PST (2000/2002/XP)");
  EXPECT_TRUE(window_.convert_enabled);
  EXPECT_EQ(world_.sessions_created(), 1);
}

TEST_F(SourceSelectionTest, VersionGate) {
  struct Case {
    const char* version;
    bool passes;
  };
  for (const Case& c : {Case{"9.0.0.2711", false}, Case{"10.0.0.6626", false},
                        Case{"11.0.0.8206", true}, Case{"12.0.0.4518", true},
                        Case{"16.0.0.0", true}, Case{"9", false}}) {
    SCOPED_TRACE(c.version);
    window_ = RecordingWindow();
    global_.SourceKind = 0;
    world_.client_version = c.version;
    const int removes_before = world_.CallCount("Remove");
    Browse("/data/old.pst");
    EXPECT_EQ(window_.path_text, "/data/old.pst");
    if (c.passes) {
      EXPECT_TRUE(window_.messages.empty());
      EXPECT_EQ(global_.SourceKind, 1);
      EXPECT_EQ(world_.CallCount("Remove"), removes_before + 1);
    } else {
      ASSERT_EQ(window_.messages.size(), 1u);
      EXPECT_EQ(window_.messages[0].text, "Software requires Outlook 2003 or Upper version");
      EXPECT_EQ(window_.messages[0].title, "QUILLMAR");
      EXPECT_EQ(window_.messages[0].style, 64);
      EXPECT_EQ(global_.SourceKind, 0);
      EXPECT_FALSE(window_.scan_frame_visible);
      EXPECT_FALSE(window_.convert_enabled);
      EXPECT_EQ(world_.calls().back(), "Logoff:s" + std::to_string(world_.sessions_created()));
    }
    ExpectNothingLeftOpen();
  }
}

TEST_F(SourceSelectionTest, NonNumericVersionIsAnOutlookError) {
  for (const char* version : {"ab.0", "", ".x", "1a.0"}) {
    SCOPED_TRACE(version);
    window_ = RecordingWindow();
    world_.client_version = version;
    Browse("/data/old.pst");
    ExpectOutlookErrorOnly();
    EXPECT_EQ(global_.SourceKind, 0);
    ExpectNothingLeftOpen();
  }
}

// A failure at each session call after the empty-name test ends in the one
// "Outlook Error" message, with the session logged off and what the steps
// before it did left as it is.
TEST_F(SourceSelectionTest, FailureAtEachStepShowsTheOutlookError) {
  struct Case {
    const char* operation;
    int n;
    int source_kind_after;  // an ANSI file is picked; the earlier one was Unicode
  };
  for (const Case& c : {Case{"CreateSession", 2, 2}, Case{"Logon", 2, 2},
                        Case{"ClientVersion", 2, 2}, Case{"Stores", 2, 2},
                        Case{"AddPSTStore", 2, 2}, Case{"StoreKind", 3, 2},
                        Case{"StoreKind", 4, 1}, Case{"Remove", 2, 1}, Case{"Logoff", 2, 1}}) {
    SCOPED_TRACE(std::string(c.operation) + " #" + std::to_string(c.n));
    world_ = session::FakeSessionWorld();
    SetUp();
    window_ = RecordingWindow();
    global_.SourceKind = 0;
    Browse("/data/new.pst");  // a good earlier selection
    window_.scan_frame_visible = false;  // so a failing scan shows what it did
    world_.FailAt(c.operation, c.n, Status::IOError("injected"));
    Browse("/data/old.pst");
    ExpectOutlookErrorOnly();
    EXPECT_EQ(window_.path_text, "/data/old.pst");
    EXPECT_EQ(global_.SourceKind, c.source_kind_after);
    const bool scanned = std::string(c.operation) == "Remove" || std::string(c.operation) == "Logoff";
    EXPECT_EQ(window_.scan_frame_visible, scanned);
    ExpectNothingLeftOpen();
  }
}

TEST_F(SourceSelectionTest, FailingLogoffInTheErrorBranchIsReportedAndTheProgramGoesOn) {
  world_.FailAt("StoreKind", 1, Status::Corruption("bad property context"));
  world_.FailAt("Logoff", 0, Status::IOError("session stuck"));
  Browse("/data/old.pst");
  ASSERT_EQ(window_.messages.size(), 1u);
  EXPECT_EQ(window_.messages[0].text, "Error 1003: session stuck");
  EXPECT_EQ(window_.messages[0].title, "QUILLMAR");
  EXPECT_EQ(commands_.session_reference(), nullptr);
  EXPECT_EQ(window_.end_program_calls, 0);

  // The next browse works as usual.
  world_ = session::FakeSessionWorld();
  SetUp();
  window_.messages.clear();
  Browse("/data/new.pst");
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_EQ(global_.SourceKind, 2);
}

TEST_F(SourceSelectionTest, FailingDialogIsReportedWithItsNumber) {
  dialogs_.create_failure = Status::NotSupported("no file dialog on this desktop");
  Browse("/data/old.pst");
  ASSERT_EQ(window_.messages.size(), 1u);
  EXPECT_EQ(window_.messages[0].text, "Error 1002: no file dialog on this desktop");
  EXPECT_EQ(window_.path_text, "");

  dialogs_.create_failure = Status::Ok();
  dialogs_.show_failure = Status::IOError("display gone");
  Browse("/data/old.pst");
  EXPECT_EQ(window_.messages.back().text, "Error 1003: display gone");
  EXPECT_EQ(world_.sessions_created(), 0);
  EXPECT_EQ(window_.path_text, "");
}

class Answers : public PasswordPrompt {
 public:
  std::vector<std::optional<std::string>> answers;
  std::vector<bool> retries;
  std::optional<std::string> AskPassword(const std::string&, bool retry) override {
    retries.push_back(retry);
    if (answers.empty()) return std::nullopt;
    auto answer = answers.front();
    answers.erase(answers.begin());
    return answer;
  }
};

TEST_F(SourceSelectionTest, ProtectedStoreAsksForItsPassword) {
  world_.PutStore("/data/locked.pst", {kStoreKindAnsi, {"Inbox"}, std::string("s3cret")});
  Answers prompt;
  MainCommandsDeps deps = Deps();
  deps.password_prompt = &prompt;
  MainCommands commands(deps);

  prompt.answers = {std::string("wrong"), std::string("s3cret")};
  dialogs_.answer = "/data/locked.pst";
  commands.CmdBrowse_Click();
  EXPECT_THAT(prompt.retries, ElementsAre(false, true));
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_EQ(global_.SourceKind, 1);

  // The same file again in this program run: not asked a second time.
  global_.SourceKind = 0;
  commands.CmdBrowse_Click();
  EXPECT_THAT(prompt.retries, ElementsAre(false, true));
  EXPECT_EQ(global_.SourceKind, 1);

  // Cancelling the prompt is an ordinary failure to open the store.
  world_.PutStore("/data/other.pst", {kStoreKindUnicode, {"Inbox"}, std::string("other")});
  global_.SourceKind = 0;
  prompt.answers = {std::nullopt};
  dialogs_.answer = "/data/other.pst";
  commands.CmdBrowse_Click();
  ExpectOutlookErrorOnly();
  EXPECT_EQ(global_.SourceKind, 0);
}

TEST_F(SourceSelectionTest, UnprotectedStoreNeverAsks) {
  Answers prompt;
  MainCommandsDeps deps = Deps();
  deps.password_prompt = &prompt;
  MainCommands commands(deps);
  dialogs_.answer = "/data/old.pst";
  commands.CmdBrowse_Click();
  EXPECT_TRUE(prompt.retries.empty());
  EXPECT_EQ(global_.SourceKind, 1);
}

}  // namespace
}  // namespace quillmar::core
