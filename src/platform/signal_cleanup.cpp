#include "platform/signal_cleanup.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace mkx::platform {
namespace {

constexpr int kSlots = 16;
constexpr size_t kPathCapacity = 4096;

enum SlotState : int { kFree = 0, kWriting = 1, kArmed = 2 };

struct Slot {
  std::atomic<int> state{kFree};
  bool replacement = false;  // delete only if the file is not the one seen at arming
  bool had_file = false;
  dev_t device = 0;
  ino_t inode = 0;
  char path[kPathCapacity] = {};
};

constinit Slot g_slots[kSlots];  // zero-initialized: nothing runs or is touched at start-up
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

static_assert(std::atomic<int>::is_always_lock_free, "the handler needs lock-free slot states");

void RemoveRegisteredFiles() {
  for (Slot& slot : g_slots) {
    if (slot.state.load(std::memory_order_acquire) != kArmed) continue;
    if (slot.replacement) {
      struct stat st;
      if (::lstat(slot.path, &st) != 0) continue;
      if (slot.had_file && st.st_dev == slot.device && st.st_ino == slot.inode) continue;
    }
    ::unlink(slot.path);
  }
}

void OnTerminationSignal(int sig) {
  RemoveRegisteredFiles();
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(sig, &action, nullptr);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, sig);
  ::sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
  ::raise(sig);  // ends the process as killed by `sig`
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
    struct sigaction old;
    if (::sigaction(sig, nullptr, &old) != 0) continue;
    if (old.sa_handler == SIG_IGN || old.sa_handler == OnTerminationSignal) continue;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    // One cleanup at a time: the other termination signals wait for this one.
    for (int other : kSignals) sigaddset(&action.sa_mask, other);
    ::sigaction(sig, &action, nullptr);
  }
  std::signal(SIGXFSZ, SIG_IGN);
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
  struct stat st;
  s.replacement = true;
  s.had_file = ::lstat(s.path, &st) == 0;
  s.device = s.had_file ? st.st_dev : 0;
  s.inode = s.had_file ? st.st_ino : 0;
  s.state.store(kArmed, std::memory_order_release);
  slot_ = slot;
  return true;
}

void CleanupOnSignal::Disarm() {
  if (slot_ < 0) return;
  g_slots[slot_].state.store(kFree, std::memory_order_release);
  slot_ = -1;
}

DeferTerminationSignals::DeferTerminationSignals() {
  static_assert(sizeof(sigset_t) <= sizeof(saved_));
  sigset_t block, old;
  sigemptyset(&block);
  for (int sig : kSignals) sigaddset(&block, sig);
  ::pthread_sigmask(SIG_BLOCK, &block, &old);
  std::memcpy(saved_, &old, sizeof old);
}

DeferTerminationSignals::~DeferTerminationSignals() {
  sigset_t old;
  std::memcpy(&old, saved_, sizeof old);
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace mkx::platform
