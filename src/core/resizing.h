// resizing.h - the case of Resize that keeps the block's storage, inline
// (internal).
//
// Resize adds newSize - memSize to bytesAllocated on entry and then keeps
// the storage when the capacity holds newSize and either the data is not
// detached (inline, pool or resource data never moves on a shrink) or the
// surplus stays within oversize + 5000 bytes. SetHandleSize and SetPtrSize
// test this first and only call Resize (and build its copy procedure) when
// the data has to move; the result and the counts are the same.
//
// Thread safety: takes no lock beyond the moment AddBytesWithoutListLock
// needs (core/list_guard.h); one block must not be resized from two threads
// at once.
#pragma once

#include <cstdint>

#include <KRMM/KRMM.h>

#include "core/counters.h"
#include "core/layout.h"
#include "core/list_guard.h"
#include "core/sanitizer_hooks.h"

namespace KRMM::detail {

/// Whether Resize keeps `block`'s storage for `newSize` bytes.
inline bool KeepsStorage(const MemoryBlock* block, size_t newSize) noexcept {
    const size_t capacity = block->capacity;
    return capacity >= newSize &&
           ((block->flags & kBlockFlagDetached) == 0 ||
            capacity - newSize <= size_t{block->oversize} + kShrinkTolerance);
}

/// Resize of a block whose storage is kept: the count, then the new size.
inline void ResizeInPlace(Partition& partition, MemoryBlock* block, size_t newSize) noexcept {
    // Two's-complement wrap turns a shrink into a subtraction.
    AddBytesWithoutListLock(partition, static_cast<int64_t>(newSize - block->memSize));
    san::ResizingInPlace(block, newSize);
    block->memSize = newSize;
}

} // namespace KRMM::detail
