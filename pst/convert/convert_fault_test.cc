// A whole conversion, run the way quillmar-cli runs it, with the output file
// failing under it at every write and every flush of the run in turn: a
// disk that fills up, an I/O error, a short write, a failed flush. Each
// time the source must be untouched, the failure must be reported, and the
// file left on disk must be a sound store (or never have been created).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <map>
#include <vector>

#include "pst/check/check.h"
#include "pst/convert/conversion.h"
#include "pst/convert/store_copy.h"
#include "pst/io/fault_injecting_file.h"
#include "pst/io/file.h"
#include "pst/messaging/codepage_guess.h"
#include "pst/messaging/store_creator.h"
#include "pst/messaging/tags.h"
#include "pst/testing/status_matchers.h"

namespace pst::convert {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "quillmar-convert-fault-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

Result<Bytes> ReadWhole(const std::string& path) {
  PST_ASSIGN_OR_RETURN(auto file, io::OpenReadOnly(path));
  return io::ReadBytes(*file, 0, file->Size());
}

struct Outcome {
  Status status;         // the first failure of the run, or Ok
  bool created = false;  // the new, empty store was written whole
};

// The steps of quillmar-cli convert, with the output going through `file`:
// a new store of `format`, its default subfolders removed, each top-level
// folder of the source copied in a transaction of its own (a failed one does
// not stop the others), the top folder's own messages, and a Deleted Items
// folder. Objects the copier skipped count as failures, as in the CLI.
Outcome Convert(const messaging::Store& source, std::shared_ptr<io::WritableFile> file,
                ndb::Format format, uint32_t codepage) {
  Outcome out;
  auto first = [&out](const Status& s) {
    if (!s.ok() && out.status.ok()) out.status = s;
  };
  messaging::StoreOptions store_options;
  store_options.format = format;
  store_options.codepage = codepage;
  Status made = messaging::CreateStore(file, store_options);
  if (!made.ok()) {
    out.status = made;
    return out;
  }
  out.created = true;
  ndb::WriteOptions write_options;
  if (format == ndb::Format::kAnsi) write_options.max_file_size = ndb::kAnsiMaxFileSize;
  auto writer = messaging::StoreWriter::Open(file, write_options);
  if (!writer.ok()) {
    out.status = writer.status();
    return out;
  }
  auto source_top = source.IpmSubtreeNid();
  auto target_top = (*writer)->store().FolderNidOf(messaging::kPidIpmSubtreeEntryId);
  if (!source_top.ok() || !target_top.ok()) {
    out.status = !source_top.ok() ? source_top.status() : target_top.status();
    return out;
  }
  Status emptied = DeleteSubfolders(**writer, *target_top);
  if (!emptied.ok()) {
    out.status = emptied;
    return out;
  }
  auto top = source.OpenFolder(*source_top);
  auto children = top.ok() ? top->SubfolderNids() : Result<std::vector<ndb::Nid>>(top.status());
  if (!children.ok()) {
    out.status = children.status();
    return out;
  }
  CopyOptions copy_options;
  copy_options.default_codepage = codepage;
  std::map<ndb::Nid, ndb::Nid> folder_map;
  std::vector<std::string> skipped;
  for (ndb::Nid child : *children) {
    auto folder = source.OpenFolder(child);
    if (folder.ok() && folder->is_search_folder()) continue;
    CopyReport report;
    first(CopyFolderTree(source, child, **writer, *target_top, copy_options, &report, &folder_map).status());
    skipped.insert(skipped.end(), report.failures.begin(), report.failures.end());
  }
  CopyReport report;
  first(CopyFolderContents(source, *source_top, **writer, *target_top, copy_options, &report));
  skipped.insert(skipped.end(), report.failures.begin(), report.failures.end());
  first(EnsureWastebasket(**writer));
  if (out.status.ok() && !skipped.empty()) out.status = Status::IOError("skipped: " + skipped.front());
  return out;
}

struct FaultKind {
  const char* name;
  bool on_sync;  // counts flushes rather than writes
  std::function<void(io::FaultInjectingFile&, uint64_t)> arm;
};

const FaultKind kFaults[] = {
    // A full disk stays full: every later write fails as well.
    {"disk full", false,
     [](io::FaultInjectingFile& f, uint64_t k) {
       f.FailWriteAt(k, Status::OutOfSpace("cannot write: No space left on device"), true);
     }},
    {"I/O error", false,
     [](io::FaultInjectingFile& f, uint64_t k) {
       f.FailWriteAt(k, Status::IOError("cannot write: Input/output error"));
     }},
    {"short write", false, [](io::FaultInjectingFile& f, uint64_t k) { f.ShortWriteAt(k, 100); }},
    {"failed flush", true,
     [](io::FaultInjectingFile& f, uint64_t k) {
       f.FailSyncAt(k, Status::IOError("cannot flush: Input/output error"));
     }},
};

// Problems the checker finds in the store at `path`, one per line; empty
// when it is sound and opens as a store.
std::string Unsound(const std::string& path) {
  auto file = io::OpenReadOnly(path);
  if (!file.ok()) return "cannot open: " + file.status().ToString();
  const check::CheckReport report = check::CheckStore(**file);
  std::string problems;
  if (!report.readable) problems += "unreadable\n";
  for (const check::Problem& p : report.problems) {
    if (p.severity == check::Severity::kError) problems += p.where + ": " + p.what + "\n";
  }
  if (problems.empty() && report.errors > 0) problems = std::to_string(report.errors) + " errors\n";
  if (problems.empty()) {
    auto store = messaging::Store::OpenPath(path);
    if (!store.ok()) problems = "does not open as a store: " + store.status().ToString();
  }
  return problems;
}

// What the store at `path` holds, folder by folder: "path: messages,
// FAI messages" lines in sorted order, for telling a complete output from a
// partial one.
std::string Contents(const std::string& path) {
  auto store = messaging::Store::OpenPath(path);
  if (!store.ok()) return "does not open: " + store.status().ToString();
  std::vector<std::string> lines;
  std::function<void(ndb::Nid, const std::string&, int)> walk = [&](ndb::Nid nid, const std::string& prefix,
                                                                    int depth) {
    auto folder = (*store)->OpenFolder(nid);
    if (!folder.ok() || depth > 32) return;
    const std::string here = prefix + "/" + folder->DisplayName().value_or("?");
    auto contents = folder->OpenContentsTable();
    auto fai = folder->OpenAssociatedContentsTable();
    lines.push_back(here + ": " + std::to_string(contents.ok() ? contents->row_count() : 0) + ", " +
                    std::to_string(fai.ok() ? fai->row_count() : 0) + "\n");
    for (ndb::Nid child : folder->SubfolderNids().value_or(std::vector<ndb::Nid>())) walk(child, here, depth + 1);
  };
  auto top = (*store)->IpmSubtreeNid();
  if (top.ok()) walk(*top, "", 0);
  std::sort(lines.begin(), lines.end());
  std::string all;
  for (const auto& line : lines) all += line;
  return all;
}

struct Case {
  const char* sample;
  ndb::Format target;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.sample; }

class ConvertFault : public ::testing::TestWithParam<Case> {};

TEST_P(ConvertFault, EveryFailedWriteOrFlushIsReportedAndLeavesASoundStoreOrNone) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string source_path = dir.path() + "/source.pst";
  fs::copy_file(std::string(QUILLMAR_TESTDATA_DIR) + "/" + GetParam().sample, source_path);
  // Writable, so that nothing but the engine's own care keeps it unchanged.
  fs::permissions(source_path, fs::perms::owner_write, fs::perm_options::add);
  auto original = ReadWhole(source_path);
  ASSERT_OK(original);
  auto source = messaging::Store::OpenPath(source_path);
  ASSERT_OK(source);
  const uint32_t codepage = messaging::GuessStoreCodepage(**source, 1252);
  (*source)->set_default_codepage(codepage);
  const ndb::Format format = GetParam().target;

