// Each case damages one thing in an in-memory copy of a real store, keeping
// everything around it consistent (CRCs, trailers), and expects the checker
// to name that thing and say what is wrong with it.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "pst/base/coding.h"
#include "pst/base/crc32.h"
#include "pst/base/hex.h"
#include "pst/check/check.h"
#include "pst/check/testing/store_editor.h"
#include "pst/io/memory_file.h"
#include "pst/ltp/property_context.h"
#include "pst/messaging/property_access.h"
#include "pst/ndb/block.h"
#include "pst/ndb/page.h"
#include "pst/testing/status_matchers.h"

namespace pst::check {
namespace {

using testing::HasLine;
using testing::LoadSample;
using testing::Lines;
using testing::StoreEditor;

constexpr const char* kEmpty = "unicode-empty-outlook.pst";        // no findings
constexpr const char* kAnsi = "ansi-pstsdk-sample2.pst";           // no findings
constexpr const char* kRecipients = "unicode-200-recipients.pst";  // XBLOCKs, SLBLOCKs
constexpr const char* kFlags = "unicode-follow-up-flags.pst";      // 10 messages

std::string Dump(const CheckReport& report) {
  std::string out;
  for (const std::string& line : Lines(report)) out += line + "\n";
  return out;
}

// The BBT entries of a store, through the engine.
std::vector<ndb::BlockEntry> Blocks(const Bytes& bytes) {
  auto file = std::make_shared<io::MemoryFile>(bytes);
  auto db = ndb::Database::Open(file);
  std::vector<ndb::BlockEntry> out;
  if (!db.ok()) return out;
  Status s = (*db)->ForEachBlock([&](const ndb::BlockEntry& e) {
    out.push_back(e);
    return Status::Ok();
  });
  return s.ok() ? out : std::vector<ndb::BlockEntry>();
}

std::vector<ndb::NodeEntry> Nodes(const Bytes& bytes) {
  auto file = std::make_shared<io::MemoryFile>(bytes);
  auto db = ndb::Database::Open(file);
  std::vector<ndb::NodeEntry> out;
  if (!db.ok()) return out;
  Status s = (*db)->ForEachNode([&](const ndb::NodeEntry& e) {
    out.push_back(e);
    return Status::Ok();
  });
  return s.ok() ? out : std::vector<ndb::NodeEntry>();
}

// A PC record as stored in its BTH leaf: id (2), type (2), inline value (4).
Bytes PcRecord(uint16_t id, uint16_t type, uint32_t value) {
  Bytes r(8);
  EncodeFixed16(r.data(), id);
  EncodeFixed16(r.data() + 2, type);
  EncodeFixed32(r.data() + 4, value);
  return r;
}

TEST(CheckCorruptionTest, SoundSamplesStaySound) {
  for (const char* name : {kEmpty, kAnsi, kRecipients, kFlags}) {
    StoreEditor store(LoadSample(name));
    const CheckReport report = store.Check();
    EXPECT_TRUE(report.sound()) << name << "\n" << Dump(report);
    EXPECT_EQ(report.problems.size(), 0u) << name << "\n" << Dump(report);
  }
}

TEST(CheckCorruptionTest, HeaderFaults) {
  {
    StoreEditor store(LoadSample(kEmpty));
    store.bytes()[4] ^= 0x01;  // dwCRCPartial
    const CheckReport report = store.Check();
    EXPECT_TRUE(report.readable) << "a bad CRC alone must not stop the check";
    EXPECT_TRUE(HasLine(report, {"header: error: dwCRCPartial"})) << Dump(report);
    EXPECT_EQ(report.errors, 1u) << Dump(report);
  }
  {
    StoreEditor store(LoadSample(kEmpty));
    store.bytes()[0x200] = 0x00;  // bSentinel (inside dwCRCFull's range)
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {"header: error: bSentinel at 0x200 is 0x0"})) << Dump(report);
    EXPECT_TRUE(HasLine(report, {"header: error: dwCRCFull"})) << Dump(report);
  }
  {
    StoreEditor store(LoadSample(kAnsi));
    store.bytes()[0] = 'X';
    const CheckReport report = store.Check();
    EXPECT_FALSE(report.readable);
    EXPECT_TRUE(HasLine(report, {"header: error: dwMagic", "not a PST"})) << Dump(report);
  }
  {
    Bytes bytes = LoadSample(kAnsi);
    bytes.resize(bytes.size() / 2);
    StoreEditor store(bytes);
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {"ROOT: error: ibFileEof", "the file is truncated"})) << Dump(report);
    EXPECT_TRUE(HasLine(report, {"pass the end of the file"})) << Dump(report);
  }
  {
    StoreEditor store(LoadSample(kEmpty));
    ndb::Header h = store.header();
    h.root.bbt_root.offset += 0x200;  // the root page is not there
    store.SetHeader(h);
    const CheckReport report = store.Check();
    EXPECT_FALSE(report.readable);
    EXPECT_TRUE(HasLine(report, {"BBT page", "but ROOT names"})) << Dump(report);
    EXPECT_TRUE(HasLine(report, {"BBT: error:", "block references lead to no block"}))
        << Dump(report);
    EXPECT_LT(report.problems.size(), 5u) << "one broken root, not a line per node\n" << Dump(report);
  }
}

