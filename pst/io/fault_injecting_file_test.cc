#include "pst/io/fault_injecting_file.h"

#include <gtest/gtest.h>

#include "pst/io/memory_file.h"
#include "pst/testing/status_matchers.h"

namespace pst::io {
namespace {

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }

std::string Contents(const MemoryFile& f) {
  return std::string(f.contents().begin(), f.contents().end());
}

TEST(FaultInjectingFile, FailsOnlyTheChosenWriteUnlessSticky) {
  auto base = std::make_shared<MemoryFile>();
  FaultInjectingFile f(base);
  f.FailWriteAt(2, Status::OutOfSpace("disk full"));
  EXPECT_OK(f.Write(0, B("ab")));
  Status s = f.Write(2, B("cd"));
  EXPECT_EQ(s.code(), Status::Code::kOutOfSpace);
  EXPECT_OK(f.Write(2, B("ef")));
  EXPECT_EQ(Contents(*base), "abef");

  auto base2 = std::make_shared<MemoryFile>();
  FaultInjectingFile g(base2);
  g.FailWriteAt(2, Status::IOError("EIO"), /*sticky=*/true);
  EXPECT_OK(g.Write(0, B("ab")));
  EXPECT_FALSE(g.Write(2, B("cd")).ok());
  EXPECT_FALSE(g.Write(4, B("ef")).ok());
  EXPECT_FALSE(g.Truncate(1).ok());
  EXPECT_EQ(Contents(*base2), "ab");
  EXPECT_EQ(g.write_count(), 4u);
}

TEST(FaultInjectingFile, StopKeepsExactlyThePrefixAndReportsSuccess) {
  auto base = std::make_shared<MemoryFile>();
  FaultInjectingFile f(base);
  f.StopAt(3);
  EXPECT_OK(f.Write(0, B("abc")));
  EXPECT_OK(f.Truncate(2));
  EXPECT_FALSE(f.stopped());
  EXPECT_OK(f.Write(2, B("xyz")));  // dropped
  EXPECT_TRUE(f.stopped());
  EXPECT_OK(f.Truncate(0));  // dropped
  EXPECT_OK(f.Sync());
  EXPECT_EQ(Contents(*base), "ab");
}

TEST(FaultInjectingFile, ShortWriteStoresAPrefixAndFails) {
  auto base = std::make_shared<MemoryFile>(B("0123456789"));
  FaultInjectingFile f(base);
  f.ShortWriteAt(1, 2);
  Status s = f.Write(4, B("abcd"));
  EXPECT_EQ(s.code(), Status::Code::kIOError);
  EXPECT_EQ(Contents(*base), "0123ab6789");
}

TEST(FaultInjectingFile, FailsTheChosenSync) {
  auto base = std::make_shared<MemoryFile>();
  FaultInjectingFile f(base);
  f.FailSyncAt(2, Status::IOError("fsync failed"));
  EXPECT_OK(f.Sync());
  EXPECT_FALSE(f.Sync().ok());
  EXPECT_OK(f.Sync());
  EXPECT_EQ(f.sync_count(), 3u);
}

}  // namespace
}  // namespace pst::io
