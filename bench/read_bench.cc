// Reads every folder, message, property, recipient and attachment byte of
// each store given, several times, and prints the best time, MB/s (of the
// file's size) and items/s. bench/read_bench.sh runs it beside readpst and
// pffexport on the same files.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pst/messaging/read_all.h"
#include "pst/messaging/store.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: read_bench [--repeat N] STORE...\n");
    return 2;
  }
  int repeat = 5;
  int first = 1;
  if (std::string(argv[1]) == "--repeat" && argc > 3) {
    repeat = std::atoi(argv[2]);
    first = 3;
  }
  for (int i = first; i < argc; ++i) {
    double best = 1e30;
    pst::messaging::ReadStats stats;
    uint64_t size = 0;
    for (int r = 0; r < repeat; ++r) {
      auto start = std::chrono::steady_clock::now();
      auto store = pst::messaging::Store::OpenPath(argv[i]);
      if (!store.ok()) {
        std::fprintf(stderr, "%s: %s\n", argv[i], store.status().ToString().c_str());
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
                argv[i], best, size / best / 1e6, static_cast<unsigned long long>(items), items / best,
                static_cast<unsigned long long>(stats.value_bytes), stats.problems.size());
  }
  return 0;
}
