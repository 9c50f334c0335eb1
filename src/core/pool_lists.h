// pool_lists.h - a pool's free and used lists: hand-out and take-back, with
// the partition's counting folded into their critical sections (internal,
// inline).
//
// The lists belong to the core because Allocate and Deallocate serve pool
// blocks themselves; the pool operations of pools/pool.cpp (create, destroy,
// choose the current pool) are built on them. RequestPoolBlock and
// ReleasePoolBlock are these two with no counting, plus (for the hand-out)
// the stack capture. Allocate and Deallocate, and the pooled branch of
// DeallocateResource, pass the counter change they must make, so that it
// costs no lock round trip of its own (core/counters.h). Inline so that the
// allocation paths carry no call and no indirection.
//
// Block i and slot i find each other by arithmetic: block i lies at
// firstBlock + i * blockStride, and i = (block - firstBlock) / blockStride.
//
// Thread safety: TakeFromPool and ReturnToPool take KRMM_CriticalSection
// themselves (the caller must not hold it); they never hold it across a heap
// call. BlockAt and SlotOf only compute addresses.
#pragma once

#include <cstdint>
#include <optional>

#include <KRMM/KRMM.h>

#include "core/block_index.h"
#include "core/counters.h"
#include "core/layout.h"
#include "core/registry.h"
#include "core/sanitizer_hooks.h"
#include "platform/lock.h"

namespace KRMM::detail {

inline MemoryBlock* BlockAt(const PoolHeader* header, size_t index) noexcept {
    return reinterpret_cast<MemoryBlock*>(reinterpret_cast<char*>(header->firstBlock) +
                                          index * header->blockStride);
}

inline PoolSlot* SlotOf(const PoolHeader* header, const MemoryBlock* block) noexcept {
    const uintptr_t distance =
        reinterpret_cast<uintptr_t>(block) - reinterpret_cast<uintptr_t>(header->firstBlock);
    return header->slots + distance / header->blockStride;
}

/// Moves the head of `pool`'s free list to its used list and links its block
/// into the ordinary registry, applying `change` (when not null), all in one
/// critical section. Captures no stack. \returns the block, or null (nothing
/// counted) when the pool has no free block.
[[gnu::always_inline]] inline MemoryBlock* TakeFromPool(Partition& partition, Handle pool,
                                                        const CounterChange* change) noexcept
    KRMM_EXCLUDES(kCriticalSection) {
    PoolHeader* header = PoolHeaderOf(pool);
    MemoryBlock* block;
    // A block back in its pool has its inline data again.
    PartitionIndex* index = ReserveForLink(partition, false);
    {
        CriticalSection lock;
        if (header->freeCount == 0) return nullptr;
        // The counter update first: its atomic add then overlaps the list work.
        if (change != nullptr) ApplyLocked(partition, *change);
        PoolSlot* slot = header->freeList;
        header->freeList = slot->nextSlot;
        if (header->freeList != nullptr) header->freeList->prevSlot = nullptr;

        slot->prevSlot = nullptr;
        slot->nextSlot = header->usedList;
        if (header->usedList != nullptr) header->usedList->prevSlot = slot;
        header->usedList = slot;
        slot->inUse = 1;
        header->freeCount -= 1;

        block = BlockAt(header, slot->index);
        Partition::KRMM_Assert(block->magic == kPoolBlockMagic, "RequestPoolBlock invalid block magic number");
        LinkBlock(block, BucketOf(block), partition.blockBuckets, partition.blockCounts);
        IndexLinked(index, block, false);
    }
    san::PoolBlockHandedOut(header, block);
    return block;
}

/// Takes `block` back into `pool` as ReleasePoolBlock does, applying `change`
/// (when not null) first: also when the block turns out not to be in use, in
/// which case that is reported and nothing else changes. A block without
/// detached storage or a stack record goes back in one critical section;
/// otherwise its storage and record are freed between two. The sections are
/// opened and closed on conditions (through std::optional), which the
/// thread-safety analysis cannot follow: its body is not analysed.
[[gnu::always_inline]] inline void ReturnToPool(Partition& partition, Handle pool, MemoryBlock* block,
                                                const CounterChange* change)
    KRMM_EXCLUDES(kCriticalSection) KRMM_NO_THREAD_SAFETY_ANALYSIS {
    PoolHeader* header = PoolHeaderOf(pool);
    PoolSlot* slot = SlotOf(header, block);
    // Only this release changes them: read before the lock is taken.
    const bool magicOk = block->magic == kPoolBlockMagic;
    const bool inUse = slot->inUse != 0;
    PartitionIndex* index = IndexOf(&partition);
    // The reports follow the counting, as they would after a separate count.
    std::optional<CriticalSection> lock;
    if (change != nullptr) {
        lock.emplace();
        ApplyLocked(partition, *change);
    }
    Partition::KRMM_Assert(magicOk, "ReleasePoolBlock invalid block magic number");
    if (!inUse) {
        Partition::KRMM_Assert(false, "ReleasePoolBlock called on block that wasn't in use.");
        return;
    }
    if (!lock) lock.emplace();
    UnlinkBlock(block, partition.blockBuckets, partition.blockCounts);
    IndexUnlinked(index, block);
    // Unregistered and in use: nobody else reaches the block, the lock or not.
    san::PoolBlockReturning(header, block);

    // Once unregistered and not yet free, no other operation reaches the
    // block. Freeing its storage or stack record must wait until the lock is
    // released; with neither to free it goes straight back to the free list.
    // memSize of inline data, oversize, locked, instantiated and destructor
    // stay as the last user left them.
    const bool detached = (block->flags & kBlockFlagDetached) != 0;
    if (detached || block->stackTrace != nullptr) {
        lock.reset();
        ReleaseOwnedStorage(block);
        if (detached) {
            block->masterPtr = InlineDataOf(block);
            block->flags = static_cast<uint16_t>(block->flags & ~kBlockFlagDetached);
            block->memSize = header->blockSize;
            block->capacity = header->blockSize;
        }
    }
    if (block->qtResource != nullptr) {
        block->qtResource = nullptr;
        block->resFile = kNoResourceFile;
    }
    block->userData = nullptr;

    if (!lock) lock.emplace();
    if (slot->nextSlot != nullptr) slot->nextSlot->prevSlot = slot->prevSlot;
    if (slot->prevSlot != nullptr) slot->prevSlot->nextSlot = slot->nextSlot;
    if (header->usedList == slot) header->usedList = slot->nextSlot;
    slot->prevSlot = nullptr;
    slot->nextSlot = header->freeList;
    if (header->freeList != nullptr) header->freeList->prevSlot = slot;
    header->freeList = slot;
    slot->inUse = 0;
    header->freeCount += 1;
}

} // namespace KRMM::detail
