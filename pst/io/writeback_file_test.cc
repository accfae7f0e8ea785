#include "pst/io/writeback_file.h"

#include <gtest/gtest.h>

#include "pst/io/deferred_sync_file.h"
#include "pst/io/fault_injecting_file.h"
#include "pst/io/memory_file.h"
#include "pst/testing/status_matchers.h"

namespace pst::io {
namespace {

// Writes `mib` MiB in 1 MiB pieces, as a writer's runs of blocks come.
void WriteMiB(WritebackFile& file, int mib) {
  const Bytes piece(size_t{1} << 20, 0x5a);
  for (int i = 0; i < mib; ++i) ASSERT_OK(file.Write(uint64_t(i) << 20, piece));
}

// The disk's flushing starts while the file is written, and a sync that
// failed early keeps the file from counting as durable: the system reports
// a failed writeback to one sync only, so the later ones succeed.
TEST(WritebackFile, SyncsEarlyAndKeepsAnEarlyFailure) {
  auto faults = std::make_shared<FaultInjectingFile>(std::make_shared<MemoryFile>());
  faults->FailSyncAt(1, Status::IOError("writeback failed"));
  WritebackFile file(faults, uint64_t{8} << 20);
  WriteMiB(file, 24);
  EXPECT_GE(file.early_syncs(), 1);
  Status synced = file.Sync();
  EXPECT_EQ(synced.code(), Status::Code::kIOError) << synced.ToString();
  EXPECT_EQ(faults->sync_count(), uint64_t(file.early_syncs()) + 1);
  EXPECT_EQ(file.Sync().code(), Status::Code::kIOError);

  // Without early syncs, and deferred: one sync, when asked for by name.
  auto sound = std::make_shared<FaultInjectingFile>(std::make_shared<MemoryFile>());
  DeferredSyncFile deferred(std::make_shared<WritebackFile>(sound, 0));
  for (int i = 0; i < 24; ++i) ASSERT_OK(deferred.Write(uint64_t(i) << 20, Bytes(size_t{1} << 20, 0x5a)));
  EXPECT_OK(deferred.Sync());
  EXPECT_EQ(sound->sync_count(), 0u);
  EXPECT_OK(deferred.SyncNow());
  EXPECT_EQ(sound->sync_count(), 1u);
  EXPECT_EQ(sound->Size(), uint64_t{24} << 20);
}

}  // namespace
}  // namespace pst::io
