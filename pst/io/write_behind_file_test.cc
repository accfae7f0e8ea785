#include "pst/io/write_behind_file.h"

#include <gtest/gtest.h>

#include <random>

#include "pst/io/fault_injecting_file.h"
#include "pst/io/memory_file.h"
#include "pst/testing/status_matchers.h"

namespace pst::io {
namespace {

// Random writes (adjacent runs, overlaps, some larger than the queue, some
// handing their buffer over) with reads and truncations between them,
// against the same calls made on a plain file: the caller never sees a
// write that has not landed yet, and a buffer it gets back is its own.
TEST(WriteBehindFile, BehavesAsIfEveryWriteHadLanded) {
  for (const size_t queue_bytes : {size_t{4096}, WriteBehindFile::kDefaultQueueBytes}) {
    auto base = std::make_shared<MemoryFile>();
    MemoryFile expected;
    WriteBehindFile file(base, queue_bytes);
    std::mt19937 random(static_cast<uint32_t>(queue_bytes));
    uint64_t next = 0;
    BufferBytes handed;  // filled again after each hand-over, as a writer reuses its buffer
    for (int i = 0; i < 1500; ++i) {
      const int kind = static_cast<int>(random() % 40);
      const bool hand_over = kind >= 30 && kind < 36;
      const size_t size = kind == 0 ? 20000 + random() % 1200000
                          : hand_over ? 1 + random() % (1 << 20)
                                      : 1 + random() % 3000;
      // Mostly right after the last write, as a commit writes its blocks.
      const uint64_t offset = kind < 28 ? next : random() % (expected.Size() + 1);
      Bytes data(size);
      for (auto& b : data) b = static_cast<uint8_t>(random());
      if (hand_over) {
        handed.assign(data.begin(), data.end());
        ASSERT_OK(file.WriteBuffer(offset, handed));
        ASSERT_TRUE(handed.empty()) << i;
      } else {
        ASSERT_OK(file.Write(offset, data));
      }
      ASSERT_OK(expected.Write(offset, data));
      next = offset + size;
      ASSERT_EQ(file.Size(), expected.Size()) << i;
      if (kind == 39) {
        const uint64_t at = random() % (expected.Size() + 1);
        Bytes got(static_cast<size_t>(std::min<uint64_t>(5000, expected.Size() - at)));
        Bytes want(got.size());
        ASSERT_OK(file.Read(at, got));
        ASSERT_OK(expected.Read(at, want));
        ASSERT_EQ(got, want) << i;
      }
      if (kind == 38) {
        const uint64_t size_now = random() % (expected.Size() + 1);
        ASSERT_OK(file.Truncate(size_now));
        ASSERT_OK(expected.Truncate(size_now));
        next = std::min(next, size_now);
      }
    }
    ASSERT_OK(file.Sync());
    EXPECT_EQ(base->contents(), expected.contents()) << queue_bytes;
  }
}

TEST(WriteBehindFile, AFailedWriteReachesTheNextCallAndNothingLandsAfterIt) {
  auto memory = std::make_shared<MemoryFile>();
  auto faulty = std::make_shared<FaultInjectingFile>(memory);
  faulty->FailWriteAt(2, Status::OutOfSpace("disk full"));  // not sticky: only we stop
  WriteBehindFile file(faulty);
  // Apart from each other, so each is a write of its own.
  EXPECT_OK(file.Write(0, Bytes(10, 1)));
  (void)file.Write(100, Bytes(10, 2));
  (void)file.Write(200, Bytes(10, 3));
  Status flushed = file.Flush();
  EXPECT_EQ(flushed.code(), Status::Code::kOutOfSpace) << flushed.ToString();
  EXPECT_EQ(file.Sync().code(), Status::Code::kOutOfSpace);
  EXPECT_EQ(file.Write(300, Bytes(10, 4)).code(), Status::Code::kOutOfSpace);
  Bytes byte(1);
  EXPECT_EQ(file.Read(0, byte).code(), Status::Code::kOutOfSpace);
  EXPECT_EQ(memory->contents(), Bytes(10, 1)) << "only the write before the failure landed";
}

}  // namespace
}  // namespace pst::io
