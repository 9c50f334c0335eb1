// resources.cpp - blocks that stand for the host's resources, and the copies
// between partition handles and the host's QT handles.
//
// A resource block is a lone header whose masterPtr points at the host's
// resource data. The data is never written, copied or freed here; the header
// records the host's resource handle and file number so that the block can be
// found again, and it lives in the partition's resource registry, which the
// enumeration and the pointer lookups never walk.
//
// A block matches (resourceHandle, resFile) when it recorded a resource
// handle, that handle's current master pointer equals *resourceHandle, and
// its file number equals resFile. Comparing the master pointers rather than
// the handles lets the host pass any handle to the same resource data; it
// also means a lookup made after the host moved its data still finds the
// block, whose own masterPtr keeps the address it had at creation.
//
// Thread safety: the registry scans hold KRMM_CriticalSection for the whole
// walk; creation and release take it only for the one link or unlink, and
// count numCalls and numBlocks inside that section (core/counters.h). Heap
// calls, the stack capture and the memory callbacks run without it. No other
// thread may create or release resource blocks of a partition while
// DeleteAllHandlesWithResourceFile runs on it.
#include <atomic>
#include <cstring>
#include <limits>
#include <new>

#include <KRMM/KRMM.h>
#include <KRMM/QTMM.h>

#include "core/block_index.h"
#include "core/checks.h"
#include "core/hardening.h"
#include "core/counters.h"
#include "core/layout.h"
#include "core/list_guard.h"
#include "core/registry.h"
#include "core/release.h"

