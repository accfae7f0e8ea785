#include "cli/stop_signals.h"

#include <atomic>
#include <csignal>

namespace quillmar::cli {
namespace {

std::atomic<int> g_stop_signal{0};

extern "C" void OnStopSignal(int signal) {
  int none = 0;
  g_stop_signal.compare_exchange_strong(none, signal);
}

}  // namespace

void CatchStopSignals() {
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
#ifdef SIGHUP
  std::signal(SIGHUP, OnStopSignal);
#endif
#ifdef SIGPIPE
  std::signal(SIGPIPE, SIG_IGN);
#endif
}

int StopSignal() { return g_stop_signal.load(); }

int ExitCodeForSignal(int signal) { return 128 + signal; }

}  // namespace quillmar::cli
