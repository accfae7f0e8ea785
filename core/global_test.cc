#include "core/global.h"

#include <filesystem>
#include <stdexcept>

#include <gtest/gtest.h>

#include "core/testing/test_doubles.h"
#include "platform/std_file_copy.h"
#include "pst/testing/temp_dir.h"

namespace quillmar::core {
namespace {

namespace fs = std::filesystem;
using pst::test::TempDir;

class GlobalTest : public ::testing::Test {
 protected:
  TempDir dir_;
  ScriptedFolderPicker picker_;
  platform::StdFileCopier copier_;
  Global global_{picker_, copier_};
};

TEST_F(GlobalTest, StartsWithNoSourceKindAndEmptyTexts) {
  EXPECT_EQ(global_.SourceKind, 0);
  EXPECT_EQ(global_.SaveFolder, "");
  EXPECT_EQ(global_.OutputPath, "");
}

TEST_F(GlobalTest, BrowseForFolderGivesAFolderPathOrEmptyText) {
  fs::create_directories(dir_.Join("Backup"));
  picker_.answer = dir_.Join("Backup");
  EXPECT_EQ(global_.BrowseForFolder(0x77, "Pick"), dir_.Join("Backup"));
  ASSERT_EQ(picker_.calls.size(), 1u);
  EXPECT_EQ(picker_.calls[0].first, 0x77u);
  EXPECT_EQ(picker_.calls[0].second, "Pick");

  picker_.answer = dir_.Join("Backup") + "/";
  EXPECT_EQ(global_.BrowseForFolder(0, "t"), dir_.Join("Backup"));
  picker_.answer = "/";
  EXPECT_EQ(global_.BrowseForFolder(0, "t"), "/");

  // Cancel, a pick that is no folder on disk, a relative path.
  for (const std::string& answer : {std::string(), dir_.Join("absent"), std::string("Backup"),
                                    std::string("network://host/share")}) {
    picker_.answer = answer;
    EXPECT_EQ(global_.BrowseForFolder(0, "t"), "") << answer;
  }
  TempDir::WriteFile(dir_.Join("file.txt"), "x");
  picker_.answer = dir_.Join("file.txt");
  EXPECT_EQ(global_.BrowseForFolder(0, "t"), "");
}

TEST_F(GlobalTest, BrowseForFolderTurnsAFailingPickerIntoEmptyText) {
  struct Throwing : platform::FolderPicker {
    std::string PickFolder(platform::WindowHandle, const std::string&) override {
      throw std::runtime_error("no display");
    }
  } throwing;
  Global global(throwing, copier_);
  EXPECT_EQ(global.BrowseForFolder(0, "t"), "");
}

TEST_F(GlobalTest, CopyFileToReplacesOnlyWithFailIfExistsZero) {
  const std::string source = dir_.Join("xport.def");
  const std::string target = dir_.Join("out.pst");
  TempDir::WriteFile(source, "template");
  TempDir::WriteFile(target, "older");

  EXPECT_FALSE(global_.CopyFileTo(source, target, 1));
  EXPECT_EQ(TempDir::ReadFile(target), "older");
  EXPECT_FALSE(global_.CopyFileTo(source, target, -1));
  EXPECT_EQ(TempDir::ReadFile(target), "older");
  EXPECT_TRUE(global_.CopyFileTo(source, target, 0));
  EXPECT_EQ(TempDir::ReadFile(target), "template");

  EXPECT_FALSE(global_.CopyFileTo(dir_.Join("absent.def"), dir_.Join("new.pst"), 0));
  EXPECT_FALSE(fs::exists(dir_.Join("new.pst")));
}

TEST_F(GlobalTest, CopyFileToWithFailIfExistsNeverWritesThroughWhatIsThere) {
  const std::string source = dir_.Join("xport.def");
  TempDir::WriteFile(source, "template");
  fs::create_directories(dir_.Join("elsewhere"));
  fs::create_directories(dir_.Join("chosen"));
  const std::string outside = dir_.Join("elsewhere/target.pst");
  TempDir::WriteFile(outside, "someone else's file");
  TempDir::WriteFile(dir_.Join("chosen/file.pst"), "older");
  fs::create_symlink(outside, dir_.Join("chosen/link.pst"));
  fs::create_symlink(dir_.Join("elsewhere/absent.pst"), dir_.Join("chosen/dangling.pst"));
  fs::create_symlink(dir_.Join("elsewhere"), dir_.Join("chosen/folder-link.pst"));

  for (const char* name : {"file.pst", "link.pst", "dangling.pst", "folder-link.pst"}) {
    EXPECT_FALSE(global_.CopyFileTo(source, dir_.Join(std::string("chosen/") + name), 1)) << name;
  }
  // The run takes this outcome as "try the next name", also for a folder.
  fs::create_directories(dir_.Join("chosen/folder.pst"));
  for (const char* name : {"file.pst", "link.pst", "dangling.pst", "folder-link.pst", "folder.pst"}) {
    EXPECT_EQ(global_.CopyFileWithReason(source, dir_.Join(std::string("chosen/") + name), true).outcome,
              platform::FileCopyResult::Outcome::kDestinationExists)
        << name;
  }
  EXPECT_EQ(TempDir::ReadFile(dir_.Join("chosen/file.pst")), "older");
  EXPECT_EQ(TempDir::ReadFile(outside), "someone else's file");
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_.Join("elsewhere/absent.pst"))));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_.Join("elsewhere/xport.def"))));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_.Join("elsewhere/folder-link.pst"))));
  for (const char* name : {"link.pst", "dangling.pst", "folder-link.pst"}) {
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir_.Join(std::string("chosen/") + name)))) << name;
  }
}

}  // namespace
}  // namespace quillmar::core
