// New empty stores against the empty stores Outlook made (the ANSI one by
// Outlook 98, the Unicode one by a recent Outlook): the same nodes, the same
// store, root and top-folder properties, the same template tables; and the
// independent readers (pffinfo, readpst, pypff) open them without error.
#include "pst/messaging/store_creator.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <unistd.h>

#include "pst/base/coding.h"
#include "pst/base/hex.h"
#include "pst/io/file.h"
#include "pst/io/memory_file.h"
#include "pst/ltp/property_context.h"
#include "pst/ltp/table_context.h"
#include "pst/messaging/entry_id.h"
#include "pst/messaging/store.h"
#include "pst/messaging/text.h"
#include "pst/ndb/database.h"
#include "pst/testing/samples.h"
#include "pst/testing/status_matchers.h"

namespace pst::messaging {
namespace {

namespace fs = std::filesystem;

// Nodes of the sample Unicode store that hold undocumented data (counters,
// GUIDs, a time) we do not write; see store_creator.cc.
const std::set<ndb::Nid> kNotWritten = {0xE01, 0xEE1, 0xF01};

class StoreCreatorTest : public ::testing::TestWithParam<ndb::Format> {
 protected:
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');
    dir_ = fs::temp_directory_path() /
           ("quillmar-store-creator-" + std::to_string(::getpid()) + "-" + name);
    fs::create_directories(dir_);
    path_ = (dir_ / "new.pst").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string sample() const {
    return test::SamplePath(GetParam() == ndb::Format::kAnsi ? "ansi-outlook98-empty-32k.pst"
                                                             : "unicode-empty-outlook.pst");
  }
  StoreOptions options() const {
    StoreOptions o;
    o.format = GetParam();
    return o;
  }

