// Copies committed in pieces: a folder past what one ANSI table holds, an
// output filled to its limit in many small commits, and a cancel after
// some commits. What the outputs hold is read by pypff.
#include "pst/convert/tree_copy.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>

#include "pst/check/check.h"
#include "pst/convert/conversion.h"
#include "pst/io/file.h"
#include "pst/io/memory_file.h"
#include "pst/messaging/store_creator.h"
#include "pst/messaging/tags.h"
#include "pst/messaging/text.h"
#include "pst/testing/status_matchers.h"
#include "pst/testing/temp_dir.h"

namespace pst::convert {
namespace {

std::string Sample(const char* name) { return std::string(QUILLMAR_TESTDATA_DIR) + "/" + name; }

std::string Shell(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

bool PypffAvailable() { return Shell("/usr/bin/python3 -c 'import pypff; print(1)' 2>/dev/null") == "1\n"; }

// "path count" per folder below the top folder, as pypff reads the store.
std::map<std::string, uint64_t> PypffCounts(const std::string& path) {
  const std::string script =
      "import sys, pypff\n"
      "f = pypff.file(); f.open(sys.argv[1])\n"
      "def walk(folder, prefix):\n"
      "    for i in range(folder.number_of_sub_folders):\n"
      "        s = folder.get_sub_folder(i); p = prefix + '/' + (s.name or '')\n"
      "        print(p, s.number_of_sub_messages, sep='\\t'); walk(s, p)\n"
      "root = f.get_root_folder()\n"
      "for i in range(root.number_of_sub_folders):\n"
      "    t = root.get_sub_folder(i)\n"
      "    if t.name == 'Top of Personal Folders': walk(t, '')\n";
  std::map<std::string, uint64_t> counts;
  const std::string out = Shell("/usr/bin/python3 -c \"$(cat <<'EOF'\n" + script + "EOF\n)\" '" + path + "' 2>&1");
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(at, end - at);
    const size_t tab = line.find('\t');
    if (tab != std::string::npos) counts[line.substr(1, tab - 1)] = std::stoull(line.substr(tab + 1));
    at = end + 1;
  }
  return counts;
}

// Items per folder name as readpst counts them ("done" and "skipped"): it
// reads a 65,535-row table in a second, where pypff takes minutes.
std::map<std::string, uint64_t> ReadpstCounts(const std::string& path, const std::string& work) {
  const std::string out = Shell("cd '" + work + "' && readpst -j 0 -o . '" + path + "' 2>&1");
  std::map<std::string, uint64_t> counts;
  size_t at = 0;
  while ((at = out.find("\t\"", at)) != std::string::npos) {
    const size_t name_end = out.find("\" - ", at + 2);
    if (name_end == std::string::npos) break;
    const std::string name = out.substr(at + 2, name_end - at - 2);
    unsigned long long done = 0, skipped = 0;
    if (std::sscanf(out.c_str() + name_end, "\" - %llu items done, %llu items skipped", &done, &skipped) == 2) {
      counts[name] = done + skipped;
    }
    at = name_end;
  }
  return counts;
}

uint64_t Total(const std::map<std::string, uint64_t>& counts) {
  uint64_t n = 0;
  for (const auto& [path, count] : counts) n += count;
  return n;
}

Bytes Utf16(const std::string& text) { return messaging::Utf8ToUtf16Le(text); }

// A new Unicode store at `path` whose top folder gets what `fill` makes in
// one update.
void MakeStore(const std::string& path,
               const std::function<void(messaging::StoreUpdate&, ndb::Nid top)>& fill) {
  messaging::StoreOptions options;
  options.format = ndb::Format::kUnicode;
  ASSERT_OK(messaging::CreateStore(path, options));
  ASSERT_OK_AND_ASSIGN(auto file, io::OpenReadWrite(path));
  ASSERT_OK_AND_ASSIGN(auto writer, messaging::StoreWriter::Open(std::shared_ptr<io::WritableFile>(std::move(file))));
  ASSERT_OK_AND_ASSIGN(ndb::Nid top, writer->store().IpmSubtreeNid());
  ASSERT_OK_AND_ASSIGN(auto update, writer->Begin());
  fill(*update, top);
  ASSERT_OK(update->Commit());
}

messaging::PropertyInput DisplayName(const std::string& text) {
  return messaging::PropertyInput::Value(ltp::MakeTag(messaging::kPidDisplayName, ltp::kPtypString), Utf16(text));
}

// A store whose folder "Bulk" holds `count` messages, their numbers as
// subjects; those from `bodies_from` on also get a body of their own (2 KB).
void MakeBulkStore(const std::string& path, uint64_t count, uint64_t bodies_from = UINT64_MAX) {
  MakeStore(path, [&](messaging::StoreUpdate& update, ndb::Nid top) {
    ASSERT_OK_AND_ASSIGN(ndb::Nid bulk, update.CreateFolder(top, {DisplayName("Bulk")}));
    for (uint64_t i = 0; i < count; ++i) {
      messaging::MessageInput message;
      message.properties.push_back(messaging::PropertyInput::Value(
          ltp::MakeTag(messaging::kPidSubject, ltp::kPtypString), Utf16(std::to_string(i))));
      if (i >= bodies_from) {
        message.properties.push_back(messaging::PropertyInput::Value(
            ltp::MakeTag(messaging::kPidBody, ltp::kPtypString),
            Utf16(std::to_string(i) + std::string(2048, static_cast<char>('a' + i % 26)))));
      }
      ASSERT_OK(update.CreateMessage(bulk, message, false));
    }
  });
}

// The store at `path` (its names in no code page of their own) converted
// to a new ANSI store at `output`.
Result<NewStoreResult> ToAnsi(const std::string& path, const std::string& output, ConversionOptions options = {}) {
  PST_ASSIGN_OR_RETURN(auto source, messaging::Store::OpenPath(path));
  UseNamesCodepage(*source, std::nullopt);
  return ConvertToNewStore(*source, ndb::Format::kAnsi, [&](int) { return output; }, std::move(options));
}

// Counts the commits made into an output: each ends by writing the header.
class CommitCounter : public io::WritableFile {
 public:
  explicit CommitCounter(std::shared_ptr<io::WritableFile> base) : base_(std::move(base)) {}
  Status Read(uint64_t offset, std::span<uint8_t> out) const override { return base_->Read(offset, out); }
  uint64_t Size() const override { return base_->Size(); }
  std::string Name() const override { return base_->Name(); }
  Status Write(uint64_t offset, ByteSpan data) override {
    if (offset == 0) ++headers_written_;
    return base_->Write(offset, data);
  }
  Status Truncate(uint64_t size) override { return base_->Truncate(size); }
  Status Sync() override { return base_->Sync(); }
  uint64_t headers_written() const { return headers_written_; }

