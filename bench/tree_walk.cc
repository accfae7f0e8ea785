// Walks the node and block B-trees of each store given, as a conversion's
// checks and orphan search do, and prints the entries, the time and how far
// the walk raised the process's peak RSS (VmHWM, Linux): a walk should need
// about the same memory for a store of a hundred nodes as for millions.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "bench/bench_args.h"
#include "pst/io/file.h"
#include "pst/ndb/database.h"

namespace {

long PeakRssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  bench::Args args(argc, argv, "tree_walk", "tree_walk STORE...");
  if (args.done()) args.Refuse("no store given");
  int failed = 0;
  while (!args.done()) {
    const std::string path = args.Operand();
    auto file = pst::io::OpenReadOnly(path);
    auto db = file.ok() ? pst::ndb::Database::Open(std::shared_ptr<const pst::io::RandomAccessFile>(std::move(*file)))
                        : file.status();
    if (!db.ok()) {
      std::fprintf(stderr, "%s: %s\n", path.c_str(), db.status().ToString().c_str());
      ++failed;
      continue;
    }
    const long before = PeakRssKiB();
    const auto start = std::chrono::steady_clock::now();
    uint64_t nodes = 0, blocks = 0;
    pst::Status s = (*db)->ForEachNode([&](const pst::ndb::NodeEntry&) { ++nodes; return pst::Status::Ok(); });
    if (s.ok()) s = (*db)->ForEachBlock([&](const pst::ndb::BlockEntry&) { ++blocks; return pst::Status::Ok(); });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!s.ok()) {
      std::fprintf(stderr, "%s: %s\n", path.c_str(), s.ToString().c_str());
      ++failed;
      continue;
    }
    std::printf("%s  %llu nodes  %llu blocks  %.3f s  peak RSS +%ld KiB\n", path.c_str(),
                static_cast<unsigned long long>(nodes), static_cast<unsigned long long>(blocks), seconds,
                PeakRssKiB() - before);
  }
  return failed == 0 ? 0 : 1;
}
