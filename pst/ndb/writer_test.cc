// The store writer against our reader: round trips of data and subnode
// trees of every shape, node changes, reference counts, abandoned
// transactions and long random sequences, with a full consistency check of
// the file after every commit. One suite for both formats.
#include <map>
#include <random>

#include "pst/io/memory_file.h"
#include "pst/ndb/block.h"
#include "pst/ndb/crypt.h"
#include "pst/ndb/data_tree_writer.h"
#include "pst/ndb/testing/store_check_test_util.h"
#include "pst/ndb/testing/writer_test_util.h"
#include "pst/ndb/transaction.h"
#include "pst/testing/status_matchers.h"

namespace pst::ndb {
namespace {

using testing::CheckStore;
using testing::FormatParam;
using testing::Pattern;
using testing::PatternByte;

class WriterTest : public ::testing::TestWithParam<FormatParam> {
 protected:
  void SetUp() override {
    file_ = std::make_shared<io::MemoryFile>();
    auto db = WritableDatabase::Create(file_, format(), GetParam().crypt);
    ASSERT_OK(db);
    db_ = std::move(*db);
  }

  Format format() const { return GetParam().format; }
  size_t max_data() const { return LayoutOf(format()).max_block_data; }

  std::unique_ptr<Transaction> Begin() {
    auto txn = db_->Begin();
    EXPECT_OK(txn);
    return txn.ok() ? std::move(*txn) : nullptr;
  }

  // Reads a node's whole stream in slices and compares it with the pattern.
  static void ExpectStream(const NodeData& node, uint64_t size, uint32_t seed) {
    ASSERT_EQ(node.size(), size);
    Bytes buf;
    for (uint64_t at = 0; at < size; at += buf.size()) {
      buf.resize(static_cast<size_t>(std::min<uint64_t>(size - at, 1 << 20)));
      ASSERT_OK(node.Read(at, buf));
      for (size_t i = 0; i < buf.size(); ++i) {
        ASSERT_EQ(buf[i], PatternByte(at + i, seed)) << "at " << at + i;
      }
    }
  }

