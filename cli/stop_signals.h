// Ctrl+C (SIGINT), a polite kill (SIGTERM) or a closed terminal or dropped
// SSH session (SIGHUP) end a conversion between two objects; the unfinished
// output is removed and the run exits with 128 + the signal's number.
#pragma once

namespace quillmar::cli {

// From now on the three signals are caught (and a closed pipe no longer
// kills the process half-way through writing a store).
void CatchStopSignals();

// The first stop signal that came, or 0.
int StopSignal();

// 128 + signal: the exit code of a run the signal stopped.
int ExitCodeForSignal(int signal);

}  // namespace quillmar::cli
