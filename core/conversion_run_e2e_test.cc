// Browse and convert real stores made by Outlook and others, end to end:
// the commands over the engine-backed session, the real file copy and the
// template stores the build writes; only the window, the dialogs and the
// clock are stand-ins. Each output is checked by our structural checker and
// against the source by pypff, an independent reader.
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/global.h"
#include "core/main_commands.h"
#include "core/testing/test_doubles.h"
#include "platform/std_file_copy.h"
#include "pst/check/check.h"
#include "pst/convert/conversion.h"
#include "pst/messaging/testing/store_listing.h"
#include "pst/io/file.h"
#include "pst/messaging/store.h"
#include "pst/testing/samples.h"
#include "pst/testing/status_matchers.h"
#include "pst/testing/store_damage.h"
#include "pst/testing/temp_dir.h"
#include "session/pst_session.h"

namespace quillmar::core {
namespace {

namespace fs = std::filesystem;
using pst::test::SamplePath;
using pst::test::TempDir;
using ::testing::HasSubstr;

std::string Run(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

std::string Sha256(const std::string& path) { return Run("sha256sum '" + path + "'").substr(0, 64); }

// The top of a store's folder tree as pypff reads it.
struct TopFolders {
  bool read = false;
  std::string top_name;
  int top_messages = 0;
  // name -> "messages below it / folders below it"; names repeat rarely,
  // so a multiset of lines is compared.
  std::multiset<std::string> children;
};

// codepage: of the store's 8-bit strings (ANSI stores only).
TopFolders OracleTopFolders(const std::string& path, uint32_t codepage) {
  TopFolders result;
  const std::string text = Run("/usr/bin/python3 " + std::string(QUILLMAR_SOURCE_DIR) +
                               "/core/testdata/top_folders_oracle.py '" + path + "' " +
                               std::to_string(codepage) + " 2>/dev/null");
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("TOP\t", 0) == 0) {
      const size_t tab = line.rfind('\t');
      result.top_name = line.substr(4, tab - 4);
      result.top_messages = std::stoi(line.substr(tab + 1));
      result.read = true;
    } else if (!line.empty()) {
      result.children.insert(line);
    }
  }
  return result;
}

// The code page the samples' text is in, where it is not Western: what an
// ANSI store's 8-bit strings must be read with, and what an ANSI output must
// hold its folder names in for a user of that language to read them.
uint32_t LanguageCodepage(const std::string& sample) {
  static const std::map<std::string, uint32_t> kNonWestern = {
      {"ansi-contacts97-2002.pst", 932},
      {"ansi-cp932-japanese.pst", 932},
      {"unicode-200-recipients.pst", 932},
      {"unicode-alpha-beta-gamma-delta-cjk.pst", 932},
      {"unicode-attachment-filename-nonascii.pst", 932},
      {"unicode-contact-cjk.pst", 932},
      {"unicode-hello-cjk-hangul.pst", 932},
      {"unicode-msg-in-msg-in-msg.pst", 932},
      {"unicode-russian-folders-empty.pst", 1251},
  };
  auto it = kNonWestern.find(sample);
  return it == kNonWestern.end() ? 1252 : it->second;
}

bool PypffAvailable() { return Run("/usr/bin/python3 -c 'import pypff; print(1)' 2>/dev/null") == "1\n"; }

// Passwords of the protected samples.
class SamplePasswords : public PasswordPrompt {
 public:
  int asked = 0;
  std::optional<std::string> AskPassword(const std::string& path, bool retry) override {
    ++asked;
    if (retry) return std::nullopt;
    return Known(path);
  }
  static std::optional<std::string> Known(const std::string& path) {
    static const std::map<std::string, std::string> kKnown = {
        {"ansi-outlook97-passworded-294msgs.pst", "pass12345"},
        {"ansi-pstsdk-passworded-post.pst", "test"},
        {"unicode-pstsdk-passworded-posts.pst", "test"},
        {"unicode-javalibpst-passworded.pst", "testpassword"},
        {"unicode-high-encryption.pst", "quickquick"},
        {"unicode-no-encryption.pst", "quickquick"},
    };
    auto it = kKnown.find(fs::path(path).filename().string());
    if (it == kKnown.end()) return std::nullopt;
    return it->second;
  }
};

class ConversionEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(source_dir());
    fs::create_directories(out_dir());
    env_.program_folder = QUILLMAR_BIN_DIR;
    picker_.answer = out_dir();
    ASSERT_TRUE(fs::exists(std::string(QUILLMAR_BIN_DIR) + "/xport.def")) << "the templates are not built";
    ASSERT_TRUE(fs::exists(std::string(QUILLMAR_BIN_DIR) + "/xportk.def")) << "the templates are not built";
  }

  std::string source_dir() const { return dir_.Join("in"); }
  std::string out_dir() const { return dir_.Join("out"); }

  // A writable copy of a sample, so a session that wrongly wrote its
  // source would succeed in doing so and be caught.
  std::string CopyOfSample(const std::string& name) {
    const std::string copy = source_dir() + "/" + name;
    fs::copy_file(SamplePath(name), copy, fs::copy_options::overwrite_existing);
    fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write);
    return copy;
  }

  MainCommandsDeps Deps(session::SessionFactory* sessions) {
    MainCommandsDeps deps;
    deps.window = &window_;
    deps.dialogs = &dialogs_;
    deps.sessions = sessions;
    deps.global = &global_;
    deps.environment = &env_;
    deps.password_prompt = &passwords_;
    return deps;
  }

  void Browse(MainCommands& commands, const std::string& path) {
    dialogs_.answer = path;
    commands.CmdBrowse_Click();
  }

  std::string Notice(const std::string& output) const {
    return "Conversion Completed\r\nPST File Name : " + output;
  }

  static pst::check::CheckReport Check(const std::string& path) {
    auto file = pst::io::OpenReadOnly(path);
    if (!file.ok()) {
      pst::check::CheckReport unreadable;
      unreadable.readable = false;
      return unreadable;
    }
    return pst::check::CheckStore(**file);
  }

  static std::string Findings(const pst::check::CheckReport& report) {
    std::string text;
    for (const auto& problem : report.problems) {
      if (problem.severity == pst::check::Severity::kError) text += problem.where + ": " + problem.what + "\n";
    }
    return text;
  }

  TempDir dir_;
  RecordingWindow window_;
  ScriptedFileDialogs dialogs_;
  session::PstSessionFactory sessions_;
  ScriptedFolderPicker picker_;
  platform::StdFileCopier copier_;
  Global global_{picker_, copier_};
  FakeRunEnvironment env_;
  SamplePasswords passwords_;
  MainCommands commands_{Deps(&sessions_)};
};

