// validation.cpp - is this pointer or handle one of ours?
//
// The lookup index (core/block_index.h) answers in constant expected time:
// a handle is one of ours when the header map has it (ordinary or resource
// block); a data pointer when the header map has a header 136 bytes before it
// whose data is inline, or the data map has it (data stored elsewhere).
// Resource blocks are never found by pointer. Nothing is read at the address
// asked about.
//
// When the index cannot answer (the partition has none, or a lookup kept
// racing with rebuilds) the chains decide, as they always could: handles in
// one chain per registry (a registered header sits in the bucket of its own
// address); data pointers by exact equality with masterPtr in the ordinary
// registry, first in the bucket an inline header would hash to, then in every
// other bucket in ascending order, always to bucket 1023, keeping the last
// match. Both ways give the same answers.
//
// While pooling is on, PointerBelongsToUs and PointerIsValid (unless told to
// skip the pool) accept any address inside the current pool's storage, from
// its PoolHeader to the end of its last block, in constant time.
//
// Thread safety: no lock is taken. Lookups racing with links and unlinks of
// other blocks answer as if before or after each of them; the chain walks of
// the fallback read the chains as they stand, so while they run the caller
// must keep other threads from allocating or releasing in this partition.
// Nothing is allocated or changed.
#include <cstdint>

#include <KRMM/KRMM.h>

#include "core/block_index.h"
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
    const detail::PointerAnswer answer = detail::FindPointer(*this, ptr);
    if (answer.known) return answer.block;
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
    const detail::HandleAnswer answer = detail::FindHandle(*this, handle);
    if (answer.known) return answer.kind != detail::EntryKind::kNone;
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