  std::shared_ptr<io::MemoryFile> file_;
  std::unique_ptr<WritableDatabase> db_;
};

std::string Digest(const WritableDatabase& db) {
  auto d = testing::StoreDigest(db.database());
  EXPECT_OK(d);
  return d.ok() ? *d : "";
}

void ExpectSameStore(const io::MemoryFile& file, const Bytes& before,
                     const std::string& before_digest);

TEST_P(WriterTest, NewStoreIsEmptyAndConsistent) {
  EXPECT_EQ(file_->Size(), 0x42400u);
  const Header& h = db_->database().header();
  EXPECT_EQ(h.format, format());
  EXPECT_EQ(h.crypt_method, GetParam().crypt);
  EXPECT_EQ(h.root.amap_valid, 2);
  EXPECT_EQ(h.next_block_bid, 4u);
  EXPECT_EQ(h.nid_counters[kNidTypeNormalFolder], 0x400u);
  EXPECT_EQ(h.nid_counters[kNidTypeNormalMessage], 0x10000u);
  EXPECT_EQ(h.nid_counters[kNidTypeSearchFolder], 0x4000u);
  EXPECT_EQ(h.nid_counters[kNidTypeAssocMessage], 0x8000u);
  ASSERT_OK(CheckStore(file_));
  int nodes = 0;
  ASSERT_OK(db_->database().ForEachNode([&](const NodeEntry&) {
    ++nodes;
    return Status::Ok();
  }));
  EXPECT_EQ(nodes, 0);
  // Header bytes only the header encoder writes, checked in the file.
  EXPECT_EQ(file_->contents()[format() == Format::kAnsi ? 0x1CC : 0x200], 0x80);
  auto reopened = WritableDatabase::Open(file_);
  ASSERT_OK(reopened);
}

TEST_P(WriterTest, DataOfEverySizeReadsBack) {
  const size_t max = max_data();
  const uint64_t xblock = uint64_t{XBlockCapacity(format())} * max;
  struct Case {
    uint64_t size;
    int tree_level;  // 0 data block, 1 XBLOCK, 2 XXBLOCK
  };
  const std::vector<Case> cases = {{1, 0},       {max - 1, 0},    {max, 0},
                                   {max + 1, 1}, {5 * max + 7, 1}, {xblock, 1},
                                   {xblock + 1, 2}};
  Nid nid = MakeNid(kNidTypeNormalMessage, 0x20000);
  uint32_t seed = 1;
  std::vector<std::tuple<Nid, uint64_t, uint32_t>> written;
  auto txn = Begin();
  {
    // Empty data is no tree at all.
    auto empty = txn->WriteData({});
    ASSERT_OK(empty);
    EXPECT_EQ(*empty, 0u);
  }
  for (const Case& c : cases) {
    auto bid = c.size <= 4 * max
                   ? txn->WriteData(Pattern(static_cast<size_t>(c.size), seed))
                   : txn->WriteStream(c.size, [&](uint64_t off, std::span<uint8_t> out) {
                       for (size_t i = 0; i < out.size(); ++i) out[i] = PatternByte(off + i, seed);
                       return Status::Ok();
                     });
    ASSERT_OK(bid);
    EXPECT_EQ(IsInternalBid(*bid), c.tree_level > 0) << c.size;
    if (c.tree_level > 0) {
      auto root = txn->OpenNodeFromBids(nid, *bid, 0);
      ASSERT_OK(root);
      auto block = db_->database().ReadBlock(*bid);  // not committed yet
      EXPECT_TRUE(block.status().IsNotFound());
    }
    ASSERT_OK(txn->PutNode({nid, *bid, 0, 0}));
    // Seen through the transaction before the commit.
    auto node = txn->OpenNode(nid);
    ASSERT_OK(node);
    ExpectStream(**node, c.size, seed);
    written.emplace_back(nid, c.size, seed);
    nid += 32;
    ++seed;
  }
  ASSERT_OK(txn->Commit());
  ASSERT_OK(CheckStore(file_));
  const Database& db = db_->database();
  for (const auto& [n, size, s] : written) {
    auto node = db.OpenNode(n);
    ASSERT_OK(node);
    ExpectStream(**node, size, s);
    auto entry = db.FindNode(n);
    ASSERT_OK(entry);
    if (IsInternalBid(entry->data_bid)) {
      auto x = db.ReadBlock(entry->data_bid);
      ASSERT_OK(x);
      EXPECT_EQ((*x)[0], 0x01);
      EXPECT_EQ((*x)[1], size > xblock ? 2 : 1);
    }
  }
}

TEST_P(WriterTest, BlockListsKeepTheirBoundaries) {
  // Heap-like pages of mixed sizes, and more of them than one XBLOCK lists.
  std::vector<Bytes> small{Pattern(100, 1), Pattern(max_data(), 2), Pattern(1, 3),
                           Pattern(3000, 4)};
  std::vector<Bytes> many;
  for (uint32_t i = 0; i < XBlockCapacity(format()) + 3; ++i) many.push_back(Pattern(16 + i % 7, i));
  auto txn = Begin();
  const Nid a = MakeNid(kNidTypeInternal, 0x500);
  const Nid b = MakeNid(kNidTypeInternal, 0x501);
  for (auto [nid, blocks] : {std::pair{a, &small}, std::pair{b, &many}}) {
    auto bid = txn->WriteBlocks(*blocks);
    ASSERT_OK(bid);
    ASSERT_OK(txn->PutNode({nid, *bid, 0, 0}));
  }
  // The same given in order but for the first, which comes last (its
  // XBLOCK, for `many`, waits for it).
  const Nid c = MakeNid(kNidTypeInternal, 0x502);
  const Nid d = MakeNid(kNidTypeInternal, 0x503);
  for (auto [nid, blocks] : {std::pair{c, &small}, std::pair{d, &many}}) {
    auto out = txn->StartBlocks();
    ASSERT_OK(out->HoldFirst());
    for (size_t i = 1; i < blocks->size(); ++i) ASSERT_OK(out->Add((*blocks)[i]));
    ASSERT_OK(out->AddFirst(blocks->front()));
    auto bid = out->Finish();
    ASSERT_OK(bid);
    ASSERT_OK(txn->PutNode({nid, *bid, 0, 0}));
  }
  {
    auto never_given = txn->StartBlocks();
    ASSERT_OK(never_given->HoldFirst());
    ASSERT_OK(never_given->Add(small[1]));
    EXPECT_FALSE(never_given->Finish().ok());
  }
  ASSERT_OK(txn->Commit());
  ASSERT_OK(CheckStore(file_));
  for (auto [nid, blocks] : {std::pair{a, &small}, std::pair{b, &many}, std::pair{c, &small}, std::pair{d, &many}}) {
    auto node = db_->database().OpenNode(nid);
    ASSERT_OK(node);
    ASSERT_EQ((*node)->block_count(), blocks->size());
    for (size_t i = 0; i < blocks->size(); ++i) {
      auto got = (*node)->ReadBlock(i);
      ASSERT_OK(got);
      EXPECT_EQ(*got, (*blocks)[i]) << "block " << i;
    }
  }
  auto txn2 = Begin();
  std::vector<Bytes> too_big{Bytes(max_data() + 1, 0)};
  EXPECT_EQ(txn2->WriteBlocks(too_big).status().code(), Status::Code::kInvalidArgument);
}

TEST_P(WriterTest, SubnodeTreesOfManyEntriesReadBack) {
  const uint32_t count = 2 * SubnodeLeafCapacity(format()) + 5;  // needs an SIBLOCK
  auto txn = Begin();
  std::vector<SubnodeEntry> entries;
  for (uint32_t i = 0; i < count; ++i) {
    const Nid sub = MakeNid(kNidTypeLtp, 0x401 + count - i);  // given in descending order
    auto data = txn->WriteData(Pattern(i % 50 + 1, i));
    ASSERT_OK(data);
    Bid nested = 0;
    if (i % 100 == 0) {  // a subnode with subnodes of its own
      auto leaf = txn->WriteData(Pattern(10, i + 7));
      ASSERT_OK(leaf);
      auto tree = txn->WriteSubnodeTree({{MakeNid(kNidTypeAttachment, 1), *leaf, 0}});
      ASSERT_OK(tree);
      nested = *tree;
    }
    entries.push_back({sub, *data, nested});
  }
  auto tree = txn->WriteSubnodeTree(entries);
  ASSERT_OK(tree);
  auto root = txn->OpenNodeFromBids(1, 0, *tree);
  ASSERT_OK(root);
  const Nid owner = MakeNid(kNidTypeNormalMessage, 0x10001);
  ASSERT_OK(txn->PutNode({owner, 0, *tree, 0}));
  // Subnode NIDs keep the type's counter above them.
  EXPECT_GE(txn->AllocateNid(kNidTypeLtp).value(), MakeNid(kNidTypeLtp, 0x401 + count + 1));
  ASSERT_OK(txn->Commit());
  ASSERT_OK(CheckStore(file_));

  auto node = db_->database().OpenNode(owner);
  ASSERT_OK(node);
  uint32_t seen = 0;
  Nid last = 0;
  ASSERT_OK((*node)->ForEachSubnode([&](Nid n) {
    EXPECT_GT(n, last);
    last = n;
    ++seen;
    return Status::Ok();
  }));
  EXPECT_EQ(seen, count);
  for (uint32_t i = 0; i < count; i += 37) {
    auto sub = (*node)->OpenSubnode(MakeNid(kNidTypeLtp, 0x401 + count - i));
    ASSERT_OK(sub);
    Bytes got((*sub)->size());
    ASSERT_OK((*sub)->Read(0, got));
    EXPECT_EQ(got, Pattern(i % 50 + 1, i));
  }
  auto sub0 = (*node)->OpenSubnode(MakeNid(kNidTypeLtp, 0x401 + count));
  ASSERT_OK(sub0);
  auto nested = (*sub0)->OpenSubnode(MakeNid(kNidTypeAttachment, 1));
  ASSERT_OK(nested);
  EXPECT_EQ((*nested)->size(), 10u);

  // Deleting the owner frees every block of the tree.
  auto txn2 = Begin();
  ASSERT_OK(txn2->DeleteNode(owner));
  ASSERT_OK(txn2->Commit());
  ASSERT_OK(CheckStore(file_));
  int blocks = 0;
  ASSERT_OK(db_->database().ForEachBlock([&](const BlockEntry&) {
    ++blocks;
    return Status::Ok();
  }));
  EXPECT_EQ(blocks, 0);
}

TEST_P(WriterTest, BadSubnodeListsAreRefusedAndLeaveNothingBehind) {
  auto txn = Begin();
  auto a = txn->WriteData(Pattern(10, 1));
  ASSERT_OK(a);
  auto dup = txn->WriteSubnodeTree({{0x3F, *a, 0}, {0x3F, *a, 0}});
  EXPECT_EQ(dup.status().code(), Status::Code::kInvalidArgument);
  auto dangling = txn->WriteSubnodeTree({{0x3F, 0x1234 * 4, 0}});
  EXPECT_EQ(dangling.status().code(), Status::Code::kInvalidArgument);
  EXPECT_EQ(txn->PutNode({0x21, 0x1234 * 4, 0, 0}).code(), Status::Code::kInvalidArgument);
  EXPECT_EQ(txn->PutNode({0x21, 0, *a, 0}).code(), Status::Code::kInvalidArgument)
      << "a data block named as a subnode tree";
  EXPECT_TRUE(txn->Release(0x1234 * 4).IsCorruption());
  // The caller still owns its block: give it back; nothing may remain.
  ASSERT_OK(txn->Release(*a));
  ASSERT_OK(txn->Commit());
  ASSERT_OK(CheckStore(file_));
  int blocks = 0;
  ASSERT_OK(db_->database().ForEachBlock([&](const BlockEntry&) {
    ++blocks;
    return Status::Ok();
  }));
  EXPECT_EQ(blocks, 0);
}

TEST_P(WriterTest, ReplacedAndDeletedNodesGiveTheirBlocksBack) {
  const Nid nid = MakeNid(kNidTypeNormalFolder, 0x401);
  auto txn = Begin();
  auto first = txn->WriteData(Pattern(3 * max_data(), 1));
  ASSERT_OK(first);
  ASSERT_OK(txn->PutNode({nid, *first, 0, 0x122}));
  ASSERT_OK(txn->Commit());
  ASSERT_OK(CheckStore(file_));

  auto txn2 = Begin();
  auto second = txn2->WriteData(Pattern(200, 2));
  ASSERT_OK(second);
  ASSERT_OK(txn2->PutNode({nid, *second, 0, 0x122}));
  // Inside the transaction the old tree is gone, the committed store still has it.
  EXPECT_TRUE(txn2->OpenNodeFromBids(nid, *first, 0).status().IsNotFound());
  EXPECT_OK(db_->database().ReadBlock(*first));
  ASSERT_OK(txn2->Commit());
  ASSERT_OK(CheckStore(file_));
  EXPECT_TRUE(db_->database().FindBlock(*first).status().IsNotFound());
  auto entry = db_->database().FindNode(nid);
  ASSERT_OK(entry);
  EXPECT_EQ(entry->data_bid, *second);
  EXPECT_EQ(entry->parent_nid, 0x122u);

  auto txn3 = Begin();
  ASSERT_OK(txn3->DeleteNode(nid));
  EXPECT_TRUE(txn3->FindNode(nid).status().IsNotFound());
  EXPECT_TRUE(txn3->DeleteNode(nid).IsNotFound());
  ASSERT_OK(txn3->Commit());
  ASSERT_OK(CheckStore(file_));
  EXPECT_TRUE(db_->database().FindNode(nid).status().IsNotFound());
  EXPECT_TRUE(db_->database().FindBlock(*second).status().IsNotFound());
}

TEST_P(WriterTest, SharedBlocksCountEveryReference) {
  auto txn = Begin();
  auto shared = txn->WriteData(Pattern(500, 9));
  ASSERT_OK(shared);
  ASSERT_OK(txn->AddRef(*shared));
  ASSERT_OK(txn->PutNode({0x60E, *shared, 0, 0}));
  ASSERT_OK(txn->PutNode({MakeNid(kNidTypeContentsTable, 0x401), *shared, 0, 0}));
  ASSERT_OK(txn->Commit());
  ASSERT_OK(CheckStore(file_));
  EXPECT_EQ(db_->database().FindBlock(*shared)->ref_count, 3);  // two references + 1

  auto txn2 = Begin();
  ASSERT_OK(txn2->DeleteNode(0x60E));
  ASSERT_OK(txn2->Commit());
  ASSERT_OK(CheckStore(file_));
  EXPECT_EQ(db_->database().FindBlock(*shared)->ref_count, 2);
  auto node = db_->database().OpenNode(MakeNid(kNidTypeContentsTable, 0x401));
  ASSERT_OK(node);
  EXPECT_EQ((*node)->size(), 500u);
}

TEST_P(WriterTest, IdenticalDataIsWrittenOnceAndStaysRightForEachSharer) {
  const uint64_t size = 3 * max_data() + 100;  // full blocks, a short one, an XBLOCK
  const Nid first = MakeNid(kNidTypeNormalMessage, 0x10001);
  const Nid second = MakeNid(kNidTypeNormalMessage, 0x10002);
  auto txn = Begin();
  auto a = txn->WriteData(Pattern(size, 4));
  auto b = txn->WriteData(Pattern(size, 4));
  ASSERT_OK(a);
  ASSERT_OK(b);
  ASSERT_OK(txn->PutNode({first, *a, 0, 0}));
  ASSERT_OK(txn->PutNode({second, *b, 0, 0}));
  ASSERT_OK(txn->Commit());
  ASSERT_OK(CheckStore(file_));
  size_t data_blocks = 0;
  ASSERT_OK(db_->database().ForEachBlock([&](const BlockEntry& e) {
    if (!IsInternalBid(e.bid)) {
      ++data_blocks;
      EXPECT_EQ(e.ref_count, 3) << "block " << e.bid << ": two XBLOCKs + 1";
    }
    return Status::Ok();
  }));
  EXPECT_EQ(data_blocks, 4u);

  // Deleting one sharer leaves the other whole.
  auto txn2 = Begin();
  ASSERT_OK(txn2->DeleteNode(first));
  ASSERT_OK(txn2->Commit());
  ASSERT_OK(CheckStore(file_));
  auto node = db_->database().OpenNode(second);
  ASSERT_OK(node);
  ExpectStream(**node, size, 4);

  // A block an abandoned transaction wrote is gone, and its BID is handed out
  // again for other bytes: those must not be taken for the old ones.
  Bid abandoned = 0;
  {
    auto t = Begin();
    auto bid = t->WriteData(Pattern(300, 5));
    ASSERT_OK(bid);
    abandoned = *bid;
  }
  auto txn3 = Begin();
  auto reused = txn3->WriteData(Pattern(300, 6));
  ASSERT_OK(reused);
  ASSERT_EQ(*reused, abandoned) << "the case needs the BID handed out again";
  auto again = txn3->WriteData(Pattern(300, 5));
  ASSERT_OK(again);
  EXPECT_NE(*again, *reused);
  ASSERT_OK(txn3->PutNode({first, *again, 0, 0}));
  ASSERT_OK(txn3->Release(*reused));
  ASSERT_OK(txn3->Commit());
  ASSERT_OK(CheckStore(file_));
  node = db_->database().OpenNode(first);
  ASSERT_OK(node);
  ExpectStream(**node, 300, 5);
}

TEST_P(WriterTest, StoredBytesOfTheSameEncodingAreCopiedAsTheyAre) {
  const CryptMethod method = GetParam().crypt;
  const bool byte_wise = method != CryptMethod::kCyclic;
  const uint64_t size = 2 * max_data() + 77;
  const Bytes plain = Pattern(size, 8);
  Bytes encoded = plain;
  ASSERT_OK(EncodeBlockData(byte_wise ? method : CryptMethod::kPermute, 0, encoded));
  size_t plain_reads = 0, stored_reads = 0;
  StreamSource from_plain = [&](uint64_t at, std::span<uint8_t> out) {
    ++plain_reads;
    std::copy_n(plain.begin() + static_cast<ptrdiff_t>(at), out.size(), out.begin());
    return Status::Ok();
  };
  auto stored_as = [&](CryptMethod encoding) {
    return StoredStreamSource{encoding, [&](uint64_t at, std::span<uint8_t> out) {
                                ++stored_reads;
                                std::copy_n(encoded.begin() + static_cast<ptrdiff_t>(at), out.size(), out.begin());
                                return Status::Ok();
                              }};
  };
  const Nid same = MakeNid(kNidTypeNormalMessage, 0x10001);
  const Nid other = MakeNid(kNidTypeNormalMessage, 0x10002);
  auto txn = Begin();
  // A stream stored the way this store encodes goes in as it is (a cyclic
  // store encodes by BID, so it never can).
  auto a = txn->WriteStoredStream(size, from_plain, stored_as(byte_wise ? method : CryptMethod::kCyclic));
  ASSERT_OK(a);
  EXPECT_EQ(plain_reads == 0, byte_wise);
  EXPECT_EQ(stored_reads > 0, byte_wise);
  // One stored another way is read plain.
  plain_reads = stored_reads = 0;
  const CryptMethod another = method == CryptMethod::kPermute ? CryptMethod::kNone : CryptMethod::kPermute;
  auto b = txn->WriteStoredStream(size, from_plain, stored_as(another));
  ASSERT_OK(b);
  EXPECT_EQ(stored_reads, 0u);
  ASSERT_OK(txn->PutNode({same, *a, 0, 0}));
  ASSERT_OK(txn->PutNode({other, *b, 0, 0}));
  ASSERT_OK(txn->Commit());
  ASSERT_OK(CheckStore(file_));
  for (Nid nid : {same, other}) {
    auto node = db_->database().OpenNode(nid);
    ASSERT_OK(node);
    ExpectStream(**node, size, 8);
    // And the reader gives the stored bytes back where the method allows.
    EXPECT_EQ((*node)->stored_encoding().has_value(), byte_wise);
    if (byte_wise) {
      Bytes stored(size);
      ASSERT_OK((*node)->ReadStored(0, stored));
      EXPECT_TRUE(stored == encoded);
    }
  }
}

TEST_P(WriterTest, AbandonedTransactionLeavesTheFileAsItWas) {
  auto txn = Begin();
  ASSERT_OK(txn->PutNode({0x21, *txn->WriteData(Pattern(100, 1)), 0, 0}));
  ASSERT_OK(txn->Commit());
  const Bytes before = file_->contents();
  const std::string digest = Digest(*db_);
  {
    auto t = Begin();
    for (uint32_t i = 0; i < 60; ++i) {  // ~500 KB: the file grows by regions
      auto bid = t->WriteData(Pattern(8000, i));
      ASSERT_OK(bid);
      ASSERT_OK(t->PutNode({MakeNid(kNidTypeNormalMessage, 0x10001 + i), *bid, 0, 0}));
    }
    ASSERT_OK(t->DeleteNode(0x21));
    EXPECT_FALSE(db_->Begin().ok()) << "one transaction at a time";
  }
  ExpectSameStore(*file_, before, digest);
  ASSERT_OK(CheckStore(file_));
  auto again = Begin();
  ASSERT_OK(again->DeleteNode(0x21));
  ASSERT_OK(again->Commit());
  ASSERT_OK(CheckStore(file_));
}

TEST_P(WriterTest, TheCommittedViewStaysValidAcrossCommits) {
  const Database& db = db_->database();
  auto txn = Begin();
  ASSERT_OK(txn->PutNode({0x21, *txn->WriteData(Pattern(100, 1)), 0, 0}));
  ASSERT_OK(txn->Commit());
  auto before = db.OpenNode(0x21);
  ASSERT_OK(before);
  auto txn2 = Begin();
  ASSERT_OK(txn2->PutNode({0x21, *txn2->WriteData(Pattern(200, 2)), 0, 0}));
  ASSERT_OK(txn2->Commit());
  // The same reference sees the new state; node data opened earlier either
  // reports its freed block or still has the old bytes, never others.
  auto after = db.OpenNode(0x21);
  ASSERT_OK(after);
  EXPECT_EQ((*after)->size(), 200u);
  Bytes buf(100);
  if ((*before)->Read(0, buf).ok()) {
    EXPECT_EQ(buf, Pattern(100, 1));
  }
}

TEST_P(WriterTest, GrowthStopsAtTheSizeLimit) {
  {
    WriteOptions tiny;
    tiny.max_file_size = 0x40000;
    auto none = WritableDatabase::Create(std::make_shared<io::MemoryFile>(), format(),
                                         GetParam().crypt, tiny);
    EXPECT_EQ(none.status().code(), Status::Code::kSizeLimit);
  }
  auto file = std::make_shared<io::MemoryFile>();
  WriteOptions options;
  options.max_file_size = 0x4400 + 3 * 0x3E000;
  auto db = WritableDatabase::Create(file, format(), GetParam().crypt, options);
  ASSERT_OK(db);
  auto txn = (*db)->Begin();
  ASSERT_OK(txn);
  ASSERT_OK((*txn)->PutNode({0x21, *(*txn)->WriteData(Pattern(100, 1)), 0, 0}));
  ASSERT_OK((*txn)->Commit());
  const Bytes before = file->contents();
  const std::string digest = Digest(**db);
  auto big = (*db)->Begin();
  ASSERT_OK(big);
  auto bid = (*big)->WriteData(Pattern(4 * 0x3E000, 2));
  EXPECT_EQ(bid.status().code(), Status::Code::kSizeLimit) << bid.status().ToString();
  big->reset();
  ExpectSameStore(*file, before, digest);
  // What fits still does.
  auto small = (*db)->Begin();
  ASSERT_OK(small);
  auto ok = (*small)->WriteData(Pattern(0x3E000, 3));
  ASSERT_OK(ok);
  ASSERT_OK((*small)->PutNode({0x61, *ok, 0, 0}));
  ASSERT_OK((*small)->Commit());
  EXPECT_LE(file->Size(), options.max_file_size);
  ASSERT_OK(CheckStore(file));
}

// An abandoned transaction may have written blocks into free space, but
// the header, the maps, the size and everything a reader sees are as before.
void ExpectSameStore(const io::MemoryFile& file, const Bytes& before,
                     const std::string& before_digest) {
  ASSERT_EQ(file.Size(), before.size());
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + 0x4600, file.contents().begin()));
  auto db = Database::Open(std::make_shared<io::MemoryFile>(file.contents()));
  ASSERT_OK(db);
  auto digest = testing::StoreDigest(**db);
  ASSERT_OK(digest);
  EXPECT_EQ(*digest, before_digest);
}

