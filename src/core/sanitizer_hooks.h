// sanitizer_hooks.h - make block slack and free pool blocks visible to
// AddressSanitizer and valgrind's memcheck (internal).
//
// A block's data is [masterPtr, masterPtr + memSize); the bytes from memSize
// up to capacity are reserved but not the caller's, and a free pool block's
// data is nobody's. Without help neither tool sees a write there: the bytes
// lie inside a live heap allocation. These hooks describe the library's own
// view to the tools:
//
//  - AddressSanitizer (the library compiled with -fsanitize=address): the
//    slack of every block whose storage the library owns is poisoned, and so
//    is all data of a free pool block and the idle inline area of a block
//    whose data a resize moved out. A hand-out, an in-place resize and a move
//    unpoison exactly what becomes the caller's. Resource data is the host's
//    and never touched. Shadow granules are 8 bytes: bytes that share a
//    granule with a following header stay accessible.
//  - memcheck (the library built with KRMM_VALGRIND, valgrind/memcheck.h
//    present): each pool is a mempool (anchored at its PoolHeader) whose
//    chunks are the handed-out blocks; inline heap data is a malloc-like
//    block of memSize bytes inside the header's allocation; slack is no-access.
//    Leak reports then name the allocating call of the block, not the pool.
//
// Every hook is an inline function that compiles to nothing when neither tool
// is built in, so the core files call them unconditionally, one line each.
// Each hook is called at one point of a block's life, stated below, and reads
// only the header (never the data).
//
// Thread safety: a hook touches only the shadow of its own block's bytes; it
// runs where its caller runs, with or without KRMM_CriticalSection, and never
// allocates.
#pragma once

#include <cstddef>
#include <cstdint>

#include <KRMM/KRMM.h>

#include "core/layout.h"

#if defined(__SANITIZE_ADDRESS__)
#define KRMM_ASAN_HOOKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KRMM_ASAN_HOOKS 1
#endif
#endif

#if defined(KRMM_VALGRIND_ANNOTATIONS) && defined(__has_include)
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define KRMM_VALGRIND_HOOKS 1
#endif
#endif

#if defined(KRMM_ASAN_HOOKS)
#include <sanitizer/asan_interface.h>
#endif

