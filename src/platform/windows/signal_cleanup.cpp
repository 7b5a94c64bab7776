// Cleanup on termination signals on Windows: the C runtime's SIGINT (Ctrl-C), SIGBREAK
// (Ctrl-Break, console close) and SIGTERM. The runtime calls a SIGINT or SIGBREAK
// handler on a thread of its own rather than interrupting the program, so the handler
// may use the ordinary file calls. Same registry and guarantees as the POSIX version.
#include "platform/signal_cleanup.h"
#include "platform/signal_registry.h"

#include <csignal>

#include "platform/windows/win32_support.h"

#include <windows.h>

namespace mkx::platform {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGBREAK};

void OnTerminationSignal(int sig) {
  RemoveRegisteredFiles();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

}  // namespace

bool IdentifyFile(const char* path, FileIdentity& identity) {
  return FileVolumeAndIndex(path, false, identity.device, identity.file);
}

void DeleteRegisteredFile(const char* path) { ::DeleteFileW(WidePath(path).c_str()); }

void InstallTerminationHandlers() {
  for (int sig : kSignals) {
    auto old = std::signal(sig, OnTerminationSignal);
    if (old == SIG_IGN) std::signal(sig, SIG_IGN);
  }
}

// The runtime runs the handler on a thread of its own, which no signal mask holds
// back: the instant between creating a file and arming its cleanup stays uncovered.
DeferTerminationSignals::DeferTerminationSignals() : saved_{} {}
DeferTerminationSignals::~DeferTerminationSignals() = default;

}  // namespace mkx::platform