// A model of what the store should hold, checked after every commit.
struct ModelNode {
  Bytes data;
  std::map<Nid, Bytes> subnodes;
  Nid parent = 0;
};

void ExpectMatchesModel(const Database& db, const std::map<Nid, ModelNode>& model) {
  size_t nodes = 0;
  ASSERT_OK(db.ForEachNode([&](const NodeEntry& e) {
    ++nodes;
    auto it = model.find(e.nid);
    if (it == model.end()) return Status::Corruption("unexpected node");
    EXPECT_EQ(e.parent_nid, it->second.parent);
    auto node = db.OpenNodeFromBids(e.nid, e.data_bid, e.subnode_bid);
    if (!node.ok()) return node.status();
    Bytes data((*node)->size());
    PST_RETURN_IF_ERROR((*node)->Read(0, data));
    EXPECT_EQ(data, it->second.data) << "node " << e.nid;
    size_t subs = 0;
    PST_RETURN_IF_ERROR((*node)->ForEachSubnode([&](Nid s) -> Status {
      ++subs;
      auto want = it->second.subnodes.find(s);
      if (want == it->second.subnodes.end()) return Status::Corruption("unexpected subnode");
      PST_ASSIGN_OR_RETURN(auto sub, (*node)->OpenSubnode(s));
      Bytes got(sub->size());
      PST_RETURN_IF_ERROR(sub->Read(0, got));
      EXPECT_EQ(got, want->second);
      return Status::Ok();
    }));
    EXPECT_EQ(subs, it->second.subnodes.size());
    return Status::Ok();
  }));
  EXPECT_EQ(nodes, model.size());
}

