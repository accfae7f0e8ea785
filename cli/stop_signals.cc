#include "cli/stop_signals.h"

#include <atomic>
#include <csignal>

#include <signal.h>

namespace quillmar::cli {
namespace {

std::atomic<int> g_stop_signal{0};

extern "C" void OnStopSignal(int signal) {
  int none = 0;
  g_stop_signal.compare_exchange_strong(none, signal);
}

}  // namespace

void CatchStopSignals() {
#ifdef SA_RESTART
  // Without SA_RESTART a signal also ends a wait for input (the password
  // prompt), instead of being noticed only after Enter.
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
#else
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
#endif
}

int StopSignal() { return g_stop_signal.load(); }

int ExitCodeForSignal(int signal) { return 128 + signal; }

}  // namespace quillmar::cli
