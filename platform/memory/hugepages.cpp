#include <sys/mman.h>

#include <cstdint>

#include "pelplat/memapi.h"

void AdviseHugePages(void* address, size_t size) {
  constexpr uintptr_t kHugePage = uintptr_t(2) << 20;
  if (!address || size < kHugePage) return;
  const uintptr_t at = reinterpret_cast<uintptr_t>(address);
  const uintptr_t begin = (at + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (at + size) & ~(kHugePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}
