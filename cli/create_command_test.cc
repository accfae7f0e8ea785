// quillmar-cli create, run as a user runs it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "pst/messaging/store.h"

namespace {

namespace fs = std::filesystem;

class CreateCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("quillmar-cli-create-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Exit code of quillmar-cli with these arguments; its output goes to out_.
  int Cli(const std::string& args) {
    const std::string command = std::string(QUILLMAR_BIN_DIR) + "/quillmar-cli " + args + " > '" +
                                (dir_ / "out.txt").string() + "' 2>&1";
    const int status = std::system(command.c_str());
    std::stringstream s;
    s << std::ifstream(dir_ / "out.txt").rdbuf();
    out_ = s.str();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Path(const std::string& name) const { return std::string("'").append((dir_ / name).string()).append("'"); }

  fs::path dir_;
  std::string out_;
};

TEST_F(CreateCommandTest, CreatesStoresOfBothFormats) {
  ASSERT_EQ(Cli("create --format unicode " + Path("u.pst")), 0) << out_;
  ASSERT_EQ(Cli("create --format ansi --name 'Old mail' " + Path("a.pst")), 0) << out_;
  auto u = pst::messaging::Store::OpenPath((dir_ / "u.pst").string());
  auto a = pst::messaging::Store::OpenPath((dir_ / "a.pst").string());
  ASSERT_TRUE(u.ok() && a.ok());
  EXPECT_EQ((*u)->format(), pst::ndb::Format::kUnicode);
  EXPECT_EQ((*a)->format(), pst::ndb::Format::kAnsi);
  EXPECT_EQ(*(*a)->DisplayName(), "Old mail");
  EXPECT_EQ(*(*u)->DisplayName(), "Personal Folders");
  ASSERT_EQ(Cli("info --json " + Path("a.pst")), 0) << out_;
  EXPECT_NE(out_.find("\"format\":\"ansi\""), std::string::npos) << out_;
}

TEST_F(CreateCommandTest, RefusesToReplaceAFile) {
  { std::ofstream(dir_ / "taken.pst") << "keep me"; }
  EXPECT_EQ(Cli("create --format unicode " + Path("taken.pst")), 1);
  EXPECT_NE(out_.find("taken.pst"), std::string::npos) << out_;
  std::stringstream s;
  s << std::ifstream(dir_ / "taken.pst").rdbuf();
  EXPECT_EQ(s.str(), "keep me");
}

TEST_F(CreateCommandTest, RejectsBadArguments) {
  EXPECT_EQ(Cli("create " + Path("x.pst")), 2);                       // no format
  EXPECT_EQ(Cli("create --format utf8 " + Path("x.pst")), 2);         // unknown format
  EXPECT_EQ(Cli("create --format ansi"), 2);                          // no file
  EXPECT_EQ(Cli("create --format ansi --codepage 77777 " + Path("x.pst")), 2);
  EXPECT_EQ(Cli("create --format ansi " + Path("x.pst") + " " + Path("y.pst")), 2);
  EXPECT_FALSE(fs::exists(dir_ / "x.pst"));
  // A folder that does not exist: a clear error, nothing made.
  EXPECT_EQ(Cli("create --format ansi " + Path("no/such/dir/x.pst")), 1);
  EXPECT_NE(out_.find("x.pst"), std::string::npos) << out_;
}

}  // namespace
