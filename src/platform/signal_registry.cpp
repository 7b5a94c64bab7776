// The registry is a fixed array of slots with fixed-size path buffers and an atomic
// state per slot: arming never allocates inside the handler's view, and a slot is
// visible to the handler only once its path is completely written.
#include "platform/signal_registry.h"

#include <atomic>
#include <cstring>

#include "platform/signal_cleanup.h"
#include "platform/system_error.h"
#include "platform/wide.h"

namespace mkx::platform {
namespace {

constexpr int kSlots = 16;
constexpr size_t kPathCapacity = 4096;

enum SlotState : int { kFree = 0, kWriting = 1, kArmed = 2 };

struct Slot {
  std::atomic<int> state{kFree};
  char path[kPathCapacity] = {};
};

constinit Slot g_slots[kSlots];  // zero-initialized: nothing runs or is touched at start-up

static_assert(std::atomic<int>::is_always_lock_free, "the handler needs lock-free slot states");

Result<int> Claim(const std::string& path) {
  if (path.empty() || path.size() >= kPathCapacity || path.find('\0') != std::string::npos) {
    return SystemError(result_code::kBadPathname, DecodePath(path),
                       u"the path is empty or too long to be cleaned up on a signal");
  }
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (g_slots[i].state.compare_exchange_strong(expected, kWriting, std::memory_order_acq_rel)) {
      std::memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
      return i;
    }
  }
  return SystemError(result_code::kNotEnoughMemory, DecodePath(path), u"every cleanup slot is taken");
}

}  // namespace

void RemoveRegisteredFiles() {
  for (Slot& slot : g_slots) {
    if (slot.state.load(std::memory_order_acquire) == kArmed) DeleteRegisteredFile(slot.path);
  }
}

Status CleanupOnSignal::Arm(const std::string& path) {
  Disarm();
  auto claimed = Claim(path);
  if (!claimed.ok()) return claimed.take_error();
  const int slot = *claimed;
  g_slots[slot].state.store(kArmed, std::memory_order_release);
  slot_ = slot;
  return Ok{};
}

void CleanupOnSignal::Disarm() {
  if (slot_ < 0) return;
  g_slots[slot_].state.store(kFree, std::memory_order_release);
  slot_ = -1;
}

}  // namespace mkx::platform
