// Cleanup on termination signals on Windows: the C runtime's SIGINT (Ctrl-C), SIGBREAK
// (Ctrl-Break, console close) and SIGTERM. The runtime calls a SIGINT or SIGBREAK
// handler on a thread of its own rather than interrupting the program, so the handler
// may use the ordinary file calls. Same registry and guarantees as the POSIX version.
#include "platform/signal_cleanup.h"

#include <atomic>
#include <csignal>
#include <cstring>

#include "platform/windows/win32_support.h"

#include <windows.h>

namespace mkx::platform {
namespace {

constexpr int kSlots = 16;
constexpr size_t kPathCapacity = 4096;

enum SlotState : int { kFree = 0, kWriting = 1, kArmed = 2 };

struct Slot {
  std::atomic<int> state{kFree};
  bool replacement = false;
  bool had_file = false;
  DWORD volume = 0;
  DWORD index_high = 0;
  DWORD index_low = 0;
  char path[kPathCapacity];
};

Slot g_slots[kSlots];
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGBREAK};

bool Identity(const char* path, BY_HANDLE_FILE_INFORMATION& info) {
  HANDLE handle = ::CreateFileW(WidePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool ok = ::GetFileInformationByHandle(handle, &info) != 0;
  ::CloseHandle(handle);
  return ok;
}

void OnTerminationSignal(int sig) {
  for (Slot& slot : g_slots) {
    if (slot.state.load(std::memory_order_acquire) != kArmed) continue;
    if (slot.replacement) {
      BY_HANDLE_FILE_INFORMATION info;
      if (!Identity(slot.path, info)) continue;
      if (slot.had_file && info.dwVolumeSerialNumber == slot.volume && info.nFileIndexHigh == slot.index_high &&
          info.nFileIndexLow == slot.index_low) {
        continue;
      }
    }
    ::DeleteFileW(WidePath(slot.path).c_str());
  }
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

int Claim(const std::string& path) {
  if (path.empty() || path.size() >= kPathCapacity || path.find('\0') != std::string::npos) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (g_slots[i].state.compare_exchange_strong(expected, kWriting, std::memory_order_acq_rel)) {
      std::memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
      return i;
    }
  }
  return -1;
}

}  // namespace

void InstallTerminationHandlers() {
  for (int sig : kSignals) {
    auto old = std::signal(sig, OnTerminationSignal);
    if (old == SIG_IGN) std::signal(sig, SIG_IGN);
  }
}

bool CleanupOnSignal::Arm(const std::string& path) {
  Disarm();
  const int slot = Claim(path);
  if (slot < 0) return false;
  g_slots[slot].replacement = false;
  g_slots[slot].state.store(kArmed, std::memory_order_release);
  slot_ = slot;
  return true;
}

bool CleanupOnSignal::ArmReplacement(const std::string& path) {
  Disarm();
  const int slot = Claim(path);
  if (slot < 0) return false;
  Slot& s = g_slots[slot];
  BY_HANDLE_FILE_INFORMATION info;
  s.replacement = true;
  s.had_file = Identity(s.path, info);
  s.volume = s.had_file ? info.dwVolumeSerialNumber : 0;
  s.index_high = s.had_file ? info.nFileIndexHigh : 0;
  s.index_low = s.had_file ? info.nFileIndexLow : 0;
  s.state.store(kArmed, std::memory_order_release);
  slot_ = slot;
  return true;
}

void CleanupOnSignal::Disarm() {
  if (slot_ < 0) return;
  g_slots[slot_].state.store(kFree, std::memory_order_release);
  slot_ = -1;
}

// The runtime runs the handler on a thread of its own, which no signal mask holds
// back: the instant between creating a file and arming its cleanup stays uncovered.
DeferTerminationSignals::DeferTerminationSignals() : saved_{} {}
DeferTerminationSignals::~DeferTerminationSignals() = default;

}  // namespace mkx::platform
