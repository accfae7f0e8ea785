#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <atomic>

#include "pst/io/file.h"
#include "pst/io/memory_file.h"
#include "pst/io/waiting_sync_file.h"
#include "pst/testing/status_matchers.h"

namespace pst::io {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/quillmar-io-XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path_); }
  fs::path path() const { return path_; }

 private:
  fs::path path_;
};

TEST(PosixFile, ReadOnlyFileReadsAndRefusesWritesAndShortReads) {
  TempDir dir;
  const auto p = dir.path() / "a.bin";
  std::ofstream(p) << "hello";
  auto f = OpenReadOnly(p.string());
  ASSERT_OK(f);
  EXPECT_EQ((*f)->Size(), 5u);
  auto bytes = ReadBytes(**f, 1, 3);
  ASSERT_OK(bytes);
  EXPECT_EQ(std::string(bytes->begin(), bytes->end()), "ell");
  auto past = ReadBytes(**f, 3, 3);
  EXPECT_TRUE(past.status().IsCorruption());
  EXPECT_FALSE(OpenReadOnly((dir.path() / "missing").string()).ok());
}

TEST(PosixFile, CreateExclusiveRefusesExistingFilesAndLinks) {
  TempDir dir;
  const auto p = dir.path() / "new.pst";
  auto f = CreateExclusive(p.string());
  ASSERT_OK(f);
  const uint8_t data[] = {1, 2, 3};
  ASSERT_OK((*f)->Write(10, data));
  EXPECT_EQ((*f)->Size(), 13u);
  EXPECT_OK((*f)->Sync());
  EXPECT_FALSE(CreateExclusive(p.string()).ok());
  fs::create_symlink(dir.path() / "target", dir.path() / "link.pst");
  EXPECT_FALSE(CreateExclusive((dir.path() / "link.pst").string()).ok());
  EXPECT_FALSE(fs::exists(dir.path() / "target"));
}

// A killed process must never leave a half-written file under the name.
TEST(PosixFile, CreateWholeShowsTheFileOnlyOnceItIsWritten) {
  TempDir dir;
  const auto p = dir.path() / "new.pst";
  const uint8_t data[] = {1, 2, 3};
  Status made = CreateWhole(p.string(), [&](std::shared_ptr<WritableFile> f) {
    EXPECT_FALSE(fs::exists(p)) << "the file has its name before it is complete";
    PST_RETURN_IF_ERROR(f->Write(0, data));
    return f->Write(4096, data);
  });
  ASSERT_OK(made);
  auto back = OpenReadOnly(p.string());
  ASSERT_OK(back);
  EXPECT_EQ((*back)->Size(), 4099u);
  EXPECT_EQ(*ReadBytes(**back, 4096, 3), Bytes(data, data + 3));

  // Never replaces what is there, and a failed fill leaves nothing at all.
  EXPECT_FALSE(CreateWhole(p.string(), [&](std::shared_ptr<WritableFile> f) { return f->Write(0, data); }).ok());
  EXPECT_EQ(fs::file_size(p), 4099u);
  const auto q = dir.path() / "failed.pst";
  EXPECT_FALSE(CreateWhole(q.string(), [&](std::shared_ptr<WritableFile> f) {
                 PST_RETURN_IF_ERROR(f->Write(0, data));
                 return Status::IOError("disk full");
               }).ok());
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(PosixFile, FifoIsRefusedWithoutWaitingForAWriter) {
  TempDir dir;
  const std::string fifo = (dir.path() / "store.pst").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto opened = std::async(std::launch::async, [&] { return OpenReadOnly(fifo).status(); });
  if (opened.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    // Let the waiting open finish so that the test ends.
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ADD_FAILURE() << "opening a FIFO waited for a writer";
    opened.wait();
    if (writer >= 0) ::close(writer);
    return;
  }
  const Status s = opened.get();
  EXPECT_FALSE(s.ok());
  EXPECT_NE(s.ToString().find("not a regular file"), std::string::npos) << s.ToString();
  EXPECT_FALSE(OpenReadWrite(fifo).ok());
}

TEST(MemoryFile, GrowsOnWriteAndBoundsReads) {
  MemoryFile f;
  const uint8_t data[] = {7, 8};
  ASSERT_OK(f.Write(4, data));
  EXPECT_EQ(f.Size(), 6u);
  uint8_t out[2];
  ASSERT_OK(f.Read(4, out));
  EXPECT_EQ(out[1], 8);
  EXPECT_FALSE(f.Read(5, out).ok());
  EXPECT_FALSE(f.Write(uint64_t{1} << 40, data).ok());
}

// A disk that takes its time to sync (and may fail to): no real one shows
// either on demand.
class SlowSyncFile : public WritableFile {
 public:
  explicit SlowSyncFile(Status result) : result_(std::move(result)) {}
  Status Read(uint64_t offset, std::span<uint8_t> out) const override { return memory_.Read(offset, out); }
  uint64_t Size() const override { return memory_.Size(); }
  std::string Name() const override { return "slow"; }
  Status Write(uint64_t offset, ByteSpan data) override { return memory_.Write(offset, data); }
  Status Truncate(uint64_t size) override { return memory_.Truncate(size); }
  Status Sync() override {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    ++syncs;
    return result_;
  }
  std::atomic<int> syncs{0};

 private:
  MemoryFile memory_;
  Status result_;
};

TEST(WaitingSyncFile, TheCallerGoesOnCallingItsOwnerWhileTheDiskSyncs) {
  for (Status result : {Status::Ok(), Status::IOError("the disk went away")}) {
    auto base = std::make_shared<SlowSyncFile>(result);
    WaitingSyncFile file(base);
    int calls = 0;
    file.set_while_waiting([&] { ++calls; });
    const Status s = file.Sync();
    EXPECT_EQ(s.code(), result.code());
    EXPECT_EQ(base->syncs, 1);
    EXPECT_GE(calls, 3) << "60 ms of waiting, called every 5 ms";
    // Without an owner's function it waits as a plain file does.
    file.set_while_waiting(nullptr);
    calls = 0;
    (void)file.Sync();
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(base->syncs, 2);
  }
}

}  // namespace
}  // namespace pst::io
