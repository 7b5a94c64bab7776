// Cleanup on console control events on Windows: Ctrl-C, Ctrl-Break, closing the
// console window, logoff and shutdown. The system calls a console control handler
// on a new thread while the program's own thread runs on, so this handler may use
// the ordinary file calls; what it must prevent is the program creating a file after
// the handler has deleted the registered ones. Same registry as the POSIX version.
//
// (1) DeferTerminationSignals holds `g_deferral` shared; the handler takes it
//     exclusively and never gives it back (unless it ignores the event), so it waits
//     for a file being created and armed, and after the deletion no new file can be
//     armed.
// (2) The handler ends the process itself, with the status the console's default
//     handler gives (STATUS_CONTROL_C_EXIT), through TerminateProcess: no exit code
//     of the runtime or a DLL runs while the other thread may hold its locks.
// (3) A file the program has open without sharing delete access cannot be deleted
//     yet: the handler tries again until the program's own thread has closed it, for
//     at most kDeleteWaitMs (the system ends a process 5 s after a console close).
//     The copy into the working copy is deferred whole: CopyFileW would make the
//     file again if the handler deleted it first.
// (4) A process started with Ctrl-C disabled (CREATE_NEW_PROCESS_GROUP, or a parent
//     that ignores it) keeps it so: the system does not call handlers for an event
//     the process ignores.
#include "platform/signal_cleanup.h"
#include "platform/signal_registry.h"

#include <atomic>

#include "platform/windows/win32_support.h"

#include <windows.h>

namespace mkx::platform {
namespace {

constexpr ULONGLONG kDeleteWaitMs = 3000;

SRWLOCK g_deferral = SRWLOCK_INIT;
std::atomic<bool> g_installed{false};
std::atomic<bool> g_finishing{false};  // the result is published: Ctrl-C no longer ends the run
ULONGLONG g_delete_deadline = 0;  // set by the handler before it deletes

BOOL WINAPI OnConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  ::AcquireSRWLockExclusive(&g_deferral);  // held until the process is gone
  if (g_finishing && (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)) {
    ::ReleaseSRWLockExclusive(&g_deferral);
    return TRUE;  // handled: the run finishes
  }
  g_delete_deadline = ::GetTickCount64() + kDeleteWaitMs;
  RemoveRegisteredFiles();
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
  return TRUE;
}

}  // namespace

void DeleteRegisteredFile(const char* path) {
  const std::wstring wide = WidePath(path);
  while (!::DeleteFileW(wide.c_str())) {
    if (::GetLastError() != ERROR_SHARING_VIOLATION || ::GetTickCount64() >= g_delete_deadline) return;
    ::Sleep(10);
  }
}

void InstallTerminationHandlers() {
  if (g_installed.exchange(true)) return;
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void IgnoreTerminationSignals() { g_finishing = true; }

DeferTerminationSignals::DeferTerminationSignals() : saved_{} { ::AcquireSRWLockShared(&g_deferral); }
DeferTerminationSignals::~DeferTerminationSignals() { ::ReleaseSRWLockShared(&g_deferral); }

}  // namespace mkx::platform
