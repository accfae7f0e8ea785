// Reads every folder, message, property, recipient and attachment byte of
// each store given, several times, and prints the best time, MB/s (of the
// file's size) and items/s. bench/read_bench.sh runs it beside readpst and
// pffexport on the same files.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_args.h"
#include "pst/base/heap_tuning.h"

#include "pst/messaging/read_all.h"
#include "pst/messaging/store.h"

int main(int argc, char** argv) {
  pst::KeepFreedMemory();  // as the programs do
  bench::Args args(argc, argv, "read_bench", "read_bench [--repeat N] STORE...");
  uint64_t repeat = 5;
  std::vector<std::string> stores;
  while (!args.done()) {
    if (args.Number("--repeat", repeat)) {
      if (repeat == 0) args.Refuse("--repeat takes at least 1");
    } else {
      stores.push_back(args.Operand());
    }
  }
  if (stores.empty()) args.Refuse("no store given");
  for (const std::string& path : stores) {
    double best = 1e30;
    pst::messaging::ReadStats stats;
    uint64_t size = 0;
    for (uint64_t r = 0; r < repeat; ++r) {
      auto start = std::chrono::steady_clock::now();
      auto store = pst::messaging::Store::OpenPath(path);
      if (!store.ok()) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), store.status().ToString().c_str());
        return 1;
      }
      size = (*store)->database().file().Size();
      stats = pst::messaging::ReadEverything(**store);
      double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (seconds < best) best = seconds;
    }
    const uint64_t items = stats.folders + stats.messages + stats.fai_messages + stats.attachments +
                           stats.recipients;
    std::printf("%s\tseconds=%.6f\tMB/s=%.1f\titems=%llu\titems/s=%.0f\tvalue_bytes=%llu\tproblems=%zu\n",
                path.c_str(), best, size / best / 1e6, static_cast<unsigned long long>(items), items / best,
                static_cast<unsigned long long>(stats.value_bytes), stats.problems.size());
  }
  return 0;
}
