// pages.cpp - anonymous memory straight from the kernel, for the lookup
// index's tables (a table that has been replaced is discarded but stays
// mapped, so a reader still inside it reads zeros instead of faulting).
//
// Thread safety: any thread.
#include <sys/mman.h>

#include <cstddef>

#include "platform/prim.h"

namespace KRMM::prim {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

} // namespace

void* MapZeroedPages(size_t bytes) noexcept {
    void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) return nullptr;
    // Tables of several megabytes are probed at random: huge pages spare
    // each probe its TLB miss. Only a hint; the kernel may decline.
    if (bytes >= 2 * kHugePage) madvise(pages, bytes, MADV_HUGEPAGE);
    return pages;
}

void DiscardPages(void* pages, size_t bytes) noexcept {
    // Private anonymous memory reads as zeros after MADV_DONTNEED.
    madvise(pages, bytes, MADV_DONTNEED);
}

void UnmapPages(void* pages, size_t bytes) noexcept {
    munmap(pages, bytes);
}

} // namespace KRMM::prim
