// allocation.cpp - Allocate, Resize, Deallocate and the copies built on them;
// the hand-out and take-back of pool blocks; the notification of the memory
// callbacks when the heap refuses.
//
// Every heap and pool block is made, resized and released here. A request
// counts whatever becomes of it, and a refusal does not take the count back.
// numCalls and numBlocks are counted inside the critical section that links
// (or unlinks) the block, after the heap call rather than before it; a
// refused request takes the lock briefly just to count, before it is
// reported and before the callbacks hear of it. Nobody can tell the
// difference, and it spares separate atomic updates; bytesAllocated too is
// counted inside the section (core/counters.h).
//
// Thread safety: Allocate and Deallocate hold the partition's list lock
// (PartitionListGuard) only around the one registry call and the counts;
// heap calls, the stack capture and the callbacks run without it. Resize,
// DuplicateHandle and the TXString pair take no lock. RequestPoolBlock and
// ReleasePoolBlock take it inside the pool list operations
// (core/pool_lists.h). InvokeCallbacks reads the callback table without it.
// One block must not be used from two threads at once.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <utility>

#include <KRMM/KRMM.h>

#include "core/block_index.h"
#include "core/checks.h"
#include "core/hardening.h"
#include "core/unchecked.h"
#include "core/counters.h"
#include "core/layout.h"
#include "core/pool_lists.h"
#include "core/registry.h"
#include "core/release.h"
#include "core/resizing.h"
#include "core/list_guard.h"
#include "core/sanitizer_hooks.h"

