// Files to delete when the process is ended by a termination signal: SIGINT, SIGTERM,
// SIGHUP, SIGPIPE, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU or SIGVTALRM.
//
// The tool makes a working copy in the temporary directory and writes the transform
// through a temporary file beside its target; a user who presses Ctrl-C, or a
// supervisor that sends SIGTERM or SIGHUP, must not find either left behind. The
// handler deletes every registered file, restores the signal's default action and
// raises it again, so the caller sees the process ended by that very signal.
//
// Why process-global: a signal handler reaches nothing but global state, and it must
// find the files whichever layer made them (the driver's working copy, the engine's
// temporary transform). The registry is a fixed array of slots with fixed-size path
// buffers and an atomic state per slot: registering never allocates inside the
// handler's view, and the handler uses only async-signal-safe calls (unlink,
// sigaction, sigprocmask, raise).
//
// Invariants:
//  (1) a slot is visible to the handler only once its path is completely written;
//  (2) a file is registered before anything is written to it and unregistered only
//      after it was deleted or renamed away (use DeferTerminationSignals around its
//      creation so no signal falls between creating and registering).
#pragma once

#include <string>

#include "platform/result.h"

namespace mkx::platform {

/// Installs the handler for the termination signals (a signal ignored at start, as
/// under nohup, stays ignored) and ignores SIGXFSZ, so that a write past the file-size
/// limit fails as an error (EFBIG) instead of killing the process with its temporary
/// files left behind. Safe to call more than once.
void InstallTerminationHandlers();

/// A registration, released (unregistered) by its destructor. Moving is not needed.
class CleanupOnSignal {
 public:
  CleanupOnSignal() = default;
  ~CleanupOnSignal() { Disarm(); }
  CleanupOnSignal(const CleanupOnSignal&) = delete;
  CleanupOnSignal& operator=(const CleanupOnSignal&) = delete;

  /// The file at `path` is deleted if a termination signal arrives. Fails when the
  /// path is empty or too long, or every slot is taken (the file is then not covered).
  Status Arm(const std::string& path);
  /// Stops covering the file (it is not deleted).
  void Disarm();
  bool armed() const { return slot_ >= 0; }

 private:
  int slot_ = -1;
};

/// For a run whose result is in place and which only finishes: the termination
/// signals are ignored from here on (one that is pending is dropped), so the run is
/// not ended as interrupted after it has replaced the user's file. Call it while the
/// signals are deferred, together with the step that publishes. On Windows, Ctrl-C and
/// Ctrl-Break are ignored; closing the console still ends the process.
void IgnoreTerminationSignals();

/// Blocks the termination signals for its lifetime (a signal that arrives meanwhile
/// is delivered when it ends): for the instant between creating a file and arming its
/// cleanup.
class DeferTerminationSignals {
 public:
  DeferTerminationSignals();
  ~DeferTerminationSignals();
  DeferTerminationSignals(const DeferTerminationSignals&) = delete;
  DeferTerminationSignals& operator=(const DeferTerminationSignals&) = delete;

 private:
  unsigned long long saved_[16];  // the previous mask (a sigset_t fits in 128 bytes)
};

}  // namespace mkx::platform
