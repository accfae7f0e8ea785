// The checker over every sample store: each must give exactly the findings
// listed in expected_findings.txt (each judged in docs/check-findings.md),
// so a checker change that adds or loses a finding shows here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "pst/check/check.h"
#include "pst/check/testing/store_editor.h"
#include "pst/io/file.h"
#include "pst/testing/samples.h"
#include "pst/testing/status_matchers.h"
#include "pst/testing/temp_dir.h"

namespace pst::check {
namespace {

struct Expected {
  std::string state;  // sound, damaged, unreadable
  uint64_t folders = 0, messages = 0;  // as pypff counts them (MANIFEST.md)
  std::vector<std::string> lines;
};

// Sections "[file] state folders=N messages=M" followed by the finding
// lines; '#' starts a comment.
std::map<std::string, Expected> ReadExpected() {
  std::ifstream in(QUILLMAR_CHECK_EXPECTED);
  std::map<std::string, Expected> out;
  std::string line, current;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      current = line.substr(1, close - 1);
      std::istringstream rest(line.substr(close + 1));
      Expected& e = out[current];
      rest >> e.state;
      std::string field;
      while (rest >> field) {
        const size_t eq = field.find('=');
        const uint64_t n = std::stoull(field.substr(eq + 1));
        (field.compare(0, eq, "folders") == 0 ? e.folders : e.messages) = n;
      }
      continue;
    }
    out[current].lines.push_back(line);
  }
  return out;
}

std::string StateOf(const CheckReport& report) {
  if (!report.readable) return "unreadable";
  return report.errors == 0 ? "sound" : "damaged";
}

TEST(CheckRealStoreTest, EverySampleGivesExactlyItsDocumentedFindings) {
  const auto expected = ReadExpected();
  ASSERT_FALSE(expected.empty()) << "cannot read " << QUILLMAR_CHECK_EXPECTED;
  size_t checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(test::SampleDir())) {
    const std::string name = entry.path().filename().string();
    if (name == "MANIFEST.md") continue;
    SCOPED_TRACE(name);
    auto it = expected.find(name);
    ASSERT_NE(it, expected.end()) << "no expected findings listed for " << name;
    auto file = io::OpenReadOnly(entry.path().string());
    ASSERT_OK(file);
    const CheckReport report = CheckStore(**file);
    std::vector<std::string> got = testing::Lines(report);
    std::vector<std::string> want = it->second.lines;
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    std::vector<std::string> extra, missing;
    std::set_difference(got.begin(), got.end(), want.begin(), want.end(), std::back_inserter(extra));
    std::set_difference(want.begin(), want.end(), got.begin(), got.end(), std::back_inserter(missing));
    for (const std::string& line : extra) ADD_FAILURE() << "new finding: " << line;
    for (const std::string& line : missing) ADD_FAILURE() << "finding gone: " << line;
    EXPECT_EQ(StateOf(report), it->second.state);
    EXPECT_EQ(report.counts.folders, it->second.folders);
    EXPECT_EQ(report.counts.messages, it->second.messages);
    EXPECT_EQ(report.dropped, 0u);
    ++checked;
  }
  EXPECT_EQ(checked, expected.size()) << "expected_findings.txt lists stores that are not there";
}

// The command line: exit 0 sound (warnings and notes allowed), 1 errors,
// 2 usage, 3 unreadable; the summary counts each severity.
TEST(CheckRealStoreTest, CommandExitStatus) {
  const std::string cli = std::string(QUILLMAR_BIN_DIR) + "/quillmar-cli";
  if (!std::filesystem::exists(cli)) GTEST_SKIP() << "quillmar-cli is not built";
  const std::string data = test::SampleDir().string();
  test::TempDir dir;
  const std::string out = dir.Join("out.txt");
  auto run = [&](const std::string& args) {
    const int status = std::system((cli + " check " + args + " > " + out + " 2>&1").c_str());
    return WEXITSTATUS(status);
  };
  auto summary = [&] {
    std::ifstream in(out);
    std::string line, last;
    while (std::getline(in, line)) last = line;
    return last;
  };
  EXPECT_EQ(run(data + "/unicode-empty-outlook.pst"), 0);
  EXPECT_EQ(run(data + "/ansi-outlook98-empty-32k.pst"), 0);
  EXPECT_NE(summary().find("sound, 0 errors, 13 warnings, 1 note ("), std::string::npos) << summary();
  EXPECT_EQ(run("--errors-only " + data + "/unicode-enron-13mb.pst"), 0);  // warnings and notes
  EXPECT_NE(summary().find("unicode-enron-13mb.pst: sound, 0 errors, 18 warnings, 16 notes"),
            std::string::npos)
      << summary();
  // The message store's block no longer matches its CRC: an error.
  testing::StoreEditor damaged(testing::LoadSample("unicode-empty-outlook.pst"));
  damaged.bytes()[damaged.Block(damaged.Node(ndb::kNidMessageStore).data_bid).offset] ^= 0xFF;
  const auto lines = testing::Lines(damaged.Check());
  ASSERT_FALSE(lines.empty());
  const std::string damaged_path = dir.Join("damaged.pst");
  std::ofstream(damaged_path, std::ios::binary)
      .write(reinterpret_cast<const char*>(damaged.bytes().data()),
             static_cast<std::streamsize>(damaged.bytes().size()));
  EXPECT_EQ(run(damaged_path), 1) << lines.front();
  EXPECT_EQ(run(data + "/unicode-truncated-header-40b.bin"), 3);
  EXPECT_EQ(run(""), 2);
  EXPECT_EQ(run("--no-such-option " + data + "/unicode-empty-outlook.pst"), 2);
}

}  // namespace
}  // namespace pst::check