namespace KRMM {
namespace {

using detail::kSizeMax;

// The heap's refusal as a null result. Only std::bad_alloc (and what derives
// from it) is a refusal; any other exception is not ours to swallow.
inline void* TryHeapAllocate(size_t bytes) noexcept {
    try {
        return ::operator new(bytes);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// A request and its block, as Allocate counts them on entry.
inline detail::CounterChange RequestCount(size_t size) noexcept {
    return {static_cast<int64_t>(size), 1, 1, 0};
}

// A refused heap request still counts as a request and a block: counted on
// entry, never taken back. The lock is taken only for the count.
void CountRefusedRequest(Partition& partition, size_t size) noexcept KRMM_EXCLUDES(detail::kCriticalSection) {
    detail::PartitionListGuard guard(partition);
    detail::ApplyLocked(partition, RequestCount(size));
}

// Allocate's pool path: RequestPoolBlock, then the hand-out's settings. Kept
// out of line so that the heap path stays lean. Null: the pool is exhausted.
[[gnu::noinline]] Ptr AllocateFromPool(Partition& partition, size_t size)
    KRMM_EXCLUDES(detail::kCriticalSection) {
    const detail::CounterChange hit{static_cast<int64_t>(size), 1, 1, 1};
    MemoryBlock* block;
    if (detail::TracingOn(partition)) {
        // The capture runs in RequestPoolBlock's frame, which its record
        // names; the counts then take a section of their own.
        block = partition.RequestPoolBlock(partition.currentPool);
        if (block == nullptr) return nullptr;
        detail::PartitionListGuard guard(partition);
        detail::ApplyLocked(partition, hit);
    } else {
        // RequestPoolBlock with the counts made in its critical section. A
        // block back from its pool has no record, so with tracing off its
        // capture has nothing to do.
        block = detail::TakeFromPool(partition, partition.currentPool, &hit);
        if (block == nullptr) return nullptr;
        if (block->stackTrace != nullptr) partition.CollectStackTrace(block);
    }
    detail::san::SizingHandOut(block, size);
    block->memSize = size;
    block->instantiated = false;
    block->destructor = nullptr;
    return block->masterPtr;
}

// Deallocate's pool branch: ReleasePoolBlock with the counts made in its
// first critical section. Out of line, as AllocateFromPool.
[[gnu::noinline]] void DeallocateToPool(Partition& partition, MemoryBlock* block)
    KRMM_EXCLUDES(detail::kCriticalSection) {
    const detail::CounterChange release{-static_cast<int64_t>(block->memSize), -1, 0, 0};
    detail::ReturnToPool(partition, block->pool, block, &release);
}

} // namespace

// Never inlined: its name is the first line of every stack it records.
[[gnu::noinline]] Ptr Partition::Allocate(size_t size) {
    if ((poolEnabled & 1u) != 0 && currentPool != nullptr &&
        detail::PoolHeaderOf(currentPool)->blockSize >= size) {
        if (Ptr data = AllocateFromPool(*this, size)) return data;
    }

    const size_t capacity = std::max(size, detail::kMinCapacity);
    const bool detached = size >= kInlineDataLimit;
    auto* block = static_cast<MemoryBlock*>(
        TryHeapAllocate(detached ? detail::kDetachedHeaderSize : detail::kHeaderSize + capacity));
    if (block == nullptr) {
        CountRefusedRequest(*this, size);
        KRMM_Assert(false, "Allocate new failed (exception)");
        InvokeCallbacks(detail::kEventAllocationFailed, size);
        return nullptr;
    }

    detail::FormatHeader(block, detail::InlineDataOf(block), size, capacity, 0, nullptr);

    // With tracing off the capture of a block without a record does nothing.
    if (detail::TracingOn(*this)) CollectStackTrace(block);

    if (detached) {
        // A size within 8 bytes of SIZE_MAX cannot carry its link word.
        void* storage = capacity <= kSizeMax - detail::kLinkWordSize
                            ? TryHeapAllocate(capacity + detail::kLinkWordSize)
                            : nullptr;
        if (storage == nullptr) {
            CountRefusedRequest(*this, size);
            KRMM_Assert(false, "Allocate(disconnected data) new failed (exception)");
            detail::ReleaseStackRecord(block);
            ::operator delete(block);
            InvokeCallbacks(detail::kEventAllocationFailed, size);
            return nullptr;
        }
        *static_cast<MemoryBlock**>(storage) = block;
        block->masterPtr = static_cast<char*>(storage) + detail::kLinkWordSize;
        block->flags = kBlockFlagDetached;
    }

    detail::san::BlockMade(block);
    block->magic = kBlockMagic;
    char* const data = block->masterPtr;
    const unsigned bucket = detail::BucketOf(block);
    detail::PartitionIndex* index = detail::ReserveForLink(*this, detached);
    detail::PrefetchForLink(bucket, blockBuckets, blockCounts);
    detail::PrefetchListLock(*this);
    {
        detail::PartitionListGuard guard(*this);
        detail::ApplyLocked(*this, RequestCount(size));
        detail::LinkBlock(block, bucket, blockBuckets, blockCounts);
        detail::IndexLinked(index, block, false);
    }
    return data;
}

bool Partition::Resize(void* h, size_t newSize, ResizeCopyProc copy) {
    if (h == nullptr || !detail::CheckHandle(*this, h, detail::HandleUse::kAny)) return false;
    return detail::ResizeBlock(*this, h, newSize, std::move(copy));
}

bool detail::ResizeBlock(Partition& partition, void* h, size_t newSize, ResizeCopyProc copy) {
    if (h == nullptr) return false;
    MemoryBlock* block = detail::BlockOf(h);
    if (detail::KeepsStorage(block, newSize)) {
        detail::ResizeInPlace(partition, block, newSize);
        return true;
    }
    // Counted on entry: the adjustment stays when the move fails.
    detail::AddBytesWithoutListLock(partition, static_cast<int64_t>(newSize - block->memSize));

    const size_t slack = std::max(size_t{block->oversize}, detail::kMinMoveSlack);
    void* storage = newSize <= kSizeMax - slack - detail::kLinkWordSize
                        ? TryHeapAllocate(newSize + slack + detail::kLinkWordSize)
                        : nullptr;
    if (storage == nullptr) {
        Partition::KRMM_Assert(false, "Resize new failed (exception)");
        partition.InvokeCallbacks(detail::kEventAllocationFailed, newSize);
        return false;
    }
    *static_cast<MemoryBlock**>(storage) = block;
    char* newData = static_cast<char*>(storage) + detail::kLinkWordSize;
    if (copy) {
        try {
            copy(block->masterPtr, block->memSize, newData, newSize);
        } catch (...) {
            // The block keeps its old data; the new storage is not leaked.
            ::operator delete(storage);
            throw;
        }
    } else {
        std::memcpy(newData, block->masterPtr, std::min(block->memSize, newSize));
    }
    detail::san::MovingData(block, newData, newSize, slack);
    char* const oldData = block->masterPtr;
    if (block->flags & kBlockFlagDetached) ::operator delete(detail::DetachedStorageOf(block));
    block->flags = static_cast<uint16_t>(block->flags | kBlockFlagDetached);
    block->masterPtr = newData;
    block->memSize = newSize;
    block->capacity = newSize + slack;
    detail::IndexDataMoved(partition, block, oldData);
    return true;
}

void Partition::Deallocate(void* p) {
    detail::PartitionIndex* index;
    if (p == nullptr || detail::CheckPointer(*this, p, &index) == nullptr) return;
    detail::ReleaseBlock(*this, p, index);
}

void detail::ReleaseBlock(Partition& partition, void* p, PartitionIndex* checkedIndex) {
    if (p == nullptr) return;
    MemoryBlock* block = detail::HeaderOf(p);
    if (block->pool != nullptr) {
        DeallocateToPool(partition, block);
        return;
    }
    const detail::CounterChange release{-static_cast<int64_t>(block->memSize), -1, 0, 0};
    // Read before the lock (nobody else writes it), so that a miss on the
    // header's line is not taken while holding it.
    const bool magicOk = block->magic == kBlockMagic;
    detail::PartitionIndex* index = checkedIndex != nullptr ? checkedIndex : detail::IndexOf(&partition);
    detail::PrefetchForUnlink(block, partition.blockBuckets, partition.blockCounts);
    detail::PrefetchListLock(partition);
    {
        detail::PartitionListGuard guard(partition);
        // Counted first, then reported, as if counted on entry.
        detail::ApplyLocked(partition, release);
        Partition::KRMM_Assert(magicOk, "Deallocate invalid block magic number");
        block->magic = 0;
        detail::UnlinkBlock(block, partition.blockBuckets, partition.blockCounts);
        detail::IndexUnlinked(index, block);
    }
    detail::FreeHeader(block);
}

Handle Partition::DuplicateHandle(const void* h) {
    if (h == nullptr || !detail::CheckHandle(*this, h, detail::HandleUse::kAny)) return nullptr;
    return detail::DuplicateBlock(*this, h);
}

Handle detail::DuplicateBlock(Partition& partition, const void* h) {
    if (h == nullptr) return nullptr;
    const MemoryBlock* source = detail::BlockOf(h);
    if (source->masterPtr == nullptr) return nullptr;
    const size_t size = source->memSize;
    Ptr copy = partition.Allocate(size);
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, source->masterPtr, size);
    return partition.GetHandle(copy);
}

// Never inlined: its name is the first line of the stack it records.
[[gnu::noinline]] MemoryBlock* Partition::RequestPoolBlock(Handle pool) {
    if (!detail::PoolArgumentsOk(*this, pool, nullptr)) return nullptr;
    MemoryBlock* block = detail::TakeFromPool(*this, pool, nullptr);
    // The capture takes the lock itself.
    if (block != nullptr) CollectStackTrace(block);
    return block;
}

void Partition::ReleasePoolBlock(Handle pool, Handle block) {
    if (!detail::PoolArgumentsOk(*this, pool, block)) return;
    detail::ReturnToPool(*this, pool, detail::BlockOf(block), nullptr);
}

namespace {
struct Registration {
    MemoryCallbackProc proc;
    void* userData;
};
} // namespace

// The table is read without a lock (Resize notifies, and may run on a thread
// that holds KRMM_CriticalSection) but as a consistent copy: registrations
// make the stripe's sequence word odd while they change a slot
// (services/callbacks.cpp), and a copy taken while it was odd, or across a
// change of it, is taken again. A thread holding KRMM_CriticalSection holds
// every stripe, so no change is in progress for it and its first copy holds.
void Partition::InvokeCallbacks(int event, size_t size) {
    // A snapshot: 128 pairs (2 KiB) on the stack, no heap, which matters
    // because we are usually here because the heap said no.
    Registration live[detail::kCallbackSlots];
    size_t liveCount = 0;
    const std::atomic_ref<uint32_t> sequence = detail::CallbackSequenceOf(*this);
    for (;;) {
        // acquire: the slot loads below see at least the changes completed
        // before the word we read.
        const uint32_t before = sequence.load(std::memory_order_acquire);
        if ((before & 1u) != 0) {
            detail::CpuRelax();  // a change is being written right now
            continue;
        }
        liveCount = 0;
        for (size_t i = 0; i < detail::kCallbackSlots; ++i) {
            // acquire: a load that sees a change's (release) store makes that
            // change's odd word visible to the reload below.
            if (std::atomic_ref<int32_t>(callbackRefCounts[i]).load(std::memory_order_acquire) <= 0) continue;
            const MemoryCallbackProc proc =
                std::atomic_ref<MemoryCallbackProc>(callbackProcs[i]).load(std::memory_order_acquire);
            if (proc != nullptr)
                live[liveCount++] = Registration{
                    proc, std::atomic_ref<void*>(callbackUserData[i]).load(std::memory_order_acquire)};
        }
        // relaxed: ordered after the slot loads by their acquire.
        if (sequence.load(std::memory_order_relaxed) == before) break;
    }
    // Once per function whatever its count, in slot order. An exception from a
    // callback ends the walk and passes to our caller.
    for (size_t k = 0; k < liveCount; ++k) live[k].proc(event, size, live[k].userData);
}

void* Partition::TXStringAllocate(size_t size) {
    void* p = TryHeapAllocate(size);
    if (p == nullptr) KRMM_Assert(false, "Allocate new failed (exception)");
    return p;
}

void Partition::TXStringDeallocate(void* p) {
    if (p != nullptr) ::operator delete(p);
}

} // namespace KRMM
