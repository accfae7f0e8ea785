#include "pst/io/deferred_sync_file.h"

#include <gtest/gtest.h>

#include "pst/io/fault_injecting_file.h"
#include "pst/io/memory_file.h"
#include "pst/testing/status_matchers.h"

namespace pst::io {
namespace {

// Writes `mib` MiB in 1 MiB pieces, as a writer's runs of blocks come.
void WriteMiB(DeferredSyncFile& file, int mib) {
  const Bytes piece(size_t{1} << 20, 0x5a);
  for (int i = 0; i < mib; ++i) ASSERT_OK(file.Write(uint64_t(i) << 20, piece));
}

// The disk's flushing starts while the file is written, and a sync that
// failed early still keeps the file from counting as durable: the system
// reports a failed writeback to one sync only, so the last one succeeds.
TEST(DeferredSyncFile, SyncsEarlyAndKeepsAnEarlyFailure) {
  auto faults = std::make_shared<FaultInjectingFile>(std::make_shared<MemoryFile>());
  faults->FailSyncAt(1, Status::IOError("writeback failed"));
  DeferredSyncFile file(faults, uint64_t{8} << 20);
  ASSERT_OK(file.Sync());  // a commit's sync waits for SyncNow()
  WriteMiB(file, 24);
  EXPECT_GE(file.early_syncs(), 1);
  Status synced = file.SyncNow();
  EXPECT_EQ(synced.code(), Status::Code::kIOError) << synced.ToString();
  EXPECT_EQ(faults->sync_count(), uint64_t(file.early_syncs()) + 1);

  auto sound = std::make_shared<FaultInjectingFile>(std::make_shared<MemoryFile>());
  DeferredSyncFile unhurried(sound, 0);
  WriteMiB(unhurried, 24);
  EXPECT_EQ(sound->sync_count(), 0u);
  EXPECT_OK(unhurried.SyncNow());
  EXPECT_EQ(sound->sync_count(), 1u);
  EXPECT_EQ(sound->Size(), uint64_t{24} << 20);
}

}  // namespace
}  // namespace pst::io