// --- Every sample, browsed and converted ---------------------------------

class EverySampleTest : public ConversionEndToEndTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(EverySampleTest, ConvertsToTheOtherFormatLeavingTheSourceAsItWas) {
  const std::string name = GetParam();
  const std::string source = CopyOfSample(name);
  const std::string source_hash = Sha256(source);
  ASSERT_EQ(source_hash.size(), 64u);

  Browse(commands_, source);
  ASSERT_TRUE(window_.messages.empty()) << window_.messages[0].text;
  const bool ansi_source = name.rfind("ansi-", 0) == 0;
  const bool offline = fs::path(name).extension() == ".ost";
  // An offline store is neither of the two PST formats: SourceKind stays as
  // it was (0 here), which selects the Unicode template.
  EXPECT_EQ(global_.SourceKind, ansi_source ? kSourceKindAnsi : offline ? kSourceKindNone : kSourceKindUnicode);

  commands_.CmdConvertPST_Click();
  ASSERT_TRUE(window_.messages.empty()) << window_.messages[0].text;
  ASSERT_EQ(window_.skinned_messages.size(), 1u);
  const std::string output = global_.OutputPath;
  EXPECT_EQ(window_.skinned_messages[0].text, Notice(output));
  EXPECT_EQ(commands_.session_reference(), nullptr);
  ASSERT_TRUE(fs::exists(output));
  EXPECT_EQ(fs::path(output).parent_path(), fs::path(out_dir()));