namespace KRMM {
namespace {

// The heap's refusal (std::bad_alloc) as null; other exceptions pass.
inline MemoryBlock* TryAllocateHeader() noexcept {
    try {
        return static_cast<MemoryBlock*>(::operator new(detail::kHeaderSize));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// qtResource and resFile of a linked block are written without the lock
// (after the hook-up, and by SetQTResourcePtr) while another thread may be
// scanning under it, so both sides use atomic accesses: a scan sees each field
// either before or after the store, never a torn or racing value. relaxed:
// neither field publishes other data.
inline void StoreResourceFields(MemoryBlock* block, void** resourceHandle, short resFile) noexcept {
    std::atomic_ref<void**>(block->qtResource).store(resourceHandle, std::memory_order_relaxed);
    std::atomic_ref<int16_t>(block->resFile).store(resFile, std::memory_order_relaxed);
}

// First block of the resource registry matching (resourceHandle, resFile):
// buckets in ascending order, each chain from its head (newest first).
// The caller holds KRMM_CriticalSection.
MemoryBlock* FindResourceLocked(MemoryBlock* const* buckets, void** resourceHandle, short resFile)
    KRMM_REQUIRES(detail::kCriticalSection) {
    void* const wanted = *resourceHandle;
    for (size_t i = 0; i < detail::kBucketCount; ++i) {
        for (MemoryBlock* block = buckets[i]; block != nullptr; block = block->next) {
            void** const recorded = std::atomic_ref<void**>(block->qtResource).load(std::memory_order_relaxed);
            if (recorded != nullptr && *recorded == wanted &&
                std::atomic_ref<int16_t>(block->resFile).load(std::memory_order_relaxed) == resFile)
                return block;
        }
    }
    return nullptr;
}

} // namespace

// Never inlined: its name is the first line of the stack it records.
[[gnu::noinline]] MemoryBlock* Partition::AllocateFromExistingResource(void* data, size_t size) {
    // A request and a block, counted inside the link section (or, after a
    // refusal, in a section of their own; core/counters.h). The data is the
    // host's, so bytesAllocated does not change.
    constexpr detail::CounterChange kRequest{0, 1, 1, 0};

    MemoryBlock* block = TryAllocateHeader();
    if (block == nullptr) {
        {
            detail::PartitionListGuard guard(*this);
            detail::ApplyLocked(*this, kRequest);
        }
        KRMM_Assert(false, "Allocate new failed (exception)");
        InvokeCallbacks(detail::kEventAllocationFailed, size);
        return nullptr;
    }

    detail::FormatHeader(block, static_cast<char*>(data), size, size, kBlockFlagResource, nullptr);

    CollectStackTrace(block);
    block->magic = kBlockMagic;
    detail::PartitionIndex* index = detail::ReserveForLink(*this, false);
    {
        detail::PartitionListGuard guard(*this);
        detail::LinkBlock(block, detail::BucketOf(block), resourceBuckets, resourceCounts);
        detail::IndexLinked(index, block, true);
        detail::ApplyLocked(*this, kRequest);
    }
    return block;
}

Handle Partition::GetOrCreateHandleFromQTResourceHandle(void** resourceHandle, size_t size, short resFile) {
    if (resourceHandle == nullptr) return nullptr;
    MemoryBlock* found;
    {
        detail::PartitionListGuard guard(*this);
        found = FindResourceLocked(resourceBuckets, resourceHandle, resFile);
    }
    // A block found with another size is handed back as it is: its memSize
    // stays the size it was made with (see KRMM.h).
    if (found != nullptr) return reinterpret_cast<Handle>(found);

    // Made outside the lock: two threads asking at once may each make a block,
    // and a scan between the link and the two stores below does not see it.
    MemoryBlock* block = AllocateFromExistingResource(*resourceHandle, size);
    if (block == nullptr) return nullptr;
    StoreResourceFields(block, resourceHandle, resFile);
    return reinterpret_cast<Handle>(block);
}

Handle Partition::FindBlockWithQTResourceHandle(void** resourceHandle, short resFile) const {
    if (resourceHandle == nullptr) return nullptr;
    detail::PartitionListGuard guard(*this);
    return reinterpret_cast<Handle>(FindResourceLocked(resourceBuckets, resourceHandle, resFile));
}

void** Partition::GetOriginalQTResource(const void* handle) const {
    if (handle == nullptr || !detail::CheckHandle(*this, handle, detail::HandleUse::kAny)) return nullptr;
    return detail::BlockOf(handle)->qtResource;
}

void Partition::SetQTResourcePtr(void* handle, void** resourceHandle, short resFile) {
    if (handle == nullptr || !detail::CheckHandle(*this, handle, detail::HandleUse::kAny)) return;
    StoreResourceFields(detail::BlockOf(handle), resourceHandle, resFile);
}

void Partition::DeallocateResource(void* handle) {
    if (handle == nullptr) return;
    // Hardened: a live resource block, or a handed-out pool block (which the
    // release reports and gives back to its pool).
    if (detail::kHardened && !(HandleBelongsToUs(handle) && (BlockIsResource(detail::BlockOf(handle)) ||
                                                             detail::BlockOf(handle)->pool != nullptr))) {
        KRMM_Assert(false, detail::kNotResource);
        return;
    }
    MemoryBlock* block = detail::BlockOf(handle);
    constexpr detail::CounterChange kRelease{0, -1, 0, 0};
    if (block->pool != nullptr) {
        {
            detail::PartitionListGuard guard(*this);
            detail::ApplyLocked(*this, kRelease);
        }
        KRMM_Assert(false, "Resource blocks should not be pooled");
        ReleasePoolBlock(block->pool, reinterpret_cast<Handle>(block));
        return;
    }
    KRMM_DCHECK(block->flags & kBlockFlagResource);
    const bool magicOk = block->magic == kBlockMagic;
    detail::PartitionIndex* index = detail::IndexOf(this);
    {
        detail::PartitionListGuard guard(*this);
        // Counted first, then reported, as if counted on entry.
        detail::ApplyLocked(*this, kRelease);
        KRMM_Assert(magicOk, "DeallocateResource invalid block magic number");
        block->magic = 0;
        detail::UnlinkBlock(block, resourceBuckets, resourceCounts);
        detail::IndexUnlinked(index, block);
    }
    // Storage of its own exists only after a resize moved the data; the
    // resource's data stays the host's.
    detail::FreeHeader(block);
}

void Partition::DeleteAllHandlesWithResourceFile(short resFile) {
    // Walked without the lock (each release takes it briefly); `next` is read
    // before the block can be freed.
    for (size_t i = 0; i < detail::kBucketCount; ++i) {
        MemoryBlock* block = resourceBuckets[i];
        while (block != nullptr) {
            MemoryBlock* next = block->next;
            if (block->resFile == resFile) DeallocateResource(block);
            block = next;
        }
    }
}

Handle Partition::ConvertFromQTHandleToKRMMHandle(const char* const* qtHandle) {
    if (qtHandle == nullptr) return nullptr;
    const long length = QTMM::GetHandleSize(qtHandle);
    const size_t n = length > 0 ? static_cast<size_t>(length) : 0;
    Ptr data = Allocate(n);
    if (data == nullptr) return nullptr;
    if (n != 0) std::memcpy(data, *qtHandle, n);
    return GetHandle(data);
}

char** Partition::ConvertFromKRMMHandleToQTHandle(const char* const* handle) {
    if (handle == nullptr) return nullptr;
    const size_t n = detail::BlockOf(handle)->memSize;
    // A size beyond what the QT layer can name cannot be converted.
    if (n > static_cast<size_t>(std::numeric_limits<long>::max())) return nullptr;
    char** q = QTMM::NewHandle(static_cast<long>(n));
    if (q == nullptr) return nullptr;
    if (n != 0) std::memcpy(*q, *handle, n);
    return q;
}

} // namespace KRMM
