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
// Thread safety: TakeFromPool and ReturnToPool take the partition's list
// lock (PartitionListGuard) themselves (the caller must not hold it, nor
// KRMM_CriticalSection); they never hold it across a heap call. BlockAt and
// SlotOf only compute addresses; FreeCountOf and SlotInUse read without a lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include <KRMM/KRMM.h>

#include "core/block_index.h"
#include "core/counters.h"
#include "core/layout.h"
#include "core/registry.h"
#include "core/list_guard.h"
#include "core/sanitizer_hooks.h"

namespace KRMM::detail {

// freeCount and a slot's inUse are written under the partition's list lock
// and read without it (the statistics report, IsHandleInUse, a release's
// check before it takes the lock), so both sides use relaxed atomics: a
// reader sees the value before or after a change, never a torn or racing
// one. relaxed: neither publishes other data; the lists are read under the
// lock only.
inline size_t FreeCountOf(const PoolHeader* header) noexcept {
    return std::atomic_ref<size_t>(const_cast<size_t&>(header->freeCount)).load(std::memory_order_relaxed);
}

inline void SetFreeCount(PoolHeader* header, size_t count) noexcept {
    std::atomic_ref<size_t>(header->freeCount).store(count, std::memory_order_relaxed);
}

inline bool SlotInUse(const PoolSlot* slot) noexcept {
    return std::atomic_ref<uint8_t>(const_cast<uint8_t&>(slot->inUse)).load(std::memory_order_relaxed) != 0;
}

inline void SetSlotInUse(PoolSlot* slot, bool inUse) noexcept {
    std::atomic_ref<uint8_t>(slot->inUse).store(inUse ? 1 : 0, std::memory_order_relaxed);
}

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
        PartitionListGuard guard(partition);
        const size_t freeCount = FreeCountOf(header);
        if (freeCount == 0) return nullptr;
        if (change != nullptr) ApplyLocked(partition, *change);
        PoolSlot* slot = header->freeList;
        header->freeList = slot->nextSlot;
        if (header->freeList != nullptr) header->freeList->prevSlot = nullptr;

        slot->prevSlot = nullptr;
        slot->nextSlot = header->usedList;
        if (header->usedList != nullptr) header->usedList->prevSlot = slot;
        header->usedList = slot;
        SetSlotInUse(slot, true);
        SetFreeCount(header, freeCount - 1);

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
    const bool inUse = SlotInUse(slot);
    PartitionIndex* index = IndexOf(&partition);
    // The reports follow the counting, as they would after a separate count.
    std::optional<PartitionListGuard> lock;
    if (change != nullptr) {
        lock.emplace(partition);
        ApplyLocked(partition, *change);
    }
    Partition::KRMM_Assert(magicOk, "ReleasePoolBlock invalid block magic number");
    if (!inUse) {
        Partition::KRMM_Assert(false, "ReleasePoolBlock called on block that wasn't in use.");
        return;
    }
    if (!lock) lock.emplace(partition);
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

    if (!lock) lock.emplace(partition);
    if (slot->nextSlot != nullptr) slot->nextSlot->prevSlot = slot->prevSlot;
    if (slot->prevSlot != nullptr) slot->prevSlot->nextSlot = slot->nextSlot;
    if (header->usedList == slot) header->usedList = slot->nextSlot;
    slot->prevSlot = nullptr;
    slot->nextSlot = header->freeList;
    if (header->freeList != nullptr) header->freeList->prevSlot = slot;
    header->freeList = slot;
    SetSlotInUse(slot, false);
    SetFreeCount(header, FreeCountOf(header) + 1);
}

} // namespace KRMM::detail