  // The source is byte for byte what it was.
  EXPECT_EQ(Sha256(source), source_hash);

  // The command line converts the same source into the same store.
  {
    const std::string cli_dir = dir_.Join("cli");
    fs::create_directories(cli_dir);
    std::string command = std::string(QUILLMAR_BIN_DIR) + "/quillmar-cli convert '" + source + "' -o '" + cli_dir + "'";
    if (auto password = SamplePasswords::Known(source)) {
      const std::string file = dir_.Join("password");
      TempDir::WriteFile(file, *password + "\n");
      command += " --password-file '" + file + "'";
    }
    const std::string said = quillmar::core::Run(command + " 2>&1");
    std::vector<fs::path> made;
    for (const auto& entry : fs::directory_iterator(cli_dir)) made.push_back(entry.path());
    ASSERT_EQ(made.size(), 1u) << said;
    auto by_window = pst::messaging::Store::OpenPath(output);
    auto by_cli = pst::messaging::Store::OpenPath(made[0].string());
    ASSERT_OK(by_window);
    ASSERT_OK(by_cli);
    pst::convert::UseNamesCodepage(**by_window, std::nullopt);
    pst::convert::UseNamesCodepage(**by_cli, std::nullopt);
    // A new Unicode store gets an id of its own (in its version history),
    // the window's from the template, the command line's when it is made.
    const std::vector<uint16_t> made_differently = {0x0E34};
    const auto window_listing = pst::messaging::testing_listing::ListStore(**by_window, made_differently);
    const auto cli_listing = pst::messaging::testing_listing::ListStore(**by_cli, made_differently);
    EXPECT_GT(window_listing.size(), 5u);
    EXPECT_EQ(window_listing, cli_listing) << said;
  }

  // The output is of the other format and sound.
  {
    auto store = pst::messaging::Store::OpenPath(output);
    ASSERT_OK(store);
    const bool unicode_output = ansi_source || offline;
    EXPECT_EQ((*store)->format(), unicode_output ? pst::ndb::Format::kUnicode : pst::ndb::Format::kAnsi);
    EXPECT_EQ((*store)->DisplayName().value_or(""), "Personal Folders");
  }
  const pst::check::CheckReport report = Check(output);
  EXPECT_TRUE(report.flawless()) << Findings(report);

  // The same top-level folders with the same numbers of messages and
  // folders below them, and the top folder's own messages, as an
  // independent reader counts them in the source and in the output.
  if (!PypffAvailable()) GTEST_SKIP() << "pypff is not available";
  const uint32_t codepage = LanguageCodepage(name);
  const TopFolders before = OracleTopFolders(source, codepage);
  const TopFolders after = OracleTopFolders(output, codepage);
  ASSERT_TRUE(before.read);
  ASSERT_TRUE(after.read);
  EXPECT_EQ(after.top_messages, before.top_messages);
  EXPECT_EQ(after.children, before.children);
}

std::vector<std::string> SampleNames() {
  std::vector<std::string> names;
  for (const fs::path& path : pst::test::SampleStores()) names.push_back(path.filename().string());
  return names;
}

std::string TestName(const ::testing::TestParamInfo<std::string>& info) {
  std::string name;
  for (char c : info.param) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Samples, EverySampleTest, ::testing::ValuesIn(SampleNames()), TestName);

TEST(SampleSetTest, HoldsTheStoresTheConversionsNeed) {
  // A missing sample folder must not pass as "nothing to convert".
  const std::vector<std::string> names = SampleNames();
  EXPECT_GE(names.size(), 28u);
  EXPECT_EQ(std::count_if(names.begin(), names.end(), [](const std::string& n) { return n.rfind("ansi-", 0) == 0; }),
            6);
}

// --- Runs that do not go through --------------------------------------

