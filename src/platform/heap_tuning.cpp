#include "platform/heap_tuning.h"

#include <cstdlib>  // defines __GLIBC__ with the GNU C library

#if defined(__linux__) && defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
#define MKX_TUNE_GLIBC_HEAP 1
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#endif

namespace mkx::platform {

void TuneHeapForLargeBuffers() {
#ifdef MKX_TUNE_GLIBC_HEAP
  constexpr size_t kBlock = size_t{32} << 20;  // the largest threshold glibc accepts
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(kBlock));  // large blocks from the heap too
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(2 * kBlock));  // freed memory stays for reuse
  mallopt(M_TOP_PAD, static_cast<int>(kBlock));  // the heap grows in large steps
  // Grow the heap once now, so that the range can be marked for huge pages before
  // anything is touched in it; the block goes back to the heap right away.
  void* block = std::malloc(kBlock / 2);
  if (!block) return;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = reinterpret_cast<uintptr_t>(sbrk(0));
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  std::free(block);
#endif
}

}  // namespace mkx::platform
