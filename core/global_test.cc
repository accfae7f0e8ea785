#include "core/global.h"

#include <filesystem>
#include <stdexcept>

#include <gtest/gtest.h>

#include "core/test_doubles.h"
#include "platform/std_file_copy.h"
#include "platform/test_temp_dir.h"

namespace quillmar::core {
namespace {

namespace fs = std::filesystem;
using platform::TestTempDir;

class GlobalTest : public ::testing::Test {
 protected:
  TestTempDir dir_;
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
  TestTempDir::WriteFile(dir_.Join("file.txt"), "x");
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
  TestTempDir::WriteFile(source, "template");
  TestTempDir::WriteFile(target, "older");

  EXPECT_FALSE(global_.CopyFileTo(source, target, 1));
  EXPECT_EQ(TestTempDir::ReadFile(target), "older");
  EXPECT_FALSE(global_.CopyFileTo(source, target, -1));
  EXPECT_EQ(TestTempDir::ReadFile(target), "older");
  EXPECT_TRUE(global_.CopyFileTo(source, target, 0));
  EXPECT_EQ(TestTempDir::ReadFile(target), "template");

  EXPECT_FALSE(global_.CopyFileTo(dir_.Join("absent.def"), dir_.Join("new.pst"), 0));
  EXPECT_FALSE(fs::exists(dir_.Join("new.pst")));
}

}  // namespace
}  // namespace quillmar::core