 private:
  std::shared_ptr<io::WritableFile> base_;
  uint64_t headers_written_ = 0;
};

// Messages whose table rows are long end a commit once the rows held reach
// the limit, however many more messages the commit may take; all arrive.
TEST(TreeCopy, LongRowsEndACommitEarly) {
  test::TempDir dir;
  const std::string source_path = dir.Join("long.pst");
  constexpr uint64_t kMessages = 300;
  MakeStore(source_path, [&](messaging::StoreUpdate& update, ndb::Nid top) {
    ASSERT_OK_AND_ASSIGN(ndb::Nid bulk, update.CreateFolder(top, {DisplayName("Bulk")}));
    for (uint64_t i = 0; i < kMessages; ++i) {
      messaging::MessageInput message;
      message.properties.push_back(messaging::PropertyInput::Value(
          ltp::MakeTag(messaging::kPidSubject, ltp::kPtypString), Utf16(std::string(3000, 'a' + i % 26))));
      ASSERT_OK(update.CreateMessage(bulk, message, false));
    }
  });
  uint64_t commits[2] = {0, 0};
  for (const bool small : {false, true}) {
    ConversionOptions options;
    options.commit_limits.messages = 100000;
    if (small) options.commit_limits.held_row_bytes = 64 << 10;
    std::shared_ptr<CommitCounter> counter;
    options.wrap_output = [&](std::shared_ptr<io::WritableFile> file) {
      return counter = std::make_shared<CommitCounter>(std::move(file));
    };
    ASSERT_OK_AND_ASSIGN(NewStoreResult result, ToAnsi(source_path, dir.Join(small ? "small.pst" : "big.pst"),
                                                       std::move(options)));
    ASSERT_FALSE(result.path.empty()) << result.failure.ToString();
    EXPECT_EQ(result.report.copied.done.messages, kMessages);
    ASSERT_NE(counter, nullptr);
    commits[small] = counter->headers_written();
  }
  // 300 rows of 3,000 bytes: 13 commits or more at 64 KiB.
  EXPECT_GE(commits[1], commits[0] + 12) << commits[0] << " " << commits[1];
}

TEST(TreeCopy, AFolderPastOneAnsiTableGoesOnInContinuationFolders) {
  if (Shell("command -v readpst").empty()) GTEST_SKIP() << "readpst is not available";
  test::TempDir dir;
  const std::string source_path = dir.Join("bulk.pst");
  constexpr uint64_t kMessages = 70000;
  MakeBulkStore(source_path, kMessages);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_OK_AND_ASSIGN(NewStoreResult result, ToAnsi(source_path, dir.Join("out.pst")));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  RecordProperty("convert_seconds", std::to_string(seconds));
  ASSERT_FALSE(result.path.empty()) << result.failure.ToString();
  EXPECT_TRUE(result.report.complete());
  ASSERT_EQ(result.report.copied.continued.size(), 1u);
  EXPECT_EQ(result.report.copied.continued[0].name, "Bulk (2)");
  EXPECT_EQ(result.report.copied.continued[0].messages, kMessages - 65535);
  const std::map<std::string, uint64_t> expected = {{"Bulk", 65535}, {"Bulk (2)", kMessages - 65535}};
  std::filesystem::create_directory(dir.Join("readpst"));
  auto counts = ReadpstCounts(result.path, dir.Join("readpst"));
  counts.erase("Personal Folders");
  counts.erase("Deleted Items");
  EXPECT_EQ(counts, expected);
  ASSERT_OK_AND_ASSIGN(auto out_file, io::OpenReadOnly(result.path));
  EXPECT_TRUE(check::CheckStore(*out_file).sound());
}

// An output that fills up while a folder goes on in its continuation: what
// does not fit is left out, and the continuation is reported once, with the
// messages it holds.
TEST(TreeCopy, AnOutputFullInsideAContinuationFolderLeavesTheRestOut) {
  test::TempDir dir;
  const std::string source_path = dir.Join("bulk.pst");
  constexpr uint64_t kMessages = 65535 + 4000;  // the last ones with a body of 2 KB each its own
  MakeBulkStore(source_path, kMessages, 65535);
  ASSERT_OK_AND_ASSIGN(NewStoreResult whole, ToAnsi(source_path, dir.Join("whole.pst")));
  ASSERT_FALSE(whole.path.empty()) << whole.failure.ToString();
  // Room for about half of the continuation's messages (with their bodies,
  // half of the output), well past what the continuation's first commits
  // can take of the space freed by the full table's last copy.
  ConversionOptions limited;
  limited.max_file_size = std::filesystem::file_size(whole.path) * 3 / 4;
  ASSERT_OK_AND_ASSIGN(NewStoreResult full, ToAnsi(source_path, dir.Join("full.pst"), limited));
  ASSERT_FALSE(full.path.empty()) << full.failure.ToString();
  ASSERT_EQ(full.report.copied.continued.size(), 1u);
  const ContinuationFolder& bulk2 = full.report.copied.continued[0];
  EXPECT_EQ(bulk2.name, "Bulk (2)");
  uint64_t left_out = 0;
  for (const MessagesLeftOut& l : full.report.copied.left_out) left_out += l.messages;
  EXPECT_GT(left_out, 0u);
  EXPECT_EQ(65535 + bulk2.messages + left_out, kMessages);
  ASSERT_OK_AND_ASSIGN(auto output, messaging::Store::OpenPath(full.path));
  ASSERT_OK_AND_ASSIGN(ndb::Nid top, output->IpmSubtreeNid());
  ASSERT_OK_AND_ASSIGN(messaging::Folder top_folder, output->OpenFolder(top));
  std::map<std::string, uint64_t> held;
  for (ndb::Nid child : top_folder.SubfolderNids().value_or(std::vector<ndb::Nid>{})) {
    ASSERT_OK_AND_ASSIGN(messaging::Folder folder, output->OpenFolder(child));
    held[folder.DisplayName().value_or("")] = folder.MessageNids().value_or(std::vector<ndb::Nid>{}).size();
  }
  EXPECT_EQ(held["Bulk"], 65535u);
  EXPECT_EQ(held["Bulk (2)"], bulk2.messages);
  ASSERT_OK_AND_ASSIGN(auto out_file, io::OpenReadOnly(full.path));
  EXPECT_TRUE(check::CheckStore(*out_file).sound());
}

// Tens of thousands of subfolders of one folder arrive in many commits;
// those past what one ANSI hierarchy table holds go on in a folder beside
// their parent, and the mail of the last one still arrives.
TEST(TreeCopy, SubfoldersPastOneAnsiTableGoOnInAContinuationFolder) {
  test::TempDir dir;
  const std::string source_path = dir.Join("folders.pst");
  constexpr size_t kFolders = 65535 + 3;
  MakeStore(source_path, [&](messaging::StoreUpdate& update, ndb::Nid top) {
    ASSERT_OK_AND_ASSIGN(ndb::Nid many, update.CreateFolder(top, {DisplayName("Many")}));
    ndb::Nid last = 0;
    for (size_t i = 0; i < kFolders; ++i) {
      ASSERT_OK_AND_ASSIGN(last, update.CreateFolder(many, {DisplayName("f" + std::to_string(i))}));
    }
    messaging::MessageInput message;
    message.properties.push_back(
        messaging::PropertyInput::Value(ltp::MakeTag(messaging::kPidSubject, ltp::kPtypString), Utf16("last")));
    ASSERT_OK(update.CreateMessage(last, message, false));
  });
  ASSERT_OK_AND_ASSIGN(NewStoreResult result, ToAnsi(source_path, dir.Join("out.pst")));
  ASSERT_FALSE(result.path.empty()) << result.failure.ToString();
  EXPECT_TRUE(result.report.copied.failures.empty()) << result.report.copied.failures.front();
  EXPECT_TRUE(result.report.complete());
  ASSERT_EQ(result.report.copied.continued.size(), 1u);
  EXPECT_EQ(result.report.copied.continued[0].name, "Many (2)");
  EXPECT_EQ(result.report.copied.continued[0].subfolders, kFolders - 65535);
  ASSERT_OK_AND_ASSIGN(auto out_file, io::OpenReadOnly(result.path));
  EXPECT_TRUE(check::CheckStore(*out_file).sound());
  // The independent readers take minutes over 65,535 folders (pypff more
  // than ten), so the tree is read back here; bench/scale.sh runs readpst.
  ASSERT_OK_AND_ASSIGN(auto output, messaging::Store::OpenPath(result.path));
  ASSERT_OK_AND_ASSIGN(ndb::Nid out_top, output->IpmSubtreeNid());
  ASSERT_OK_AND_ASSIGN(messaging::Folder out_top_folder, output->OpenFolder(out_top));
  std::map<std::string, size_t> subfolders;
  for (ndb::Nid child : out_top_folder.SubfolderNids().value_or(std::vector<ndb::Nid>{})) {
    ASSERT_OK_AND_ASSIGN(messaging::Folder folder, output->OpenFolder(child));
    ASSERT_OK_AND_ASSIGN(auto nids, folder.SubfolderNids());
    subfolders[folder.DisplayName().value_or("")] = nids.size();
    if (folder.DisplayName().value_or("") == "Many (2)") {
      ASSERT_OK_AND_ASSIGN(messaging::Folder last, output->OpenFolder(nids.back()));
      EXPECT_EQ(last.DisplayName().value_or(""), "f" + std::to_string(kFolders - 1));
      EXPECT_EQ(last.MessageNids()->size(), 1u);
    }
  }
  const std::map<std::string, size_t> expected = {{"Deleted Items", 0}, {"Many", 65535}, {"Many (2)", 3}};
  EXPECT_EQ(subfolders, expected);
}

// Many small commits into an output that fills up: every message is either
// in the output or listed as not fitting, and the output stays sound.
TEST(TreeCopy, SmallCommitsFillAnOutputToItsLimit) {
  if (!PypffAvailable()) GTEST_SKIP() << "pypff is not available";
  test::TempDir dir;
  ASSERT_OK_AND_ASSIGN(auto source, messaging::Store::OpenPath(Sample("unicode-enron-13mb.pst")));
  UseNamesCodepage(*source, std::nullopt);
  const uint64_t source_messages = Total(PypffCounts(Sample("unicode-enron-13mb.pst")));
  ASSERT_GT(source_messages, 0u);
  ConversionOptions options;
  options.max_file_size = 5000000;
  options.commit_limits.messages = 3;
  options.commit_limits.bytes = 256 * 1024;
  ASSERT_OK_AND_ASSIGN(NewStoreResult result, ConvertToNewStore(*source, ndb::Format::kAnsi,
                                                                [&](int) { return dir.Join("out.pst"); },
                                                                std::move(options)));
  ASSERT_FALSE(result.path.empty()) << result.failure.ToString();
  EXPECT_LE(std::filesystem::file_size(result.path), 5000000u);
  EXPECT_TRUE(result.report.size_limit_reached);
  EXPECT_TRUE(result.report.folders_not_copied.empty());
  uint64_t left_out = 0;
  for (const MessagesLeftOut& l : result.report.copied.left_out) left_out += l.messages;
  ASSERT_GT(left_out, 0u);
  const uint64_t in_output = Total(PypffCounts(result.path));
  EXPECT_EQ(in_output, result.report.copied.done.messages);
  EXPECT_EQ(in_output + left_out, source_messages);
  ASSERT_OK_AND_ASSIGN(auto out_file, io::OpenReadOnly(result.path));
  EXPECT_TRUE(check::CheckStore(*out_file).sound());
}

// A folder copy cancelled after some of its commits leaves nothing of it.
TEST(TreeCopy, ACancelAfterSomeCommitsRemovesTheFolderCopy) {
  ASSERT_OK_AND_ASSIGN(auto source, messaging::Store::OpenPath(Sample("unicode-enron-13mb.pst")));
  UseNamesCodepage(*source, std::nullopt);
  auto file = std::make_shared<io::MemoryFile>();
  messaging::StoreOptions store_options;
  store_options.format = ndb::Format::kAnsi;
  ASSERT_OK(messaging::CreateStore(file, store_options));
  ASSERT_OK_AND_ASSIGN(auto writer, messaging::StoreWriter::Open(file));
  ASSERT_OK_AND_ASSIGN(ndb::Nid target_top, writer->store().IpmSubtreeNid());
  ASSERT_OK_AND_ASSIGN(ndb::Nid source_top, source->IpmSubtreeNid());
  ASSERT_OK_AND_ASSIGN(messaging::Folder top, source->OpenFolder(source_top));
  ASSERT_OK_AND_ASSIGN(auto children, top.SubfolderNids());
  ConversionOptions options;
  options.commit_limits.messages = 2;
  options.progress = [](const CopyProgress& p) { return p.messages < 9; };
  Conversion conversion(*source, std::move(options));
  Status last;
  size_t folders_before = 0;
  for (ndb::Nid child : children) {
    folders_before = writer->store().OpenFolder(target_top)->SubfolderNids()->size();
    last = conversion.CopyFolder(*source, child, *writer, target_top).status();
    if (!last.ok()) break;
  }
  EXPECT_EQ(last.code(), Status::Code::kCancelled);
  EXPECT_TRUE(conversion.report().cancelled);
  EXPECT_EQ(writer->store().OpenFolder(target_top)->SubfolderNids()->size(), folders_before);
  writer.reset();
  EXPECT_TRUE(check::CheckStore(*file).sound());
}

}  // namespace
}  // namespace pst::convert