TEST_P(WriterTest, RandomOperationsCommittedOneByOneStayConsistent) {
  std::mt19937 rng(format() == Format::kAnsi ? 11 : 23);
  std::map<Nid, ModelNode> model;
  const std::vector<size_t> sizes = {0, 1, 100, 2000, max_data() - 1, max_data(), max_data() + 1,
                                     20000, 50000};
  uint32_t seed = 0;
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  for (int round = 0; round < 40; ++round) {
    auto txn = Begin();
    ASSERT_NE(txn, nullptr);
    std::map<Nid, ModelNode> next = model;
    const int ops = 1 + static_cast<int>(pick(8));
    for (int op = 0; op < ops; ++op) {
      const size_t kind = next.empty() ? 0 : pick(10);
      if (kind < 5) {  // a new node, or new contents for an existing one
        Nid nid;
        if (kind < 3 || next.empty()) {
          const uint8_t types[] = {kNidTypeNormalFolder, kNidTypeNormalMessage, kNidTypeAssocMessage};
          auto made = txn->AllocateNid(types[pick(3)]);
          ASSERT_OK(made);
          nid = *made;
        } else {
          auto it = next.begin();
          std::advance(it, pick(next.size()));
          nid = it->first;
        }
        ModelNode m;
        m.data = Pattern(sizes[pick(sizes.size())], ++seed);
        m.parent = static_cast<Nid>(pick(3) == 0 ? 0 : 0x122);
        auto data = txn->WriteData(m.data);
        ASSERT_OK(data);
        std::vector<SubnodeEntry> subs;
        const size_t nsubs = pick(4) == 0 ? (pick(8) == 0 ? 400 : pick(6)) : 0;
        for (size_t s = 0; s < nsubs; ++s) {
          const Nid sn = MakeNid(kNidTypeLtp, static_cast<uint32_t>(0x401 + s));
          Bytes b = Pattern(pick(3) == 0 ? 9000 : 30, ++seed);
          auto sb = txn->WriteData(b);
          ASSERT_OK(sb);
          subs.push_back({sn, *sb, 0});
          m.subnodes[sn] = b;
        }
        auto tree = txn->WriteSubnodeTree(subs);
        ASSERT_OK(tree);
        ASSERT_OK(txn->PutNode({nid, *data, *tree, m.parent}));
        next[nid] = m;
      } else if (kind < 8) {
        const Nid nid = [&] {
          auto it = next.begin();
          std::advance(it, pick(next.size()));
          return it->first;
        }();
        ASSERT_OK(txn->DeleteNode(nid));
        next.erase(nid);
      } else {  // a new node sharing another's data block
        const Nid from = [&] {
          auto it = next.begin();
          std::advance(it, pick(next.size()));
          return it->first;
        }();
        auto entry = txn->FindNode(from);
        ASSERT_OK(entry);
        if (entry->data_bid == 0) continue;
        ASSERT_OK(txn->AddRef(entry->data_bid));
        auto nid = txn->AllocateNid(kNidTypeInternal);
        ASSERT_OK(nid);
        ASSERT_OK(txn->PutNode({*nid, entry->data_bid, 0, 0}));
        ModelNode m;
        m.data = next[from].data;
        next[*nid] = m;
      }
    }
    if (pick(8) == 0) {
      txn.reset();  // abandoned: the model stays
    } else {
      ASSERT_OK(txn->Commit());
      model = std::move(next);
    }
    ASSERT_OK(CheckStore(file_));
    ExpectMatchesModel(db_->database(), model);
    if (round % 10 == 9) {  // and the store opens again for more
      db_.reset();
      auto db = WritableDatabase::Open(file_);
      ASSERT_OK(db);
      db_ = std::move(*db);
    }
  }
  EXPECT_GT(model.size(), 20u);
}

INSTANTIATE_TEST_SUITE_P(Formats, WriterTest,
                         ::testing::Values(FormatParam{Format::kAnsi, CryptMethod::kPermute},
                                           FormatParam{Format::kUnicode, CryptMethod::kPermute},
                                           FormatParam{Format::kAnsi, CryptMethod::kNone},
                                           FormatParam{Format::kUnicode, CryptMethod::kCyclic}),
                         testing::ParamName);

}  // namespace
}  // namespace pst::ndb
