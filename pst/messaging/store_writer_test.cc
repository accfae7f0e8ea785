// The store writer at sizes past the format's small limits: tens of
// thousands of folders in one update (thousands of them read by pypff), a
// name map of ten thousand names read by an independent reader (pypff), and
// a failed commit that must give its space back before it returns. Each
// runs in both formats.
#include "pst/messaging/store_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include <unistd.h>

#include "pst/base/coding.h"
#include "pst/io/file.h"
#include "pst/io/memory_file.h"
#include "pst/messaging/folder.h"
#include "pst/messaging/read_all.h"
#include "pst/messaging/store_creator.h"
#include "pst/messaging/tags.h"
#include "pst/ndb/testing/writer_test_util.h"
#include "pst/testing/status_matchers.h"

namespace pst::messaging {
namespace {

namespace fs = std::filesystem;

class StoreWriterTest : public ::testing::TestWithParam<ndb::Format> {
 protected:
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');
    dir_ = fs::temp_directory_path() / ("quillmar-store-writer-" + std::to_string(::getpid()) + "-" + name);
    fs::create_directories(dir_);
    path_ = (dir_ / "store.pst").string();
    StoreOptions options;
    options.format = GetParam();
    ASSERT_OK(CreateStore(path_, options));
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Opens the store for writing; `file` keeps the file for the test to watch.
  std::unique_ptr<StoreWriter> OpenWriter(std::shared_ptr<io::WritableFile>* file = nullptr) {
    auto opened = io::OpenReadWrite(path_);
    if (!opened.ok()) return nullptr;
    std::shared_ptr<io::WritableFile> shared(std::move(*opened));
    if (file) *file = shared;
    auto writer = StoreWriter::Open(shared);
    return writer.ok() ? std::move(*writer) : nullptr;
  }
  PropertyInput Name(std::string text, int number = -1) const {
    if (number >= 0) text += std::to_string(number);
    Bytes bytes;
    for (char c : text) {
      bytes.push_back(static_cast<uint8_t>(c));
      if (GetParam() != ndb::Format::kAnsi) bytes.push_back(0);
    }
    const uint16_t type = GetParam() == ndb::Format::kAnsi ? ltp::kPtypString8 : ltp::kPtypString;
    return PropertyInput::Value(ltp::MakeTag(kPidDisplayName, type), bytes);
  }

