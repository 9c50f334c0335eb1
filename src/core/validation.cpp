// validation.cpp - is this pointer or handle one of ours?
//
// Handles are found in one chain per registry: a registered header always
// sits in the bucket of its own address. Data pointers are looked up by exact
// equality with masterPtr in the ordinary registry only: first in the bucket
// an inline header would hash to (ptr - 136; that address is only hashed,
// never read), then in every other bucket in ascending order, always running
// to bucket 1023 and keeping the last match. Inline data (heap and pool
// blocks) is thus found with one chain walk; detached data and every miss
// cost a walk of all 1024 chains. No memory outside the partition record, its
// registered headers and the current pool's header is ever read.
//
// While pooling is on, PointerBelongsToUs and PointerIsValid (unless told to
// skip the pool) accept any address inside the current pool's storage, from
// its PoolHeader to the end of its last block, in constant time.
//
// Thread safety: no lock is taken (a full scan under the process-wide lock
// would stall every allocating thread). The walks read the chains as they
// stand, so the caller must keep other threads from allocating or releasing
// in this partition during a call. Nothing is allocated or changed.
#include <cstdint>

#include <KRMM/KRMM.h>

#include "core/layout.h"
#include "core/registry.h"

namespace KRMM {
namespace {

inline const MemoryBlock* FindOnChain(const MemoryBlock* head, const void* ptr) noexcept {
    for (const MemoryBlock* block = head; block != nullptr; block = block->next) {
        if (block->masterPtr == ptr) return block;
    }
    return nullptr;
}

} // namespace

MemoryBlock* Partition::GetVerifiedBlockForPointer(const void* ptr) const {
    // No registered block has null data.
    if (ptr == nullptr) return nullptr;
    const auto inlineGuess = reinterpret_cast<const MemoryBlock*>(
        reinterpret_cast<uintptr_t>(ptr) - detail::kHeaderSize);
    const unsigned long guessBucket = GetMemoryBlockHash(inlineGuess);
    if (const MemoryBlock* hit = FindOnChain(blockBuckets[guessBucket], ptr)) {
        return const_cast<MemoryBlock*>(hit);
    }

    const MemoryBlock* found = nullptr;
    for (size_t i = 0; i < detail::kBucketCount; ++i) {
        if (i == guessBucket) continue;
        if (const MemoryBlock* hit = FindOnChain(blockBuckets[i], ptr)) found = hit;
    }
    return const_cast<MemoryBlock*>(found);
}

Handle Partition::GetVerifiedHandle(const void* ptr) const {
    return reinterpret_cast<Handle>(GetVerifiedBlockForPointer(ptr));
}

bool Partition::PointerBelongsToUs(const void* ptr, bool skipPool) const {
    if (!skipPool && (poolEnabled & 1u) != 0 && currentPool != nullptr) {
        const PoolHeader* header = detail::PoolHeaderOf(currentPool);
        const uintptr_t begin = reinterpret_cast<uintptr_t>(header);
        const uintptr_t end = reinterpret_cast<uintptr_t>(header->firstBlock) +
                              header->blockCount * header->blockStride;
        const uintptr_t address = reinterpret_cast<uintptr_t>(ptr);
        if (begin <= address && address < end) return true;
    }
    return GetVerifiedBlockForPointer(ptr) != nullptr;
}

bool Partition::PointerIsValid(const void* ptr, bool verify, bool skipPool) const {
    if (ptr == nullptr || !verify) return true;
    return PointerBelongsToUs(ptr, skipPool);
}

bool Partition::HandleBelongsToUs(const void* handle) const {
    if (handle == nullptr) return false;
    const unsigned long bucket = GetMemoryBlockHash(static_cast<const MemoryBlock*>(handle));
    return detail::ChainHolds(blockBuckets[bucket], handle) || detail::ChainHolds(resourceBuckets[bucket], handle);
}

bool Partition::HandleIsValid(const void* handle, bool verify) const {
    if (!verify) return true;
    return HandleBelongsToUs(handle);
}

bool Partition::BlockIsResource(const MemoryBlock* block) const {
    return block != nullptr && (block->flags & kBlockFlagResource) != 0;
}

} // namespace KRMM
