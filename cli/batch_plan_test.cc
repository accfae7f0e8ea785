// Which stores a convert batch finds, where their outputs go, how the
// shards split them, and how sizes are read from the command line.
#include "cli/batch_plan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "cli/convert_options.h"
#include "pst/testing/status_matchers.h"
#include "pst/testing/temp_dir.h"

namespace quillmar::cli {
namespace {

namespace fs = std::filesystem;
using pst::test::TempDir;

void Touch(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  TempDir::WriteFile(path, "x");
}

TEST(BatchPlanTest, FindsStoresBelowFoldersAndMirrorsTheirPlaces) {
  TempDir dir;
  Touch(dir.Join("src/a/b/old.pst"));
  Touch(dir.Join("src/a/b/OLD.OST"));  // same stem: both keep their extension
  Touch(dir.Join("src/c/mail.pst"));
  Touch(dir.Join("src/c/notes.txt"));
  Touch(dir.Join("src/out/earlier-unicode.pst"));  // the output folder is not searched
  Touch(dir.Join("single.pst"));
  ASSERT_OK_AND_ASSIGN(auto items, FindStores({dir.Join("src"), dir.Join("single.pst")}, dir.Join("src/out")));
  std::vector<std::string> outputs;
  for (const auto& item : items) outputs.push_back(BatchOutputPath("/D", item, pst::ndb::Format::kUnicode));
  EXPECT_EQ(outputs, (std::vector<std::string>{"/D/a/b/OLD.OST-unicode.pst", "/D/a/b/old.pst-unicode.pst",
                                               "/D/c/mail-unicode.pst", "/D/single-unicode.pst"}));
  EXPECT_EQ(items[2].relative, "c/mail.pst");
  EXPECT_EQ(BatchOutputPath("/D", items[2], pst::ndb::Format::kAnsi), "/D/c/mail-ansi.pst");
}

TEST(BatchPlanTest, RefusesWhatCannotBePlanned) {
  TempDir dir;
  Touch(dir.Join("one/x.pst"));
  Touch(dir.Join("two/x.pst"));
  auto missing = FindStores({dir.Join("nowhere")}, "");
  EXPECT_NE(missing.status().message().find("does not exist"), std::string::npos);
  auto same_output = FindStores({dir.Join("one"), dir.Join("two")}, "");
  EXPECT_NE(same_output.status().message().find("same output"), std::string::npos);
  auto out_is_source = FindStores({dir.Join("one")}, dir.Join("one"));
  EXPECT_FALSE(out_is_source.ok());
}

TEST(BatchPlanTest, ShardsPartitionTheStoresStably) {
  // FNV-1a's published value: the same hash on every machine.
  EXPECT_EQ(StableHash("a"), 0xaf63dc4c8601ec8cull);
  std::vector<BatchItem> items;
  for (int i = 0; i < 200; ++i) items.push_back({"", "dept" + std::to_string(i % 7) + "/u" + std::to_string(i) + ".pst", ""});
  for (uint32_t n : {1u, 3u, 8u}) {
    std::vector<int> owners(items.size(), 0);
    std::set<uint32_t> used;
    for (uint32_t k = 1; k <= n; ++k) {
      for (size_t i = 0; i < items.size(); ++i) {
        if (InShard(items[i], {k, n})) {
          ++owners[i];
          used.insert(k);
        }
      }
    }
    for (int owner_count : owners) EXPECT_EQ(owner_count, 1);
    EXPECT_EQ(used.size(), n);  // 200 stores leave no shard empty
  }
}

TEST(ConvertOptionsTest, SizesAndRefusals) {
  std::string why;
  EXPECT_EQ(ParseSize("1048576", &why), 1048576u);
  EXPECT_EQ(ParseSize("1K", &why), 1024u);
  EXPECT_EQ(ParseSize("500m", &why), 500u << 20);
  EXPECT_EQ(ParseSize("2GiB", &why), 2ull << 30);
  for (const char* bad : {"-5", "0", "1e6", "1.5G", "", "12Q", "99999999999999999999", "18014398509481984K"}) {
    EXPECT_FALSE(ParseSize(bad, &why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
  struct Case {
    Args args;
    const char* says;
  };
  const Case cases[] = {
      {{"a.pst", "--to", "foo"}, "ansi or unicode, not 'foo'"},
      {{"a.pst", "--codepage", "abc"}, "'abc' is not a code page"},
      {{"a.pst", "-o"}, "-o needs a value"},
      {{"a.pst", "--jobs", "0"}, "1 to 256"},
      {{"a.pst", "--shard", "4/3"}, "1 <= K <= N"},
      {{"a.pst", "--bogus"}, "unknown option '--bogus'"},
      {{"-o", "x"}, "no source"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(ParseConvertOptions(c.args, &why));
    EXPECT_NE(why.find(c.says), std::string::npos) << why;
  }
  auto ok = ParseConvertOptions({"a", "b", "-o", "d", "-j", "3", "--shard", "2/5", "-q"}, &why);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->sources.size(), 2u);
  EXPECT_EQ(ok->jobs, 3u);
  EXPECT_EQ(ok->shard->index, 2u);
  EXPECT_TRUE(ok->quiet);
}

}  // namespace
}  // namespace quillmar::cli
