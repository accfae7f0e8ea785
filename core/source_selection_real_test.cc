// Browse over the engine-backed session and real stores made by Outlook.
#include <gtest/gtest.h>

#include "core/global.h"
#include "core/main_commands.h"
#include "core/testing/test_doubles.h"
#include "platform/std_file_copy.h"
#include "pst/testing/samples.h"
#include "session/pst_session.h"

namespace quillmar::core {
namespace {

const char kOutlookError[] =
    "Outlook NOT Installed/Configured Properly \r\n"
    "                           or\r\n"
    "Selected file is not a valid Outlook PST file.\r\n"
    "Please also make sure PST file is not corrupt and you are able to open the PST file in Outlook.";

using pst::test::SamplePath;

class RealSourceSelectionTest : public ::testing::Test {
 protected:
  MainCommandsDeps Deps() {
    MainCommandsDeps deps;
    deps.window = &window_;
    deps.dialogs = &dialogs_;
    deps.sessions = &sessions_;
    deps.global = &global_;
    deps.environment = &env_;
    return deps;
  }
  void Browse(const std::string& path) {
    dialogs_.answer = path;
    commands_.CmdBrowse_Click();
  }

  RecordingWindow window_;
  ScriptedFileDialogs dialogs_;
  session::PstSessionFactory sessions_;
  ScriptedFolderPicker picker_;
  platform::StdFileCopier copier_;
  Global global_{picker_, copier_};
  FakeRunEnvironment env_;
  MainCommands commands_{Deps()};
};

TEST_F(RealSourceSelectionTest, DetectsAnsiUnicodeAndOtherStores) {
  Browse(SamplePath("ansi-pstsdk-sample2.pst"));
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_EQ(window_.format_label, "ANSI PST (2000/2002/XP)");
  EXPECT_EQ(global_.SourceKind, 1);
  EXPECT_TRUE(window_.selected[TargetOption::kUnicode]);
  EXPECT_TRUE(window_.convert_enabled);

  Browse(SamplePath("unicode-tika-testpst-french-2mb.pst"));
  EXPECT_EQ(window_.format_label, "UNICODE PST (2003/2007)");
  EXPECT_EQ(global_.SourceKind, 2);
  EXPECT_TRUE(window_.selected[TargetOption::kAnsi]);

  // An offline store is neither: the earlier detection stays.
  Browse(SamplePath("4k-ost-pstextractortest.ost"));
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_EQ(global_.SourceKind, 2);
  EXPECT_TRUE(window_.scan_frame_visible);
  EXPECT_EQ(commands_.session_reference(), nullptr);
}

TEST_F(RealSourceSelectionTest, UnreadableOrProtectedFilesGiveTheOutlookError) {
  for (const char* name : {"unicode-truncated-header-40b.bin", "MANIFEST.md",
                           "ansi-pstsdk-passworded-post.pst"}) {
    SCOPED_TRACE(name);
    window_.messages.clear();
    Browse(SamplePath(name));
    ASSERT_EQ(window_.messages.size(), 1u);
    EXPECT_EQ(window_.messages[0].text, kOutlookError);
    EXPECT_EQ(window_.messages[0].title, "Outlook Error");
    EXPECT_EQ(global_.SourceKind, 0);
    EXPECT_EQ(commands_.session_reference(), nullptr);
  }
}

class Password : public PasswordPrompt {
 public:
  std::optional<std::string> AskPassword(const std::string&, bool) override { return "quickquick"; }
};

TEST_F(RealSourceSelectionTest, ProtectedStoreOpensWithItsPassword) {
  Password prompt;
  MainCommandsDeps deps = Deps();
  deps.password_prompt = &prompt;
  MainCommands commands(deps);
  dialogs_.answer = SamplePath("unicode-no-encryption.pst");
  commands.CmdBrowse_Click();
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_EQ(global_.SourceKind, 2);
}

}  // namespace
}  // namespace quillmar::core
