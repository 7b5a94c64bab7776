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
  // Address space set aside for huge pages: more than a run on a database of
  // 200,000 strings spans. Only what is touched becomes memory.
  constexpr size_t kReserve = (size_t{64} << 20) - kHugePage;
  constexpr int kDefaultMmapMax = 65536;  // glibc's own default
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(kBlock));  // large blocks from the heap too
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(2 * kBlock));  // freed memory stays for reuse
  // Grow the heap once now by one block that ends the heap (no padding after it), so
  // that the range can be marked for huge pages before anything is touched in it.
  // A huge page is used only where no small page was mapped first, so the range
  // leaves out both ends: the part below the first huge-page boundary, and the last
  // partial huge page, where the heap's bookkeeping was just written. The block is
  // larger than any one buffer may be, so mapping is turned off while it is made.
  mallopt(M_TOP_PAD, 0);
  mallopt(M_MMAP_MAX, 0);
  const size_t size = kReserve;
  void* block = std::malloc(size);
  mallopt(M_MMAP_MAX, kDefaultMmapMax);
  mallopt(M_TOP_PAD, static_cast<int>(kBlock));  // later growth in large steps
  if (!block) return;
  const uintptr_t start = reinterpret_cast<uintptr_t>(block);
  const uintptr_t begin = (start + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (start + size) & ~(kHugePage - 1);
  std::free(block);
  if (end <= begin) return;
  (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  // Keep the heap below the boundary reserved for good, untouched (it costs address
  // space, not memory): buffers then come from the huge-page range, instead of their
  // first megabytes faulting in page by page.
  constexpr size_t kChunkOverhead = 64;
  if (begin - start > kChunkOverhead) {
    void* reserved = std::malloc(begin - start - kChunkOverhead);
    (void)reserved;  // never freed
  }
#endif
}

}  // namespace mkx::platform