  fs::path dir_;
  std::string path_;
};

// 70,000 new folders share three template blocks whose reference count
// (16 bits) holds 65,535: the writer must write a fresh copy when one is
// full. (ANSI tables hold at most 65,535 rows, so the folders are spread
// over seven parents.)
TEST_P(StoreWriterTest, SeventyThousandFoldersInOneUpdate) {
  constexpr int kParents = 7, kPerParent = 10000;
  auto writer = OpenWriter();
  ASSERT_TRUE(writer);
  auto top = writer->store().IpmSubtreeNid();
  ASSERT_OK(top);
  const auto start = std::chrono::steady_clock::now();
  auto update = writer->Begin();
  ASSERT_OK(update);
  std::vector<ndb::Nid> parents;
  for (int p = 0; p < kParents; ++p) {
    auto parent = (*update)->CreateFolder(*top, {Name("parent ", p)});
    ASSERT_OK(parent);
    parents.push_back(*parent);
    for (int i = 0; i < kPerParent; ++i) {
      auto child = (*update)->CreateFolder(*parent, {Name("f", i)});
      ASSERT_OK(child);
    }
  }
  ASSERT_OK((*update)->Commit());
  std::printf("70,000 folders: %.1f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());

  auto store = Store::OpenPath(path_);
  ASSERT_OK(store);
  std::set<ndb::Bid> contents_blocks;
  for (ndb::Nid parent : parents) {
    auto children = (*store)->OpenFolder(parent)->SubfolderNids();
    ASSERT_OK(children);
    ASSERT_EQ(children->size(), size_t{kPerParent});
    auto contents = (*store)->OpenFolder(children->back())->OpenContentsTable();
    ASSERT_OK(contents);
    EXPECT_EQ(contents->row_count(), 0u);
    for (ndb::Nid child : *children) {
      auto node = (*store)->database().FindNode(ndb::WithNidType(child, ndb::kNidTypeContentsTable));
      ASSERT_OK(node);
      contents_blocks.insert(node->data_bid);
    }
  }
  // The template's block and at least one copy of it.
  EXPECT_GE(contents_blocks.size(), 2u);
}

// A commit that fails after writing gives the space back before it returns,
// even while the caller still holds the update; the store is as it was.
TEST_P(StoreWriterTest, FailedCommitLeavesTheFileAsLongAsItWas) {
  std::shared_ptr<io::WritableFile> file;
  auto writer = OpenWriter(&file);
  ASSERT_TRUE(writer);
  const uint64_t size_before = file->Size();
  auto top = writer->store().IpmSubtreeNid();
  ASSERT_OK(top);
  auto update = writer->Begin();
  ASSERT_OK(update);
  // Megabytes of folders are written before the store object, whose object
  // property names a subnode it does not have, fails the commit.
  for (int i = 0; i < 5000; ++i) ASSERT_OK((*update)->CreateFolder(*top, {Name("f", i)}));
  ASSERT_OK((*update)->SetStoreProperty(ltp::MakeTag(0x3701, ltp::kPtypObject), Bytes{0x3F, 0x12, 0, 0, 8, 0, 0, 0}));
  EXPECT_FALSE((*update)->Commit().ok());
  EXPECT_EQ(file->Size(), size_before);
  EXPECT_FALSE((*update)->CreateFolder(*top, {Name("after")}).ok());
  update->reset();

  auto store = Store::OpenPath(path_);
  ASSERT_OK(store);
  auto children = (*store)->OpenFolder(*top)->SubfolderNids();
  ASSERT_OK(children);
  EXPECT_EQ(children->size(), 1u);  // Deleted Items
}

// pypff reads a map of 10,000 names (numeric and string) whole: the streams
// and buckets it finds hold every name. Outlook-sized property heaps matter
// here: libpff misread the map when its heap grew past eight pages.
TEST_P(StoreWriterTest, TenThousandNamesReadByPypff) {
  if (std::system("/usr/bin/python3 -c 'import pypff' >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "pypff is not available";
  }
  constexpr int kNames = 10000;
  size_t names_before = 0;
  {
    auto writer = OpenWriter();
    ASSERT_TRUE(writer);
    auto names = writer->store().Names();
    ASSERT_OK(names);
    names_before = (*names)->entries().size();
    auto update = writer->Begin();
    ASSERT_OK(update);
    const Guid guid = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x01};
    for (int i = 0; i < kNames; ++i) {
      NamedProperty name;
      name.guid = guid;
      if (i % 2) {
        name.is_string = true;
        for (char c : "name-" + std::to_string(i)) name.name_utf16.insert(name.name_utf16.end(), {uint8_t(c), 0});
      } else {
        name.lid = 0x10000 + i;
      }
      auto id = (*update)->NamedPropertyId(name);
      ASSERT_OK(id);
    }
    ASSERT_OK((*update)->Commit());
  }
  const std::string script = (dir_ / "names.py").string();
  std::ofstream(script) << "import pypff, sys\n"
                           "f = pypff.file()\n"
                           "f.open(sys.argv[1])\n"
                           "entries = f.name_to_id_map.get_record_set(0)\n"
                           "values = {}\n"
                           "for i in range(entries.number_of_entries):\n"
                           "    e = entries.get_entry(i)\n"
                           "    values[e.entry_type] = e.data or b''\n"
                           "buckets = sum(len(v) for t, v in values.items() if t >= 0x1000)\n"
                           "strings = values[4]\n"
                           "print(len(values[3]) // 8, buckets // 8, strings.count(b'n\\x00a\\x00m\\x00e\\x00-\\x00'))\n";
  const std::string out = (dir_ / "names.txt").string();
  ASSERT_EQ(std::system(("/usr/bin/python3 '" + script + "' '" + path_ + "' > '" + out + "' 2>&1").c_str()), 0)
      << std::ifstream(out).rdbuf();
  size_t entries = 0, bucket_records = 0, strings = 0;
  std::ifstream(out) >> entries >> bucket_records >> strings;
  EXPECT_EQ(entries, names_before + kNames);
  EXPECT_EQ(bucket_records, names_before + kNames);
  EXPECT_EQ(strings, size_t{kNames / 2});
}

// pypff opens a store given thousands of folders in one update and finds
// each under its parent, named as written. (pypff's time to open grows
// faster than the number of folders, so this stays at 4,000; the 70,000
// above are read by our own reader.)
TEST_P(StoreWriterTest, ThousandsOfFoldersInOneUpdateReadByPypff) {
  if (std::system("/usr/bin/python3 -c 'import pypff' >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "pypff is not available";
  }
  constexpr int kParents = 4, kPerParent = 1000;
  {
    auto writer = OpenWriter();
    ASSERT_TRUE(writer);
    auto top = writer->store().IpmSubtreeNid();
    ASSERT_OK(top);
    auto update = writer->Begin();
    ASSERT_OK(update);
    for (int p = 0; p < kParents; ++p) {
      auto parent = (*update)->CreateFolder(*top, {Name("parent ", p)});
      ASSERT_OK(parent);
      for (int i = 0; i < kPerParent; ++i) ASSERT_OK((*update)->CreateFolder(*parent, {Name("f", p * kPerParent + i)}));
    }
    ASSERT_OK((*update)->Commit());
  }
  const std::string script = (dir_ / "folders.py").string();
  std::ofstream(script) << "import pypff, sys\n"
                           "f = pypff.file()\n"
                           "f.open(sys.argv[1])\n"
                           "def find(folder):\n"
                           "    for i in range(folder.number_of_sub_folders):\n"
                           "        sub = folder.get_sub_folder(i)\n"
                           "        if sub.name.startswith('parent '):\n"
                           "            names = set(sub.get_sub_folder(j).name for j in range(sub.number_of_sub_folders))\n"
                           "            first = int(sub.name[7:]) * 1000\n"
                           "            print(sub.name, len(names), names == set('f%d' % n for n in range(first, first + 1000)))\n"
                           "        else:\n"
                           "            find(sub)\n"
                           "find(f.get_root_folder())\n";
  const std::string out = (dir_ / "folders.txt").string();
  ASSERT_EQ(std::system(("/usr/bin/python3 '" + script + "' '" + path_ + "' > '" + out + "' 2>&1").c_str()), 0)
      << std::ifstream(out).rdbuf();
  std::ifstream in(out);
  std::string word, verdict;
  int parent = 0, found = 0, parents = 0;
  while (in >> word >> parent >> found >> verdict) {
    SCOPED_TRACE("parent " + std::to_string(parent));
    EXPECT_EQ(found, kPerParent);
    EXPECT_EQ(verdict, "True");
    ++parents;
  }
  EXPECT_EQ(parents, kParents);
}

// A contents table whose row matrix is damaged in a middle block (the first
// and last are read when the table opens) is refused before any of its
// message ids is handed out, and reading everything counts none of them.
TEST_P(StoreWriterTest, TableDamagedPartWayIsRefusedBeforeAnyPiece) {
  auto writer = OpenWriter();
  ASSERT_TRUE(writer);
  ASSERT_OK_AND_ASSIGN(ndb::Nid top, writer->store().IpmSubtreeNid());
  ASSERT_OK_AND_ASSIGN(auto update, writer->Begin());
  ASSERT_OK_AND_ASSIGN(ndb::Nid bulk, update->CreateFolder(top, {Name("Bulk")}));
  for (int i = 0; i < 400; ++i) {
    MessageInput message;
    message.properties.push_back(Name("m", i));
    ASSERT_OK(update->CreateMessage(bulk, message, false).status());
  }
  ASSERT_OK(update->Commit());
  update.reset();
  writer.reset();

  // Block layouts: a header of 4 (ANSI SIBLOCK/SLBLOCK) or 8 bytes, then
  // entries of ids; a subnode entry's data bid is its second id.
  const size_t id = GetParam() == ndb::Format::kAnsi ? 4 : 8;
  const size_t header = GetParam() == ndb::Format::kAnsi ? 4 : 8;
  ASSERT_OK_AND_ASSIGN(auto sound, Store::OpenPath(path_));
  const ndb::Database& db = sound->database();
  auto id_at = [&](const Bytes& block, size_t at) {
    return id == 4 ? DecodeFixed32(&block.at(at)) : DecodeFixed64(&block.at(at));
  };
  ASSERT_OK_AND_ASSIGN(ndb::NodeEntry table, db.FindNode(ndb::WithNidType(bulk, ndb::kNidTypeContentsTable)));
  ASSERT_OK_AND_ASSIGN(Bytes subnodes, db.ReadBlock(table.subnode_bid));
  ASSERT_EQ(subnodes.at(1), 0);  // one level: entries of nid, data bid, subnode bid
  ndb::Bid matrix = 0;
  for (size_t at = header; at + 3 * id <= subnodes.size(); at += 3 * id) {
    if (ndb::IsInternalBid(id_at(subnodes, at + id))) matrix = id_at(subnodes, at + id);
  }
  ASSERT_NE(matrix, 0u);
  ASSERT_OK_AND_ASSIGN(Bytes xblock, db.ReadBlock(matrix));
  ASSERT_GE(DecodeFixed16(&xblock.at(2)), 3u);
  ASSERT_OK_AND_ASSIGN(ndb::BlockEntry middle, db.FindBlock(id_at(xblock, 8 + id)));
  std::ifstream in(path_, std::ios::binary);
  Bytes bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  bytes.at(middle.offset) ^= 0xFF;
  ASSERT_OK_AND_ASSIGN(auto damaged, Store::Open(std::make_shared<io::MemoryFile>(std::move(bytes))));

  ASSERT_OK_AND_ASSIGN(Folder folder, damaged->OpenFolder(bulk));
  EXPECT_FALSE(folder.MessageNids().ok());
  size_t pieces = 0;
  EXPECT_FALSE(folder.ForEachMessageNidPiece(7, [&](const std::vector<ndb::Nid>&) { ++pieces; }).ok());
  EXPECT_EQ(pieces, 0u);
  const ReadStats stats = ReadEverything(*damaged);
  EXPECT_EQ(stats.messages, ReadEverything(*sound).messages - 400);
  EXPECT_FALSE(stats.problems.empty());
}

INSTANTIATE_TEST_SUITE_P(Formats, StoreWriterTest, ::testing::Values(ndb::Format::kAnsi, ndb::Format::kUnicode),
                         [](const auto& info) { return info.param == ndb::Format::kAnsi ? "Ansi" : "Unicode"; });

}  // namespace
}  // namespace pst::messaging