  // A clean run gives the number of writes and flushes to fail in turn.
  uint64_t writes = 0;
  uint64_t syncs = 0;
  std::string complete;
  {
    const std::string out = dir.path() + "/clean.pst";
    auto created = io::CreateExclusive(out);
    ASSERT_OK(created);
    auto counting = std::make_shared<io::FaultInjectingFile>(std::move(created).value());
    Outcome clean = Convert(**source, counting, format, codepage);
    ASSERT_OK(clean.status);
    writes = counting->write_count();
    syncs = counting->sync_count();
    counting.reset();
    EXPECT_EQ(Unsound(out), "");
    complete = Contents(out);
  }
  ASSERT_GT(writes, 20u);
  ASSERT_GT(syncs, 4u);

  int run = 0;
  for (const FaultKind& fault : kFaults) {
    const uint64_t points = fault.on_sync ? syncs : writes;
    for (uint64_t k = 1; k <= points; ++k) {
      const std::string where = std::string(fault.name) + " at " + (fault.on_sync ? "flush " : "write ") +
                                std::to_string(k) + " of " + std::to_string(points);
      const std::string out = dir.path() + "/out-" + std::to_string(++run) + ".pst";
      auto created = io::CreateExclusive(out);
      ASSERT_OK(created);
      auto faulty = std::make_shared<io::FaultInjectingFile>(std::move(created).value());
      fault.arm(*faulty, k);
      Outcome outcome = Convert(**source, faulty, format, codepage);
      const uint64_t reached = fault.on_sync ? faulty->sync_count() : faulty->write_count();
      faulty.reset();  // closes the output
      ASSERT_GE(reached, k) << where << ": the run took another path before the fault";

      // A one-off failure may be overcome by a later step that tries again
      // (the Deleted Items handover); success is then true only if the
      // output holds everything.
      if (outcome.status.ok()) {
        EXPECT_EQ(Contents(out), complete) << where << ": the failure was reported as success";
      }
      auto now = ReadWhole(source_path);
      ASSERT_OK(now);
      ASSERT_TRUE(*now == *original) << where << ": the source changed";
      if (outcome.created) {
        EXPECT_EQ(Unsound(out), "") << where << " (" << outcome.status.ToString() << ")";
      }
      // When CreateStore itself failed the file is not checked: CreateStore(path),
      // which the CLI uses, never gives an unfinished store its name.
      std::error_code ignored;
      fs::remove(out, ignored);
      if (HasFatalFailure()) return;
    }
  }
}