TEST(CheckCorruptionTest, BTreePageFaults) {
  StoreEditor clean(LoadSample(kEmpty));
  // A leaf below the BBT root, and the root's entry that names it.
  const uint64_t root = clean.header().root.bbt_root.offset;
  ASSERT_GT(ndb::DecodeBTreePageMeta(clean.format(), ByteSpan(clean.bytes()).subspan(root, 512)).level, 0)
      << "the sample's BBT should have an index level";
  const uint64_t entry = root;  // entry 0: btkey (8), bid (8), ib (8)
  const uint64_t leaf = DecodeFixed64(clean.bytes().data() + entry + 16);
  const uint64_t leaf_bid = DecodeFixed64(clean.bytes().data() + entry + 8);
  const std::string leaf_where = "BBT page " + Hex(leaf_bid) + " at " + Hex(leaf);
  {
    StoreEditor store = clean;
    store.bytes()[leaf + 30] ^= 0x40;  // inside the page data; CRC left stale
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {leaf_where + ": error: CRC"})) << Dump(report);
  }
  {
    StoreEditor store = clean;
    EncodeFixed64(store.bytes().data() + entry + 8, leaf_bid + 0x100);
    store.ResealPage(root);
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {"trailer names BID " + Hex(leaf_bid)})) << Dump(report);
  }
  {
    StoreEditor store = clean;
    const uint64_t first_key = DecodeFixed64(store.bytes().data() + entry);
    EncodeFixed64(store.bytes().data() + entry, first_key + 4);  // entry 0's key above its child's first
    store.ResealPage(root);
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {leaf_where + ": error: first key " + Hex(first_key) +
                                 " is below the key " + Hex(first_key + 4)}))
        << Dump(report);
  }
  {
    StoreEditor store = clean;
    const uint64_t first_key = DecodeFixed64(store.bytes().data() + entry);
    EncodeFixed64(store.bytes().data() + entry, first_key - 4);  // still a lower bound
    store.ResealPage(root);
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {leaf_where + ": warning: first key " + Hex(first_key) +
                                 " differs from the key " + Hex(first_key - 4)}))
        << Dump(report);
    EXPECT_EQ(report.errors, 0u) << Dump(report);
  }
  {
    StoreEditor store = clean;
    // The second child becomes the root page itself: a cycle.
    EncodeFixed64(store.bytes().data() + entry + 24 + 8, store.header().root.bbt_root.bid);
    EncodeFixed64(store.bytes().data() + entry + 24 + 16, root);
    store.ResealPage(root);
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {"is reached a second time"})) << Dump(report);
  }
  {
    StoreEditor store = clean;
    // Two leaf entries swapped: keys out of order.
    const auto pos = store.FindLeaf(false, 0x8);
    ASSERT_TRUE(pos);
    uint8_t* a = store.bytes().data() + pos->page_offset + pos->index * pos->entry_size;
    std::swap_ranges(a, a + pos->entry_size, a + pos->entry_size);
    store.ResealPage(pos->page_offset);
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {"keys out of order"})) << Dump(report);
  }
}