TEST_F(ConversionEndToEndTest, ExitDuringACopyRemovesTheUnfinishedOutput) {
  const std::string source = CopyOfSample("unicode-enron-13mb.pst");
  const std::string source_hash = Sha256(source);
  Browse(commands_, source);
  ASSERT_EQ(global_.SourceKind, kSourceKindUnicode);
  std::string caption_at_exit;
  // Yield 1 follows the second logon; yield 2 is the first copy's first
  // progress report.
  env_.on_yield = [&](int n) {
    if (n != 2) return;
    caption_at_exit = window_.processing_caption;
    commands_.RequestExit();
  };
  commands_.CmdConvertPST_Click();
  EXPECT_EQ(caption_at_exit, "Processing...");  // in the middle of the first folder
  EXPECT_EQ(window_.end_program_calls, 1);
  EXPECT_TRUE(window_.skinned_messages.empty());
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_FALSE(fs::exists(global_.OutputPath));
  EXPECT_TRUE(fs::is_empty(out_dir()));
  EXPECT_EQ(commands_.session_reference(), nullptr);
  EXPECT_EQ(Sha256(source), source_hash);
}

TEST_F(ConversionEndToEndTest, FolderThatCouldNotBeCopiedInFullIsNamedInTheNotice) {
  const std::string source = CopyOfSample("unicode-follow-up-flags.pst");
  ASSERT_TRUE(pst::test::DamageFirstMessage(source, "Inbox", pst::test::MessageDamage::kUnreadable));
  ASSERT_TRUE(pst::test::DamageFirstMessage(source, "Sent Items", pst::test::MessageDamage::kWrongBytes));
  Browse(commands_, source);
  commands_.CmdConvertPST_Click();
  ASSERT_EQ(window_.skinned_messages.size(), 1u);
  const std::string& notice = window_.skinned_messages[0].text;
  EXPECT_THAT(notice, ::testing::StartsWith(Notice(global_.OutputPath) +
                                            "\r\nThe source is damaged: 1 message was recovered with damage, 1 "
                                            "could not be read."
                                            "\r\nThe converted file is incomplete. These folders were not "
                                            "copied:\r\nInbox: "));
  EXPECT_THAT(notice, HasSubstr("\"Inbox\" was copied incompletely: 1 object not copied"));
  EXPECT_THAT(notice, ::testing::Not(HasSubstr("Sent Items")));
  EXPECT_TRUE(window_.messages.empty());

  // What could be read is there, and the output is sound.
  const pst::check::CheckReport report = Check(global_.OutputPath);
  EXPECT_TRUE(report.sound()) << Findings(report);
  if (!PypffAvailable()) GTEST_SKIP() << "pypff is not available";
  const TopFolders after = OracleTopFolders(global_.OutputPath, 1252);
  EXPECT_EQ(after.children,
            (std::multiset<std::string>{"Inbox\t2\t0", "Junk E-mail\t0\t0", "Deleted Items\t2\t0",
                                        "Sent Items\t5\t0"}));
}

TEST_F(ConversionEndToEndTest, AnsiOutputAtItsSizeLimitIsNamedInTheNotice) {
  // The ANSI ceiling, lowered below what the source needs.
  session::PstSessionFactory small({.ansi_max_file_size = 4 * 1024 * 1024});
  MainCommands commands(Deps(&small));
  const std::string source = CopyOfSample("unicode-enron-13mb.pst");
  Browse(commands, source);
  commands.CmdConvertPST_Click();
  ASSERT_EQ(window_.skinned_messages.size(), 1u);
  const std::string& notice = window_.skinned_messages[0].text;
  EXPECT_THAT(notice, HasSubstr("incomplete. These folders were not copied:\r\nlokay-m: "));
  EXPECT_THAT(notice, HasSubstr("reached the ANSI size limit"));
  EXPECT_LE(fs::file_size(global_.OutputPath), 4u * 1024 * 1024);
  const pst::check::CheckReport report = Check(global_.OutputPath);
  EXPECT_TRUE(report.sound()) << Findings(report);
}

}  // namespace
}  // namespace quillmar::core