  fs::path dir_;
  std::string path_;
};

std::shared_ptr<ndb::Database> OpenDb(const std::string& path) {
  auto file = io::OpenReadOnly(path);
  EXPECT_OK(file);
  if (!file.ok()) return nullptr;
  auto db = ndb::Database::Open(std::shared_ptr<const io::RandomAccessFile>(std::move(*file)));
  EXPECT_OK(db);
  return db.ok() ? std::shared_ptr<ndb::Database>(std::move(*db)) : nullptr;
}

std::map<ndb::Nid, ndb::NodeEntry> Nodes(const ndb::Database& db) {
  std::map<ndb::Nid, ndb::NodeEntry> nodes;
  EXPECT_OK(db.ForEachNode([&](const ndb::NodeEntry& e) {
                nodes[e.nid] = e;
                return Status::Ok();
              }));
  return nodes;
}

std::map<ltp::PropTag, Bytes> Properties(const ndb::Database& db, ndb::Nid nid) {
  std::map<ltp::PropTag, Bytes> out;
  auto node = db.OpenNode(nid);
  EXPECT_OK(node) << Hex(nid);
  if (!node.ok()) return out;
  auto pc = ltp::PropertyContext::Open(std::move(*node));
  EXPECT_OK(pc) << Hex(nid);
  if (!pc.ok()) return out;
  auto all = pc->ReadAll();
  EXPECT_OK(all);
  if (all.ok()) {
    for (auto& v : *all) out[v.tag] = v.data;
  }
  return out;
}

std::string Columns(const ndb::Database& db, ndb::Nid nid, size_t* rows = nullptr) {
  auto node = db.OpenNode(nid);
  if (!node.ok()) return "missing";
  auto tc = ltp::TableContext::Open(std::move(*node));
  if (!tc.ok()) return tc.status().ToString();
  if (rows) *rows = tc->row_count();
  std::ostringstream s;
  for (const auto& c : tc->columns()) {
    s << Hex(c.tag) << "@" << c.offset << "/" << int(c.size) << "b" << int(c.bit) << " ";
  }
  return s.str();
}

int RunQuietly(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

TEST_P(StoreCreatorTest, HasTheNodesOfOutlooksEmptyStore) {
  ASSERT_OK(CreateStore(path_, options()));
  auto ours = OpenDb(path_);
  auto theirs = OpenDb(sample());
  ASSERT_TRUE(ours && theirs);
  EXPECT_EQ(ours->format(), GetParam());
  EXPECT_EQ(ours->crypt_method(), ndb::CryptMethod::kPermute);
  auto our_nodes = Nodes(*ours);
  auto their_nodes = Nodes(*theirs);
  for (const auto& [nid, e] : their_nodes) {
    if (kNotWritten.count(nid)) continue;
    auto it = our_nodes.find(nid);
    ASSERT_NE(it, our_nodes.end()) << "missing node " << Hex(nid);
    EXPECT_EQ(it->second.parent_nid, e.parent_nid) << Hex(nid);
    EXPECT_EQ(it->second.data_bid == 0, e.data_bid == 0) << "data of " << Hex(nid);
    EXPECT_EQ(it->second.subnode_bid, 0u) << Hex(nid);
  }
  for (const auto& [nid, e] : our_nodes) {
    EXPECT_TRUE(their_nodes.count(nid)) << "extra node " << Hex(nid);
  }
  // The counters continue after the folders made.
  EXPECT_EQ(ours->header().nid_counters[ndb::kNidTypeNormalFolder],
            theirs->header().nid_counters[ndb::kNidTypeNormalFolder]);
  EXPECT_EQ(ours->header().nid_counters[ndb::kNidTypeHierarchyTable],
            theirs->header().nid_counters[ndb::kNidTypeHierarchyTable]);

  // Empty folder tables share their template's block, as in Outlook's store.
  for (const auto& [nid, e] : our_nodes) {
    const uint8_t type = ndb::NidTypeOf(nid);
    if (type < ndb::kNidTypeHierarchyTable || type > ndb::kNidTypeSearchContentsTable) continue;
    const auto& sample = their_nodes.at(nid);
    const ndb::Nid their_template = ndb::MakeNid(type, 0x30);
    const bool shares_in_sample = sample.data_bid == their_nodes.at(their_template).data_bid;
    const bool shares_here = e.data_bid == our_nodes.at(their_template).data_bid;
    if (shares_here) {
      EXPECT_TRUE(shares_in_sample || nid == 0x12F || nid == 0x802E || nid == 0x808F ||
                  nid == 0x804D)
          << Hex(nid);
    }
  }
}

TEST_P(StoreCreatorTest, StoreRootAndTopFolderPropertiesMatch) {
  ASSERT_OK(CreateStore(path_, options()));
  auto ours = OpenDb(path_);
  auto theirs = OpenDb(sample());
  ASSERT_TRUE(ours && theirs);
  auto store = Properties(*ours, ndb::kNidMessageStore);
  const Bytes key = store[0x0FF90102];
  ASSERT_EQ(key.size(), 16u);
  // Identifying values differ; every other value is Outlook's.
  const std::set<ltp::PropTag> identifying = {0x0FF90102, 0x0E340102, 0x3001001F, 0x3001001E};
  for (ndb::Nid nid : {ndb::kNidMessageStore, ndb::kNidRootFolder, ndb::Nid{0x8022},
                       ndb::Nid{0x8042}, ndb::Nid{0x8062}, ndb::kNidNameToIdMap}) {
    auto mine = Properties(*ours, nid);
    auto sample = Properties(*theirs, nid);
    std::set<ltp::PropTag> my_tags, their_tags;
    for (const auto& [t, v] : mine) my_tags.insert(t);
    for (const auto& [t, v] : sample) their_tags.insert(t);
    if (nid == ndb::kNidNameToIdMap) {
      // Outlook leaves old bytes in the string stream's alignment padding.
      Bytes& strings = sample[0x00040102];
      for (size_t at = 0; at + 4 <= strings.size();) {
        const size_t end = at + 4 + DecodeFixed32(strings.data() + at);
        for (size_t pad = end; pad < strings.size() && pad % 4 != 0; ++pad) strings[pad] = 0;
        at = (end + 3) / 4 * 4;
      }
    }
    EXPECT_EQ(my_tags, their_tags) << "properties of " << Hex(nid);
    for (const auto& [t, v] : mine) {
      if (identifying.count(t) || !sample.count(t)) continue;
      auto entry = DecodeEntryId(v);
      if (entry && v.size() == 24) {
        EXPECT_TRUE(std::equal(key.begin(), key.end(), entry->store_uid.begin())) << Hex(t);
        EXPECT_EQ(entry->nid, DecodeEntryId(sample[t])->nid) << Hex(t);
        continue;
      }
      EXPECT_EQ(v, sample[t]) << Hex(t) << " of " << Hex(nid);
    }
  }
  // Names as Outlook gives them (the sample's own names differ by version).
  auto deleted = Properties(*ours, GetParam() == ndb::Format::kAnsi ? 0x8042 : 0x8062);
  const ltp::PropTag name_tag = GetParam() == ndb::Format::kAnsi ? 0x3001001E : 0x3001001F;
  const std::string deleted_name = "Deleted Items";
  const Bytes expected = GetParam() == ndb::Format::kAnsi
                             ? Bytes(deleted_name.begin(), deleted_name.end())
                             : Utf8ToUtf16Le(deleted_name);
  EXPECT_EQ(deleted[name_tag], expected);
  EXPECT_TRUE(Properties(*ours, ndb::kNidRootFolder)[name_tag].empty());
}

TEST_P(StoreCreatorTest, TablesMatchOutlooksTemplates) {
  ASSERT_OK(CreateStore(path_, options()));
  auto ours = OpenDb(path_);
  auto theirs = OpenDb(sample());
  ASSERT_TRUE(ours && theirs);
  std::vector<ndb::Nid> tables = {0x60D, 0x60E, 0x60F, 0x610, 0x62B, 0x64C, 0x671, 0x692,
                                  0x12D, 0x12E};
  if (GetParam() == ndb::Format::kUnicode) {
    tables.insert(tables.end(), {0x6B6, 0x6D7, 0x6F8, 0x2230});
  } else {
    tables.insert(tables.end(), {0x12F, 0x802D, 0x802F, 0x804D, 0x806E});
  }
  for (ndb::Nid nid : tables) {
    size_t my_rows = 0, their_rows = 0;
    EXPECT_EQ(Columns(*ours, nid, &my_rows), Columns(*theirs, nid, &their_rows)) << Hex(nid);
    EXPECT_EQ(my_rows, their_rows) << Hex(nid);
  }
  // The root's hierarchy lists the same folders, in the same order.
  auto rows = [](const ndb::Database& db, ndb::Nid nid) {
    std::vector<uint32_t> ids;
    auto tc = ltp::TableContext::Open(std::move(db.OpenNode(nid).value()));
    for (size_t r = 0; tc.ok() && r < tc->row_count(); ++r) ids.push_back(*tc->RowId(r));
    return ids;
  };
  EXPECT_EQ(rows(*ours, 0x12D), rows(*theirs, 0x12D));
  EXPECT_EQ(rows(*ours, 0x802D), rows(*theirs, 0x802D));
  EXPECT_EQ(rows(*ours, 0x62B), rows(*theirs, 0x62B));
}

TEST_P(StoreCreatorTest, IndependentReadersOpenIt) {
  StoreOptions o = options();
  o.display_name = "Archive 2009";
  ASSERT_OK(CreateStore(path_, o));
  EXPECT_EQ(RunQuietly("pffinfo '" + path_ + "'"), 0) << "pffinfo";
  // readpst walks the folders (it makes no directories for empty ones).
  const std::string out = (dir_ / "readpst").string();
  const std::string log = (dir_ / "readpst.txt").string();
  fs::create_directories(out);
  EXPECT_EQ(std::system(("readpst -j 0 -D -o '" + out + "' '" + path_ + "' > '" + log + "' 2>&1")
                            .c_str()),
            0)
      << "readpst";
  std::stringstream readpst;
  readpst << std::ifstream(log).rdbuf();
  EXPECT_NE(readpst.str().find("Processing Folder \"Deleted Items\""), std::string::npos)
      << readpst.str();
  EXPECT_NE(readpst.str().find("\"Archive 2009\" - 1 items done, 0 items skipped"),
            std::string::npos)
      << readpst.str();

  const std::string script = (dir_ / "walk.py").string();
  std::ofstream(script) << "import pypff, sys\n"
                           "f = pypff.file()\n"
                           "f.open(sys.argv[1])\n"
                           "root = f.get_root_folder()\n"
                           "names = []\n"
                           "def walk(folder, depth):\n"
                           "    for i in range(folder.number_of_sub_folders):\n"
                           "        sub = folder.get_sub_folder(i)\n"
                           "        names.append('  ' * depth + (sub.name or ''))\n"
                           "        assert sub.number_of_sub_messages == 0\n"
                           "        walk(sub, depth + 1)\n"
                           "walk(root, 0)\n"
                           "print('\\n'.join(names))\n"
                           "f.close()\n";
  const std::string listing = (dir_ / "pypff.txt").string();
  ASSERT_EQ(std::system(("/usr/bin/python3 '" + script + "' '" + path_ + "' > '" + listing +
                         "' 2>&1")
                            .c_str()),
            0)
      << "pypff";
  std::stringstream text;
  text << std::ifstream(listing).rdbuf();
  EXPECT_NE(text.str().find("Top of Personal Folders\n  Deleted Items"), std::string::npos)
      << text.str();
  EXPECT_NE(text.str().find("Search Root"), std::string::npos) << text.str();

  // And our own reader.
  auto store = Store::OpenPath(path_);
  ASSERT_OK(store);
  EXPECT_EQ(*(*store)->DisplayName(), "Archive 2009");
  EXPECT_FALSE((*store)->has_password());
  auto top = (*store)->FolderNidOf(0x35E0);
  ASSERT_OK(top);
  auto folder = (*store)->OpenFolder(*top);
  ASSERT_OK(folder);
  EXPECT_EQ(*folder->DisplayName(), "Top of Personal Folders");
  EXPECT_EQ(folder->SubfolderNids()->size(), 1u);
  auto names = (*store)->Names();
  ASSERT_OK(names);
}

TEST_P(StoreCreatorTest, EachStoreGetsItsOwnRecordKey) {
  auto a = std::make_shared<io::MemoryFile>();
  auto b = std::make_shared<io::MemoryFile>();
  ASSERT_OK(CreateStore(a, options()));
  ASSERT_OK(CreateStore(b, options()));
  auto sa = Store::Open(a);
  auto sb = Store::Open(b);
  ASSERT_TRUE(sa.ok() && sb.ok());
  ASSERT_TRUE((*sa)->record_key() && (*sb)->record_key());
  EXPECT_NE(*(*sa)->record_key(), *(*sb)->record_key());
}

TEST_P(StoreCreatorTest, NeverReplacesAFile) {
  { std::ofstream(path_) << "precious"; }
  Status s = CreateStore(path_, options());
  EXPECT_FALSE(s.ok());
  std::stringstream text;
  text << std::ifstream(path_).rdbuf();
  EXPECT_EQ(text.str(), "precious");
  // Nor writes into a file that is not empty.
  auto full = std::make_shared<io::MemoryFile>(Bytes(100, 1));
  EXPECT_FALSE(CreateStore(full, options()).ok());
}

// A file whose writes start failing after a number of them.
class FailingFile final : public io::WritableFile {
 public:
  explicit FailingFile(int writes_left) : left_(writes_left) {}
  Status Read(uint64_t offset, std::span<uint8_t> out) const override {
    return data_.Read(offset, out);
  }
  uint64_t Size() const override { return data_.Size(); }
  std::string Name() const override { return "<failing>"; }
  Status Write(uint64_t offset, ByteSpan data) override {
    if (left_-- <= 0) return Status::IOError("disk full");
    return data_.Write(offset, data);
  }
  Status Truncate(uint64_t size) override { return data_.Truncate(size); }
  Status Sync() override { return Status::Ok(); }

 private:
  io::MemoryFile data_;
  int left_;
};

TEST_P(StoreCreatorTest, FailingWritesAreReported) {
  int reported = 0;
  for (int writes : {0, 1, 2, 3, 5, 8, 13, 21, 34, 55}) {
    auto file = std::make_shared<FailingFile>(writes);
    Status s = CreateStore(file, options());
    if (!s.ok()) ++reported;
  }
  EXPECT_GT(reported, 3);
  // A half-written file left by a failure is removed.
  StoreOptions bad = options();
  bad.format = ndb::Format::kUnicode4k;
  EXPECT_FALSE(CreateStore(path_, bad).ok());
  bad = options();
  bad.codepage = 99999;
  if (GetParam() == ndb::Format::kAnsi) {
    EXPECT_FALSE(CreateStore(path_, bad).ok());
    EXPECT_FALSE(fs::exists(path_));
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, StoreCreatorTest,
                         ::testing::Values(ndb::Format::kAnsi, ndb::Format::kUnicode),
                         [](const auto& info) {
                           return info.param == ndb::Format::kAnsi ? "Ansi" : "Unicode";
                         });

}  // namespace
}  // namespace pst::messaging