TEST(CheckCorruptionTest, BlockFaults) {
  StoreEditor clean(LoadSample(kRecipients));
  const auto blocks = Blocks(clean.bytes());
  ASSERT_FALSE(blocks.empty());
  const ndb::BlockEntry data = blocks.front();  // a data block
  ASSERT_FALSE(ndb::IsInternalBid(data.bid));
  const std::string where = "block " + Hex(data.bid) + " at " + Hex(data.offset);
  {
    StoreEditor store = clean;
    store.bytes()[data.offset] ^= 0xFF;
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {where + ": error: CRC"})) << Dump(report);
  }
  {
    StoreEditor store = clean;
    ndb::BlockEntry e = data;
    e.offset = blocks[1].offset;  // now two BBT entries name the same bytes
    store.SetBlock(e);
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {"block " + Hex(data.bid) + " at " + Hex(e.offset),
                                 "the BBT entry points at the wrong place"}))
        << Dump(report);
    EXPECT_TRUE(HasLine(report, {"shares the slot at " + Hex(e.offset) + " with block"}))
        << Dump(report);
  }
  // An XBLOCK whose lcbTotal no longer matches its children.
  for (const ndb::BlockEntry& b : blocks) {
    if (!ndb::IsInternalBid(b.bid)) continue;
    Bytes x = clean.BlockData(b.bid);
    if (x[0] != 0x01 || x[1] != 0x01) continue;
    StoreEditor store = clean;
    EncodeFixed32(x.data() + 4, DecodeFixed32(x.data() + 4) + 1);
    store.SetBlockData(b.bid, x);
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {"block " + Hex(b.bid), "error: lcbTotal"})) << Dump(report);
    break;
  }
  // An SLBLOCK with two entries swapped.
  bool swapped = false;
  for (const ndb::BlockEntry& b : blocks) {
    if (!ndb::IsInternalBid(b.bid)) continue;
    Bytes sl = clean.BlockData(b.bid);
    if (sl[0] != 0x02 || sl[1] != 0x00 || DecodeFixed16(sl.data() + 2) < 2) continue;
    std::swap_ranges(sl.begin() + 8, sl.begin() + 32, sl.begin() + 32);
    StoreEditor store = clean;
    store.SetBlockData(b.bid, sl);
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {"block " + Hex(b.bid), "subnodes out of order"})) << Dump(report);
    swapped = true;
    break;
  }
  EXPECT_TRUE(swapped) << "the sample should have an SLBLOCK of two or more entries";
  {
    // An SIBLOCK entry whose key is not its SLBLOCK's first NID (ANSI:
    // 4-byte header, 8-byte SIENTRY {nid, bid}).
    StoreEditor ansi(LoadSample("ansi-outlook97-passworded-294msgs.pst"));
    bool found = false;
    for (const ndb::BlockEntry& b : Blocks(ansi.bytes())) {
      if (!ndb::IsInternalBid(b.bid)) continue;
      Bytes si = ansi.BlockData(b.bid);
      if (si[0] != 0x02 || si[1] != 0x01 || DecodeFixed16(si.data() + 2) < 2) continue;
      const uint32_t key = DecodeFixed32(si.data() + 12);
      EncodeFixed32(si.data() + 12, key + 0x20);
      ansi.SetBlockData(b.bid, si);
      const CheckReport report = ansi.Check();
      EXPECT_TRUE(HasLine(report, {"block " + Hex(b.bid), "SIBLOCK entry 1 key " + Hex(key + 0x20),
                                   "differs from its SLBLOCK's first NID " + Hex(key)}))
          << Dump(report);
      found = true;
      break;
    }
    EXPECT_TRUE(found) << "the Outlook 97 sample should have an SIBLOCK";
  }
  {
    // A node whose data block is not in the BBT.
    StoreEditor store = clean;
    ndb::NodeEntry n = store.Node(ndb::kNidMessageStore);
    n.data_bid = store.header().next_block_bid + 0x100;
    store.SetNode(n);
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {"node 0x21: error: data block", "is not in the BBT"})) << Dump(report);
  }
}