namespace KRMM::detail::san {

#if defined(KRMM_ASAN_HOOKS) || defined(KRMM_VALGRIND_HOOKS)

// Whether the data at masterPtr is storage the library manages: inline heap
// data, pool data or detached storage. Resource data (not yet moved) is not.
inline bool OwnsData(const MemoryBlock* block) noexcept {
    return (block->flags & kBlockFlagDetached) != 0 || (block->flags & kBlockFlagResource) == 0;
}

inline bool IsInlineHeap(const MemoryBlock* block) noexcept {
    return (block->flags & (kBlockFlagDetached | kBlockFlagPooled | kBlockFlagResource)) == 0;
}

inline bool IsInlinePool(const MemoryBlock* block) noexcept {
    return (block->flags & (kBlockFlagDetached | kBlockFlagPooled)) == kBlockFlagPooled &&
           block->pool != nullptr;
}

inline void NoAccess(const char* begin, size_t bytes) noexcept {
    if (bytes == 0) return;
#if defined(KRMM_ASAN_HOOKS)
    ASAN_POISON_MEMORY_REGION(begin, bytes);
#endif
#if defined(KRMM_VALGRIND_HOOKS)
    VALGRIND_MAKE_MEM_NOACCESS(begin, bytes);
#endif
}

inline void Usable(const char* begin, size_t bytes) noexcept {
    if (bytes == 0) return;
#if defined(KRMM_ASAN_HOOKS)
    ASAN_UNPOISON_MEMORY_REGION(begin, bytes);
#endif
#if defined(KRMM_VALGRIND_HOOKS)
    VALGRIND_MAKE_MEM_UNDEFINED(begin, bytes);
#endif
}

/// Allocate, heap path: the header is filled and the data placed; the slack
/// of a small request (capacity 8) is no-access.
inline void BlockMade(const MemoryBlock* block) noexcept {
#if defined(KRMM_VALGRIND_HOOKS)
    if (IsInlineHeap(block)) VALGRIND_MALLOCLIKE_BLOCK(block->masterPtr, block->memSize, 0, 0);
#endif
    NoAccess(block->masterPtr + block->memSize, block->capacity - block->memSize);
}

// memSize becomes `newSize` without the data moving. `contentsKept`: bytes
// that come back into use hold what they held before (an in-place resize
// keeps the data, and callers rely on it), so memcheck treats them as
// defined; a hand-out's bytes are garbage to the new owner.
inline void SizeInPlace(const MemoryBlock* block, size_t newSize, bool contentsKept) noexcept {
    if (!OwnsData(block)) return;
    const size_t oldSize = block->memSize;
#if defined(KRMM_VALGRIND_HOOKS)
    if (IsInlineHeap(block)) VALGRIND_RESIZEINPLACE_BLOCK(block->masterPtr, oldSize, newSize, 0);
    if (IsInlinePool(block)) {
        VALGRIND_MEMPOOL_CHANGE(PoolHeaderOf(block->pool), block->masterPtr, block->masterPtr,
                                newSize);
    }
#endif
    if (newSize > oldSize) {
        Usable(block->masterPtr + oldSize, newSize - oldSize);
#if defined(KRMM_VALGRIND_HOOKS)
        if (contentsKept) VALGRIND_MAKE_MEM_DEFINED(block->masterPtr + oldSize, newSize - oldSize);
#endif
    }
    if (newSize < oldSize) NoAccess(block->masterPtr + newSize, oldSize - newSize);
    static_cast<void>(contentsKept);
}

/// Resize, before memSize becomes `newSize` in place.
inline void ResizingInPlace(const MemoryBlock* block, size_t newSize) noexcept {
    SizeInPlace(block, newSize, true);
}

/// Allocate, before it gives the pool block it was handed memSize `size`.
inline void SizingHandOut(const MemoryBlock* block, size_t size) noexcept {
    SizeInPlace(block, size, false);
}

/// Resize is about to move the data to `newData` (newSize bytes, then `slack`
/// spare ones); the block still describes the old data. Inline data (heap or
/// pool) falls idle; detached storage is about to be freed.
inline void MovingData(const MemoryBlock* block, const char* newData, size_t newSize,
                       size_t slack) noexcept {
    NoAccess(newData + newSize, slack);
#if defined(KRMM_VALGRIND_HOOKS)
    if (IsInlineHeap(block)) VALGRIND_FREELIKE_BLOCK(block->masterPtr, 0);
    if (IsInlinePool(block)) VALGRIND_MEMPOOL_FREE(PoolHeaderOf(block->pool), block->masterPtr);
#endif
    if (IsInlineHeap(block) || IsInlinePool(block)) NoAccess(block->masterPtr, block->capacity);
}

/// Deallocate and the partition's destructor, just before a heap block's
/// header goes back to the heap. A block holding a pool's storage ends the pool.
inline void BlockReleasing(const MemoryBlock* block) noexcept {
#if defined(KRMM_VALGRIND_HOOKS)
    if (VALGRIND_MEMPOOL_EXISTS(block->masterPtr)) VALGRIND_DESTROY_MEMPOOL(block->masterPtr);
    if (IsInlineHeap(block)) VALGRIND_FREELIKE_BLOCK(block->masterPtr, 0);
#else
    static_cast<void>(block);
#endif
}

/// CreatePool, after formatting: every block is free.
inline void PoolFormatted(const PoolHeader* header) noexcept {
#if defined(KRMM_VALGRIND_HOOKS)
    VALGRIND_CREATE_MEMPOOL(header, 0, 0);
#endif
    const char* block = reinterpret_cast<const char*>(header->firstBlock);
    for (size_t i = 0; i < header->blockCount; ++i, block += header->blockStride)
        NoAccess(block + kHeaderSize, header->blockSize);
}

/// RequestPoolBlock, after the block is taken off the free list.
inline void PoolBlockHandedOut(const PoolHeader* header, const MemoryBlock* block) noexcept {
#if defined(KRMM_VALGRIND_HOOKS)
    VALGRIND_MEMPOOL_ALLOC(header, block->masterPtr, block->memSize);
#else
    static_cast<void>(header);
#endif
    Usable(block->masterPtr, block->memSize);
}

/// ReleasePoolBlock, before the header is reset: the inline data goes back
/// to the pool (a block moved out already gave it back in MovingData).
inline void PoolBlockReturning(const PoolHeader* header, const MemoryBlock* block) noexcept {
    if (!IsInlinePool(block)) return;
#if defined(KRMM_VALGRIND_HOOKS)
    VALGRIND_MEMPOOL_FREE(header, block->masterPtr);
#else
    static_cast<void>(header);
#endif
    NoAccess(block->masterPtr, block->capacity);
}

#else

inline void BlockMade(const MemoryBlock*) noexcept {}
inline void ResizingInPlace(const MemoryBlock*, size_t) noexcept {}
inline void SizingHandOut(const MemoryBlock*, size_t) noexcept {}
inline void MovingData(const MemoryBlock*, const char*, size_t, size_t) noexcept {}
inline void BlockReleasing(const MemoryBlock*) noexcept {}
inline void PoolFormatted(const PoolHeader*) noexcept {}
inline void PoolBlockHandedOut(const PoolHeader*, const MemoryBlock*) noexcept {}
inline void PoolBlockReturning(const PoolHeader*, const MemoryBlock*) noexcept {}

#endif

} // namespace KRMM::detail::san
