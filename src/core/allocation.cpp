// allocation.cpp - Allocate, Resize, Deallocate and the copies built on them.
//
// Every heap and pool block is made, resized and released here. Counters are
// counted on entry: a request counts before the heap is asked, and a refusal
// does not take the count back.
//
// Thread safety: Allocate and Deallocate hold KRMM_CriticalSection only around
// the one registry call; heap calls, the stack capture and the callbacks run
// without it. Resize, DuplicateHandle and the TXString pair take no lock. One
// block must not be used from two threads at once.
#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include <KRMM/KRMM.h>

#include "core/checks.h"
#include "core/counters.h"
#include "core/layout.h"
#include "diagnostics/sanitizer_hooks.h"
#include "platform/lock.h"

namespace KRMM {
namespace {

constexpr size_t kSizeMax = std::numeric_limits<size_t>::max();

// The heap's refusal as a null result. Only std::bad_alloc (and what derives
// from it) is a refusal; any other exception is not ours to swallow.
inline void* TryHeapAllocate(size_t bytes) noexcept {
    try {
        return ::operator new(bytes);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

} // namespace

Ptr Partition::Allocate(size_t size) {
    if ((poolEnabled & 1u) != 0 && currentPool != nullptr &&
        detail::PoolHeaderOf(currentPool)->blockSize >= size) {
        if (MemoryBlock* block = RequestPoolBlock(currentPool)) {
            detail::san::SizingHandOut(block, size);
            block->memSize = size;
            detail::CounterAdd(numCalls, 1);
            detail::CounterAdd(bytesAllocated, static_cast<int64_t>(size));
            detail::CounterAdd(numBlocks, int64_t{1});
            detail::CounterAdd(numpoolHits, int64_t{1});
            block->instantiated = false;
            block->destructor = nullptr;
            return block->masterPtr;
        }
    }

    detail::CounterAdd(numCalls, 1);
    detail::CounterAdd(bytesAllocated, static_cast<int64_t>(size));
    detail::CounterAdd(numBlocks, int64_t{1});

    const size_t capacity = std::max(size, detail::kMinCapacity);
    const bool detached = size >= kInlineDataLimit;
    auto* block = static_cast<MemoryBlock*>(
        TryHeapAllocate(detached ? detail::kDetachedHeaderSize : detail::kHeaderSize + capacity));
    if (block == nullptr) {
        KRMM_Assert(false, "Allocate new failed (exception)");
        InvokeCallbacks(detail::kEventAllocationFailed, size);
        return nullptr;
    }

    block->masterPtr = detail::InlineDataOf(block);
    block->bucket = 0;
    block->next = nullptr;
    block->prev = nullptr;
    block->memSize = size;
    block->capacity = capacity;
    block->flags = 0;
    block->oversize = 0;
    block->pool = nullptr;
    block->qtResource = nullptr;
    block->resFile = detail::kNoResourceFile;
    block->stackTrace = nullptr;
    block->locked = false;
    block->userData = nullptr;
    block->blockLink = block;
    block->magic = 0;

    CollectStackTrace(block);
    block->instantiated = false;
    block->destructor = nullptr;

    if (detached) {
        // A size within 8 bytes of SIZE_MAX cannot carry its link word.
        void* storage = capacity <= kSizeMax - detail::kLinkWordSize
                            ? TryHeapAllocate(capacity + detail::kLinkWordSize)
                            : nullptr;
        if (storage == nullptr) {
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
    {
        detail::CriticalSection lock;
        HookupBlockToList(block, blockBuckets, blockCounts);
    }
    return block->masterPtr;
}

bool Partition::Resize(void* h, size_t newSize, ResizeCopyProc copy) {
    if (h == nullptr) return false;
    MemoryBlock* block = detail::BlockOf(h);
    // Two's-complement wrap turns a shrink into a subtraction.
    detail::CounterAdd(bytesAllocated, static_cast<int64_t>(newSize - block->memSize));

    const size_t capacity = block->capacity;
    if (capacity >= newSize &&
        ((block->flags & kBlockFlagDetached) == 0 ||
         capacity - newSize <= size_t{block->oversize} + detail::kShrinkTolerance)) {
        detail::san::ResizingInPlace(block, newSize);
        block->memSize = newSize;
        return true;
    }

    const size_t slack = std::max(size_t{block->oversize}, detail::kMinMoveSlack);
    void* storage = newSize <= kSizeMax - slack - detail::kLinkWordSize
                        ? TryHeapAllocate(newSize + slack + detail::kLinkWordSize)
                        : nullptr;
    if (storage == nullptr) {
        KRMM_Assert(false, "Resize new failed (exception)");
        InvokeCallbacks(detail::kEventAllocationFailed, newSize);
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
    if (block->flags & kBlockFlagDetached) ::operator delete(detail::DetachedStorageOf(block));
    block->flags = static_cast<uint16_t>(block->flags | kBlockFlagDetached);
    block->masterPtr = newData;
    block->memSize = newSize;
    block->capacity = newSize + slack;
    return true;
}

void Partition::Deallocate(void* p) {
    if (p == nullptr) return;
    MemoryBlock* block = detail::HeaderOf(p);
    detail::CounterAdd(bytesAllocated, -static_cast<int64_t>(block->memSize));
    detail::CounterAdd(numBlocks, int64_t{-1});
    if (block->pool != nullptr) {
        ReleasePoolBlock(block->pool, reinterpret_cast<Handle>(block));
        return;
    }
    KRMM_Assert(block->magic == kBlockMagic, "Deallocate invalid block magic number");
    block->magic = 0;
    {
        detail::CriticalSection lock;
        RemoveBlockFromList(block, blockBuckets, blockCounts);
    }
    if (block->flags & kBlockFlagDetached) ::operator delete(detail::DetachedStorageOf(block));
    detail::san::BlockReleasing(block);
    block->masterPtr = nullptr;
    detail::ReleaseStackRecord(block);
    ::operator delete(block);
}

Handle Partition::DuplicateHandle(const void* h) {
    if (h == nullptr) return nullptr;
    const MemoryBlock* source = detail::BlockOf(h);
    if (source->masterPtr == nullptr) return nullptr;
    const size_t size = source->memSize;
    Ptr copy = Allocate(size);
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, source->masterPtr, size);
    return GetHandle(copy);
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