TEST(CheckCorruptionTest, ReferenceCounts) {
  // In the empty sample the contents-table template block 0x8 is the data of
  // five nodes, so Outlook keeps cRef 6.
  StoreEditor clean(LoadSample(kEmpty));
  ASSERT_EQ(clean.Block(0x8).ref_count, 6);
  const std::string where = "block 0x8 at " + Hex(clean.Block(0x8).offset);
  struct Case {
    uint16_t ref_count;
    std::string expected;
  };
  for (const Case& c : {Case{4, ": error: cRef 4, 5 references found: the count is below"},
                        Case{5, ": warning: cRef 5, 5 references found: one below"},
                        Case{9, ": warning: cRef 9, 5 references found: above references + 1"}}) {
    StoreEditor store = clean;
    ndb::BlockEntry e = store.Block(0x8);
    e.ref_count = c.ref_count;
    store.SetBlock(e);
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {where + c.expected})) << Dump(report);
    EXPECT_EQ(report.problems.size(), 1u) << Dump(report);
  }
  {
    // A node that loses its data block leaves the block unreferenced.
    StoreEditor store = clean;
    ndb::NodeEntry n = store.Node(0x2223);  // the spam search folder
    const ndb::Bid lost = n.data_bid;
    n.data_bid = 0;
    store.SetNode(n);
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {"block " + Hex(lost), "leaked block (cRef 2, 0 references found)"}))
        << Dump(report);
    EXPECT_TRUE(HasLine(report, {"node 0x2223: error: has no data, but should hold a property"}))
        << Dump(report);
  }
}

TEST(CheckCorruptionTest, AllocationMapFaults) {
  StoreEditor clean(LoadSample(kAnsi));
  const ndb::BlockEntry live = Blocks(clean.bytes()).back();
  ASSERT_TRUE(clean.AmapBit(live.offset));
  {
    StoreEditor store = clean;
    store.SetAmapBit(live.offset, false);
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {"block " + Hex(live.bid), "error: is marked free in the AMap"}))
        << Dump(report);
    EXPECT_EQ(report.errors, 1u) << Dump(report);
  }
  // A free slot marked used: leaked space, reported per AMap page.
  uint64_t free_slot = 0;
  for (uint64_t at = 0x4400; at < 0x4400 + 0x3E000 && at < clean.bytes().size(); at += 64) {
    if (!clean.AmapBit(at)) {
      free_slot = at;
      break;
    }
  }
  ASSERT_NE(free_slot, 0u);
  {
    StoreEditor store = clean;
    store.SetAmapBit(free_slot, true);
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {"AMap page at 0x4400: note: 1 slots (64 bytes) in 1 runs from " +
                                 Hex(free_slot)}))
        << Dump(report);
    EXPECT_EQ(report.counts.leaked_bytes, 64u);
    EXPECT_EQ(report.errors, 0u) << Dump(report);
  }
  {
    StoreEditor store = clean;
    store.SetAmapBit(free_slot, true, /*fix_free_total=*/false);
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {"ROOT: warning: cbAMapFree"})) << Dump(report);
    EXPECT_EQ(report.errors, 0u) << Dump(report);
  }
  {
    StoreEditor store = clean;
    ndb::Header h = store.header();
    h.root.last_amap_offset += 0x3E000;
    store.SetHeader(h);
    EXPECT_TRUE(HasLine(store.Check(), {"ROOT: error: ibAMapLast"}));
  }
}

// A writer cut off while rewriting a map page in place leaves it torn (its
// CRC no longer matches), but only after it has marked the maps invalid in
// ROOT, which makes the next writer rebuild them: a warning then, and an
// error while ROOT says the maps are valid.
TEST(CheckCorruptionTest, TornMapPageIsAnErrorOnlyWhileTheMapsAreMarkedValid) {
  StoreEditor torn(LoadSample(kAnsi));
  torn.bytes()[0x4400 + 100] ^= 0x01;  // one AMap bit, the trailer's CRC left as it was
  {
    const CheckReport report = torn.Check();
    EXPECT_TRUE(HasLine(report, {"AMap page at 0x4400: error: CRC"})) << Dump(report);
  }
  ndb::Header h = torn.header();
  h.root.amap_valid = 0;
  torn.SetHeader(h);
  const CheckReport report = torn.Check();
  EXPECT_TRUE(HasLine(report, {"AMap page at 0x4400: warning: CRC"})) << Dump(report);
  EXPECT_EQ(report.errors, 0u) << Dump(report);
}

TEST(CheckCorruptionTest, HeaderCounters) {
  StoreEditor clean(LoadSample(kEmpty));
  {
    StoreEditor store = clean;
    ndb::Header h = store.header();
    h.nid_counters[ndb::kNidTypeNormalFolder] = 0x401;  // folders up to 0x404 exist
    store.SetHeader(h);
    EXPECT_TRUE(HasLine(store.Check(), {"header: error: rgnid[0x2] 0x401 is below", "0x404"}));
  }
  {
    StoreEditor store = clean;
    ndb::Header h = store.header();
    h.next_block_bid -= 8;
    store.SetHeader(h);
    EXPECT_TRUE(HasLine(store.Check(), {"header: error: bidNextB", "would reuse a BID"}));
  }
}