// The output is synced once, when it is finished, however many commits the
// run made; when that sync fails nothing is published or left behind.
TEST(ConvertSync, AnOutputIsSyncedOnceAndNotKeptWhenThatFails) {
  ASSERT_OK_AND_ASSIGN(auto source, messaging::Store::OpenPath(std::string(QUILLMAR_TESTDATA_DIR) +
                                                               "/unicode-enron-13mb.pst"));
  UseNamesCodepage(*source, std::nullopt);
  for (const bool fail : {false, true}) {
    TempDir dir;
    std::shared_ptr<io::FaultInjectingFile> output;
    ConversionOptions options;
    options.commit_limits.messages = 5;  // many commits
    options.wrap_output = [&](std::shared_ptr<io::WritableFile> file) {
      output = std::make_shared<io::FaultInjectingFile>(std::move(file));
      if (fail) output->FailSyncAt(1, Status::IOError("the disk went away"));
      return output;
    };
    ASSERT_OK_AND_ASSIGN(NewStoreResult result,
                         ConvertToNewStore(*source, ndb::Format::kAnsi,
                                           [&](int) { return dir.path() + "/out.pst"; }, std::move(options)));
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(output->sync_count(), 1u) << "fail: " << fail;
    if (fail) {
      EXPECT_TRUE(result.path.empty());
      EXPECT_NE(result.failure.ToString().find("the disk went away"), std::string::npos) << result.failure.ToString();
      EXPECT_TRUE(fs::is_empty(dir.path()));
    } else {
      EXPECT_OK(result.failure);
      EXPECT_EQ(Unsound(result.path), "");
      EXPECT_EQ(result.report.copied.done.messages, 71u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BothDirections, ConvertFault,
                         ::testing::Values(Case{"ansi-pstsdk-sample2.pst", ndb::Format::kUnicode},
                                           Case{"unicode-alpha-beta-gamma-delta-cjk.pst", ndb::Format::kAnsi},
                                           Case{"unicode-tika-testpst-french-2mb.pst", ndb::Format::kAnsi}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           std::string name = info.param.sample;
                           for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

}  // namespace
}  // namespace pst::convert
