#pragma once
// The clean end on a signal, shared by the command-line programs that write capture files.
//
// SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE are caught. The first one is kept (its number is
// what SignalFlag() holds) and the program ends its run cleanly; a second one ends the program at
// once with status 128 + N, after removing the temporary files it registered (the only files such
// a program creates). A broken pipe is told by the failing write: a later SIGPIPE changes nothing.
//
// Thread: the handler only touches lock-free atomics and fixed arrays; register the temporary
// files from one thread.

#include <atomic>

namespace VANT {

/// What a program that stops on a signal returns: 128 + the signal's number.
inline constexpr int kSignalExitBase = 128;

/// Catches the terminating signals. `restart`: whether interrupted system calls go on (while
/// components run, their threads must not see them fail) or fail (while inputs are opened, a
/// FIFO without writer must not keep the program from ending).
void CatchTerminatingSignals(bool restart);

/// While `atOnce` (a long setup, with nothing begun that a clean end would finish), the first
/// signal already ends the program at once, as a second one does, after telling
/// "PROGRAM: interrupted by NAME" (unless `quiet`). `program` must outlive the setting.
void EndAtOnceOnSignal(bool atOnce, const char* program = "", bool quiet = false);

/// The number of the first signal caught, 0 while none came. A run polls it to end cleanly.
const std::atomic<int>& SignalFlag();
inline bool SignalCaught() {
  return SignalFlag().load() != 0;
}

/// Removes `path` (copied) when a second signal ends the program at once; false when the table
/// (16 entries) is full or the path too long. ForgetTemporary takes it off again.
bool RemoveOnSecondSignal(const char* path);
void ForgetTemporary(const char* path);

/// The exit status of a run stopped by the signal caught: 128 + N; unless `quiet` or the signal
/// is SIGPIPE, "PROGRAM: interrupted by NAME" goes to the standard error first.
int SignalExitStatus(const char* program, bool quiet);

} // namespace VANT
