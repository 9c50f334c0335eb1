// pages.cpp - anonymous memory straight from the kernel, for the lookup
// index's tables (a table that has been replaced is discarded but stays
// mapped, so a reader still inside it reads zeros instead of faulting).
//
// Thread safety: any thread.
#include <sys/mman.h>

#include <cstddef>

#include "platform/prim.h"

namespace KRMM::prim {

void* MapZeroedPages(size_t bytes) noexcept {
    void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
}

void DiscardPages(void* pages, size_t bytes) noexcept {
    // Private anonymous memory reads as zeros after MADV_DONTNEED.
    madvise(pages, bytes, MADV_DONTNEED);
}

void UnmapPages(void* pages, size_t bytes) noexcept {
    munmap(pages, bytes);
}

} // namespace KRMM::prim