TEST(CheckCorruptionTest, FolderTablesAndCounts) {
  StoreEditor clean(LoadSample(kFlags));
  const auto nodes = Nodes(clean.bytes());
  ndb::NodeEntry message;
  for (const ndb::NodeEntry& n : nodes) {
    if (ndb::NidTypeOf(n.nid) == ndb::kNidTypeNormalMessage) {
      message = n;
      break;
    }
  }
  ASSERT_NE(message.nid, 0u);
  const ndb::Nid folder = message.parent_nid;
  const std::string where = "folder " + Hex(folder);

  auto file = std::make_shared<io::MemoryFile>(clean.bytes());
  auto db = ndb::Database::Open(file);
  ASSERT_OK(db);
  auto folder_pc = ltp::PropertyContext::Open(std::move((*db)->OpenNode(folder).value()));
  auto message_pc = ltp::PropertyContext::Open(std::move((*db)->OpenNode(message.nid).value()));
  ASSERT_TRUE(folder_pc.ok() && message_pc.ok());
  const int32_t count = **messaging::GetInt32(*folder_pc, 0x3602);
  const uint32_t flags = static_cast<uint32_t>(**messaging::GetInt32(*message_pc, 0x0E07));
  {
    StoreEditor store = clean;
    ASSERT_TRUE(store.ReplaceInNode(folder, PcRecord(0x3602, 0x0003, count),
                                    PcRecord(0x3602, 0x0003, count + 1)));
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {where + ": warning: PidTagContentCount is " +
                                 std::to_string(count + 1) + ", the contents table has " +
                                 std::to_string(count) + " rows"}))
        << Dump(report);
  }
  {
    StoreEditor store = clean;
    ASSERT_TRUE(store.ReplaceInNode(message.nid, PcRecord(0x0E07, 0x0003, flags),
                                    PcRecord(0x0E07, 0x0003, flags ^ 0x01)));
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {where + ": warning: PidTagContentUnreadCount is"})) << Dump(report);
    EXPECT_TRUE(HasLine(report, {where + ": warning: contents row of node " + Hex(message.nid) +
                                 " has PidTagMessageFlags"}))
        << Dump(report);
  }
  {
    // The message moves to the root folder in the NBT only.
    StoreEditor store = clean;
    ndb::NodeEntry moved = message;
    moved.parent_nid = ndb::kNidRootFolder;
    store.SetNode(moved);
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {where, "names " + Hex(message.nid) + ", whose nidParent is 0x122"}))
        << Dump(report);
    EXPECT_TRUE(HasLine(report, {"folder 0x122: error: node " + Hex(message.nid) +
                                 " names the folder as its parent but has no row in its contents"}))
        << Dump(report);
  }
}

TEST(CheckCorruptionTest, NameMapBuckets) {
  StoreEditor clean(LoadSample(kEmpty));
  auto file = std::make_shared<io::MemoryFile>(clean.bytes());
  auto db = ndb::Database::Open(file);
  ASSERT_OK(db);
  auto map = ltp::PropertyContext::Open(std::move((*db)->OpenNode(ndb::kNidNameToIdMap).value()));
  ASSERT_OK(map);
  Bytes record;
  uint16_t bucket_id = 0;
  for (const auto& e : map->entries()) {
    if (e.id < 0x1000) continue;
    auto value = map->ReadValue(e);
    ASSERT_OK(value);
    record.assign(value->begin(), value->begin() + 8);
    bucket_id = e.id;
    break;
  }
  ASSERT_EQ(record.size(), 8u);
  const uint16_t index = DecodeFixed16(record.data() + 6);
  {
    // The bucket record's hash no longer matches its entry.
    StoreEditor store = clean;
    Bytes bad = record;
    bad[0] ^= 0x01;
    ASSERT_TRUE(store.ReplaceInNode(ndb::kNidNameToIdMap, record, bad));
    const CheckReport report = store.Check();
    const std::string property = Hex(0x8000 + index);
    EXPECT_TRUE(HasLine(report, {"name map (node 0x61): warning: bucket " +
                                 std::to_string(bucket_id - 0x1000) + " (" + Hex(bucket_id) +
                                 ") record for property " + property}))
        << Dump(report);
    EXPECT_TRUE(HasLine(report, {"property " + property + " is in no bucket"})) << Dump(report);
  }
  {
    // One bucket fewer: names hash to other buckets than the ones they sit in.
    StoreEditor store = clean;
    ASSERT_TRUE(store.ReplaceInNode(ndb::kNidNameToIdMap, PcRecord(0x0001, 0x0003, 251),
                                    PcRecord(0x0001, 0x0003, 250)));
    const CheckReport report = store.Check();
    EXPECT_TRUE(HasLine(report, {"sits in bucket", "its hash gives bucket"})) << Dump(report);
  }
}

