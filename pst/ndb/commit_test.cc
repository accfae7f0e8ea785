// What the commit leaves on disk when the process dies or a write fails at
// any point: the store must open and read exactly as before the
// transaction or exactly as after it, and open again for update.
#include <random>

#include "pst/io/fault_injecting_file.h"
#include "pst/io/memory_file.h"
#include "pst/ndb/testing/store_check_test_util.h"
#include "pst/ndb/testing/writer_test_util.h"
#include "pst/ndb/transaction.h"
#include "pst/testing/samples.h"
#include "pst/testing/status_matchers.h"

namespace pst::ndb {
namespace {

using testing::CheckOptions;
using testing::CheckStore;
using testing::FormatParam;
using testing::Pattern;

Result<std::string> DigestOf(const Bytes& bytes) {
  PST_ASSIGN_OR_RETURN(auto db, Database::Open(std::make_shared<io::MemoryFile>(bytes)));
  return testing::StoreDigest(*db);
}

// A store with holes: many small nodes, every other one deleted again, so
// the transaction's blocks land in scattered places (many separate writes).
Bytes FragmentedStore(Format format) {
  auto file = std::make_shared<io::MemoryFile>();
  auto db = WritableDatabase::Create(file, format, CryptMethod::kPermute);
  EXPECT_OK(db);
  for (int pass = 0; pass < 2; ++pass) {
    auto txn = (*db)->Begin();
    EXPECT_OK(txn);
    for (uint32_t i = 0; i < 400; ++i) {
      const Nid nid = MakeNid(kNidTypeNormalMessage, 0x10001 + i);
      if (pass == 0) {
        auto bid = (*txn)->WriteData(Pattern(200 + (i * 977) % 3000, i));
        EXPECT_OK(bid);
        EXPECT_OK((*txn)->PutNode({nid, *bid, 0, 0x122}));
      } else if (i % 2 == 0) {
        EXPECT_OK((*txn)->DeleteNode(nid));
      }
    }
    EXPECT_OK((*txn)->Commit());
  }
  return file->contents();
}

// The transaction under test: new nodes of all sizes into the holes, a large
// one that makes the file grow, replaced and deleted nodes (freed blocks),
// a shared block and a subnode tree. Deterministic for a given store.
Status RunTransaction(WritableDatabase& db, int scale) {
  PST_ASSIGN_OR_RETURN(auto txn, db.Begin());
  std::mt19937 rng(7);
  std::vector<Nid> existing;
  PST_RETURN_IF_ERROR(db.database().ForEachNode([&](const NodeEntry& e) {
    existing.push_back(e.nid);
    return Status::Ok();
  }));
  for (int i = 0; i < 50 * scale; ++i) {
    PST_ASSIGN_OR_RETURN(Nid nid, txn->AllocateNid(kNidTypeNormalMessage));
    PST_ASSIGN_OR_RETURN(Bid bid, txn->WriteData(Pattern(100 + rng() % 3000, rng())));
    PST_RETURN_IF_ERROR(txn->PutNode({nid, bid, 0, 0x122}));
  }
  PST_ASSIGN_OR_RETURN(Bid big, txn->WriteData(Pattern(150000 * scale, 99)));
  PST_ASSIGN_OR_RETURN(Nid big_nid, txn->AllocateNid(kNidTypeNormalMessage));
  PST_RETURN_IF_ERROR(txn->AddRef(big));
  PST_RETURN_IF_ERROR(txn->PutNode({big_nid, big, 0, 0x122}));
  PST_ASSIGN_OR_RETURN(Nid twin, txn->AllocateNid(kNidTypeAssocMessage));
  PST_RETURN_IF_ERROR(txn->PutNode({twin, big, 0, 0x122}));
  std::vector<SubnodeEntry> subs;
  for (uint32_t s = 0; s < 30; ++s) {
    PST_ASSIGN_OR_RETURN(Bid b, txn->WriteData(Pattern(40 + s * 50, s)));
    subs.push_back({MakeNid(kNidTypeLtp, 0x401 + s), b, 0});
  }
  PST_ASSIGN_OR_RETURN(Bid tree, txn->WriteSubnodeTree(subs));
  PST_ASSIGN_OR_RETURN(Bid body, txn->WriteData(Pattern(700, 5)));
  PST_RETURN_IF_ERROR(txn->PutNode({MakeNid(kNidTypeNormalFolder, 0x7FF), body, tree, 0x122}));
  for (size_t i = 0; i < existing.size() && i < size_t(10 * scale); i += 2) {
    PST_RETURN_IF_ERROR(txn->DeleteNode(existing[i]));
    PST_ASSIGN_OR_RETURN(Bid b, txn->WriteData(Pattern(5000, static_cast<uint32_t>(i))));
    PST_RETURN_IF_ERROR(txn->PutNode({existing[i + 1], b, 0, 0x122}));
  }
  return txn->Commit();
}

struct Outcome {
  int before = 0;
  int after = 0;
};

// Opens the file left behind, checks it reads as `before` or `after`, that it
// opens for update, and that a commit on it leaves a fully consistent store.
void CheckLeftBehind(const Bytes& left, const std::string& before, const std::string& after,
                     bool exact, Outcome& outcome, const std::string& where) {
  auto digest = DigestOf(left);
  ASSERT_OK(digest) << where;
  if (*digest == before) {
    ++outcome.before;
  } else {
    ASSERT_EQ(*digest, after) << where << ": the store is neither as before nor as after";
    ++outcome.after;
  }
  auto file = std::make_shared<io::MemoryFile>(left);
  auto db = WritableDatabase::Open(file);
  ASSERT_OK(db) << where;
  auto txn = (*db)->Begin();
  ASSERT_OK(txn);
  ASSERT_OK((*txn)->Commit());
  CheckOptions options;
  options.exact = exact;
  ASSERT_OK(CheckStore(file, options));
  auto again = testing::StoreDigest((*db)->database());
  ASSERT_OK(again);
  EXPECT_EQ(*again, *digest) << where;
}

class CommitTest : public ::testing::TestWithParam<FormatParam> {};

TEST_P(CommitTest, KilledAtAnyWriteTheStoreIsBeforeOrAfter) {
  const Bytes base = FragmentedStore(GetParam().format);
  auto before = DigestOf(base);
  ASSERT_OK(before);

  // A clean run tells how many writes there are and what "after" is.
  auto clean = std::make_shared<io::MemoryFile>(base);
  auto counting = std::make_shared<io::FaultInjectingFile>(clean);
  {
    auto db = WritableDatabase::Open(counting);
    ASSERT_OK(db);
    ASSERT_OK(RunTransaction(**db, 4));
  }
  const uint64_t writes = counting->write_count();
  auto after = DigestOf(clean->contents());
  ASSERT_OK(after);
  ASSERT_NE(*before, *after);
  EXPECT_GE(writes, 200u) << "the transaction should issue a few hundred writes";
  ASSERT_OK(CheckStore(clean));

  Outcome outcome;
  for (uint64_t k = 1; k <= writes + 1; ++k) {
    auto mem = std::make_shared<io::MemoryFile>(base);
    auto faulty = std::make_shared<io::FaultInjectingFile>(mem);
    faulty->StopAt(k);
    {
      auto db = WritableDatabase::Open(faulty);
      ASSERT_OK(db);
      (void)RunTransaction(**db, 4);  // "killed": whatever it reports is lost
    }
    CheckLeftBehind(mem->contents(), *before, *after, true, outcome,
                    "killed at write " + std::to_string(k));
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(outcome.before, 0);
  EXPECT_GT(outcome.after, 0);
}

TEST_P(CommitTest, AFailedWriteLeavesTheStoreAsBefore) {
  const Bytes base = FragmentedStore(GetParam().format);
  auto before = DigestOf(base);
  ASSERT_OK(before);
  auto clean = std::make_shared<io::MemoryFile>(base);
  auto counting = std::make_shared<io::FaultInjectingFile>(clean);
  {
    auto db = WritableDatabase::Open(counting);
    ASSERT_OK(db);
    ASSERT_OK(RunTransaction(**db, 1));
  }
  const uint64_t writes = counting->write_count();
  auto after = DigestOf(clean->contents());
  ASSERT_OK(after);

  enum class Mode { kOnce, kSticky, kShort };
  for (Mode mode : {Mode::kOnce, Mode::kSticky, Mode::kShort}) {
    Outcome outcome;
    for (uint64_t k = 1; k <= writes; ++k) {
      auto mem = std::make_shared<io::MemoryFile>(base);
      auto faulty = std::make_shared<io::FaultInjectingFile>(mem);
      switch (mode) {
        case Mode::kOnce: faulty->FailWriteAt(k, Status::OutOfSpace("disk full")); break;
        case Mode::kSticky: faulty->FailWriteAt(k, Status::IOError("EIO"), true); break;
        case Mode::kShort: faulty->ShortWriteAt(k, 100); break;
      }
      Status result;
      bool can_begin = false;
      {
        auto db = WritableDatabase::Open(faulty);
        ASSERT_OK(db);
        result = RunTransaction(**db, 1);
        can_begin = (*db)->Begin().ok();
      }
      const std::string where = "mode " + std::to_string(int(mode)) + " write " + std::to_string(k);
      EXPECT_FALSE(result.ok()) << where << ": a failed write went unreported";
      CheckLeftBehind(mem->contents(), *before, *after, true, outcome, where);
      if (HasFatalFailure()) return;
      (void)can_begin;
    }
    // Reported failures leave the old state, every time.
    EXPECT_EQ(outcome.after, 0);
  }
}

TEST_P(CommitTest, AFailedSyncLeavesTheStoreAsBefore) {
  const Bytes base = FragmentedStore(GetParam().format);
  auto before = DigestOf(base);
  ASSERT_OK(before);
  for (uint64_t n = 1; n <= 3; ++n) {
    auto mem = std::make_shared<io::MemoryFile>(base);
    auto faulty = std::make_shared<io::FaultInjectingFile>(mem);
    faulty->FailSyncAt(n, Status::IOError("fsync failed"));
    auto db = WritableDatabase::Open(faulty);
    ASSERT_OK(db);
    Status s = RunTransaction(**db, 1);
    EXPECT_FALSE(s.ok()) << "sync " << n;
    auto digest = DigestOf(mem->contents());
    ASSERT_OK(digest);
    EXPECT_EQ(*digest, *before) << "sync " << n;
    // Past the point of no return the writer refuses to go on; before it,
    // the store is as it was and a new transaction may start.
    auto next = (*db)->Begin();
    if (!next.ok()) {
      EXPECT_NE(next.status().message().find("open the store again"), std::string::npos);
    }
  }
}

// Outlook's stores: one with a density list and valid maps, one whose maps
// are marked invalid and whose file ends inside its first map region.
TEST(CommitOutlookStore, KilledAtAnyWriteTheStoreIsBeforeOrAfter) {
  for (const char* name : {"unicode-empty-outlook.pst", "ansi-outlook98-empty-32k.pst"}) {
    SCOPED_TRACE(name);
    auto loaded = testing::LoadFile(test::SamplePath(name));
    ASSERT_OK(loaded);
    const Bytes base = (*loaded)->contents();
    auto before = DigestOf(base);
    ASSERT_OK(before);
    auto clean = std::make_shared<io::MemoryFile>(base);
    auto counting = std::make_shared<io::FaultInjectingFile>(clean);
    {
      auto db = WritableDatabase::Open(counting);
      ASSERT_OK(db);
      ASSERT_OK(RunTransaction(**db, 1));
    }
    const uint64_t writes = counting->write_count();
    auto after = DigestOf(clean->contents());
    ASSERT_OK(after);
    Outcome outcome;
    for (uint64_t k = 1; k <= writes + 1; ++k) {
      auto mem = std::make_shared<io::MemoryFile>(base);
      auto faulty = std::make_shared<io::FaultInjectingFile>(mem);
      faulty->StopAt(k);
      {
        auto db = WritableDatabase::Open(faulty);
        ASSERT_OK(db);
        (void)RunTransaction(**db, 1);
      }
      CheckLeftBehind(mem->contents(), *before, *after, false, outcome,
                      "killed at write " + std::to_string(k));
      if (HasFatalFailure()) return;
    }
    EXPECT_GT(outcome.before, 0);
    EXPECT_GT(outcome.after, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, CommitTest,
                         ::testing::Values(FormatParam{Format::kAnsi, CryptMethod::kPermute},
                                           FormatParam{Format::kUnicode, CryptMethod::kPermute}),
                         testing::ParamName);

}  // namespace
}  // namespace pst::ndb
