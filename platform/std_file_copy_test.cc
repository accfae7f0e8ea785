#include "platform/std_file_copy.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "pst/testing/temp_dir.h"

namespace quillmar::platform {
namespace {

using pst::test::TempDir;

namespace fs = std::filesystem;
using Outcome = FileCopyResult::Outcome;

class StdFileCopierTest : public ::testing::Test {
 protected:
  TempDir dir_;
  StdFileCopier copier_;
};

TEST_F(StdFileCopierTest, CopiesAndReplacesOnlyWhenAllowed) {
  const std::string source = dir_.Join("template.def");
  const std::string target = dir_.Join("out.pst");
  TempDir::WriteFile(source, "template bytes");

  EXPECT_TRUE(copier_.CopyFile(source, target, /*fail_if_exists=*/true).ok());
  EXPECT_EQ(TempDir::ReadFile(target), "template bytes");

  TempDir::WriteFile(target, "the user's own file");
  FileCopyResult refused = copier_.CopyFile(source, target, true);
  EXPECT_EQ(refused.outcome, Outcome::kDestinationExists);
  EXPECT_FALSE(refused.reason.empty());
  EXPECT_EQ(TempDir::ReadFile(target), "the user's own file");

  EXPECT_TRUE(copier_.CopyFile(source, target, false).ok());
  EXPECT_EQ(TempDir::ReadFile(target), "template bytes");
}

TEST_F(StdFileCopierTest, MissingSourceFailsAndCreatesNothing) {
  const std::string target = dir_.Join("out.pst");
  for (bool fail_if_exists : {false, true}) {
    FileCopyResult result = copier_.CopyFile(dir_.Join("absent.def"), target, fail_if_exists);
    EXPECT_EQ(result.outcome, Outcome::kFailed);
    EXPECT_NE(result.reason.find("does not exist"), std::string::npos) << result.reason;
    EXPECT_FALSE(fs::exists(target));
  }
}

TEST_F(StdFileCopierTest, UnreachableDestinationFailsWithReason) {
  const std::string source = dir_.Join("template.def");
  TempDir::WriteFile(source, "x");
  FileCopyResult result = copier_.CopyFile(source, dir_.Join("no-such-folder/out.pst"), true);
  EXPECT_EQ(result.outcome, Outcome::kFailed);
  EXPECT_FALSE(result.reason.empty());

  fs::create_directory(dir_.Join("a-folder"));
  result = copier_.CopyFile(dir_.Join("a-folder"), dir_.Join("out.pst"), false);
  EXPECT_EQ(result.outcome, Outcome::kFailed);
  EXPECT_FALSE(fs::exists(dir_.Join("out.pst")));
}

TEST_F(StdFileCopierTest, NonAsciiPaths) {
  const std::string source = dir_.Join("Vorlage-\xC3\xA4\xC3\xB6\xC3\xBC.def");
  const std::string target = dir_.Join("Ausgabe-\xE2\x82\xAC.pst");
  TempDir::WriteFile(source, "bytes");
  ASSERT_TRUE(copier_.CopyFile(source, target, true).ok());
  EXPECT_EQ(TempDir::ReadFile(target), "bytes");
}

}  // namespace
}  // namespace quillmar::platform