// Node 0x841 of the 4K OST (NID type 0x01) is a table whose row matrix is
// its one subnode, 0x3F. Given
// the NID of a receive-folder table instead, it must still not be judged as
// one: inside a node of an undocumented kind a subnode's type says nothing
// (an Outlook 2003 store has such a subnode 0x2EB).
TEST(CheckCorruptionTest, SubnodesOfUndocumentedNodesAreNotJudgedByTheirType) {
  StoreEditor store(LoadSample("4k-ost-pstextractortest.ost"));
  // The SLBLOCK is stored as is (not compressed); its trailer's CRC is
  // rewritten here, as the editor writes blocks of the 4K variant no other way.
  const ndb::BlockEntry sl = store.Block(store.Node(0x841).subnode_bid);
  ASSERT_EQ(sl.size, sl.inflated_size);
  uint8_t* data = store.bytes().data() + sl.offset;
  ASSERT_EQ(data[0], 0x02);  // SLBLOCK
  ASSERT_EQ(DecodeFixed64(data + 8), 0x3Fu);
  EncodeFixed64(data + 8, 0x2B);
  const uint64_t trailer = sl.offset + ndb::BlockDiskSize(store.format(), sl.size) -
                           ndb::LayoutOf(store.format()).block_trailer_size;
  EncodeFixed32(store.bytes().data() + trailer + 4, PstCrc32(ByteSpan(data, sl.size)));
  const CheckReport report = store.Check();
  // The node's own table loses its row matrix (a fault), but the renamed
  // subnode is not taken for a receive-folder table.
  EXPECT_TRUE(HasLine(report, {"node 0x841: error:", "row matrix subnode 0x3F does not exist"}))
      << Dump(report);
  EXPECT_FALSE(HasLine(report, {"subnode 0x2B"})) << Dump(report);
}

// Damage in random places of checksummed data: the check must end, name the
// damaged page or block, and never read out of bounds (ASan builds).
TEST(CheckCorruptionTest, RandomDamageIsFoundAndNeverCrashes) {
  std::mt19937 random(20240607);
  // A97 has the only SIBLOCK among the samples.
  for (const char* name : {kAnsi, kRecipients, "ansi-outlook97-passworded-294msgs.pst"}) {
    StoreEditor clean(LoadSample(name));
    const auto blocks = Blocks(clean.bytes());
    ASSERT_FALSE(blocks.empty());
    for (int round = 0; round < 60; ++round) {
      StoreEditor store = clean;
      const ndb::BlockEntry& b = blocks[random() % blocks.size()];
      if (b.size == 0) continue;
      const uint64_t at = b.offset + random() % b.size;
      store.bytes()[at] ^= static_cast<uint8_t>(1 + random() % 255);
      const CheckReport report = store.Check();
      EXPECT_TRUE(HasLine(report, {"block " + Hex(b.bid) + " at " + Hex(b.offset) + ": error: CRC"}))
          << name << " byte " << Hex(at) << "\n" << Dump(report);
    }
    for (int round = 0; round < 40; ++round) {
      // Anywhere at all, several bytes, and cut short now and then. Any
      // change to a block's stored bytes, and any cut, must be found.
      Bytes bytes = clean.bytes();
      bool found_expected = false;
      for (int k = 0; k < 8; ++k) {
        const uint64_t at = random() % bytes.size();
        bytes[at] ^= static_cast<uint8_t>(1 + random() % 255);
        for (const ndb::BlockEntry& b : blocks) {
          if (at >= b.offset && at < b.offset + b.size) found_expected = true;
        }
      }
      if (round % 4 == 0) {
        bytes.resize(random() % bytes.size());
        found_expected = true;
      }
      io::MemoryFile file(bytes);
      const CheckReport report = CheckStore(file);
      if (found_expected) {
        EXPECT_FALSE(report.sound()) << name << " round " << round;
      }
    }
  }
}

}  // namespace
}  // namespace pst::check
