// enumeration.cpp - counting and listing the live ordinary blocks, and the
// difference of two block lists.
//
// Only the ordinary registry is walked: heap blocks and handed-out pool
// blocks, bucket 0 to 1023, each chain from its head (newest first). Resource
// blocks are never listed. A block list ends at its first null entry, in the
// array and the vector forms alike; vectors are overwritten from the front
// and extended, never shortened, so callers use the returned count.
//
// Thread safety: no lock is taken. The walks read the chains as they stand;
// the caller keeps other threads from linking or unlinking blocks of the
// partition meanwhile. Nothing is allocated except by the caller's vectors
// (whose std::bad_alloc passes out).
#include <vector>

#include <KRMM/KRMM.h>

#include "core/hardening.h"
#include "core/layout.h"

namespace KRMM {
namespace {

// Stores `value` as entry `k`: overwrites an existing entry, else appends.
inline void StoreAt(std::vector<const void*>& list, size_t k, const void* value) {
    if (k < list.size())
        list[k] = value;
    else
        list.push_back(value);
}

// Whether `block` is among the first `count` entries before the first null.
inline bool ListContains(const void* const* blocks, size_t count, const void* block) noexcept {
    for (size_t i = 0; i < count; ++i) {
        if (blocks[i] == nullptr) return false;
        if (blocks[i] == block) return true;
    }
    return false;
}

} // namespace

size_t Partition::GetBlockCount() const {
    size_t count = 0;
    for (size_t i = 0; i < detail::kBucketCount; ++i)
        for (const MemoryBlock* block = blockBuckets[i]; block != nullptr; block = block->next) ++count;
    return count;
}

size_t Partition::GetAllBlocks(const void** blocks, size_t maxBlocks) const {
    if (maxBlocks == 0) return 0;
    size_t stored = 0;
    for (size_t i = 0; i < detail::kBucketCount && stored < maxBlocks; ++i) {
        for (const MemoryBlock* block = blockBuckets[i]; block != nullptr && stored < maxBlocks;
             block = block->next)
            blocks[stored++] = block;
    }
    for (size_t k = stored; k < maxBlocks; ++k) blocks[k] = nullptr;
    return stored;
}

size_t Partition::GetAllBlocks(std::vector<const void*>& blocks) const {
    size_t stored = 0;
    for (size_t i = 0; i < detail::kBucketCount; ++i)
        for (const MemoryBlock* block = blockBuckets[i]; block != nullptr; block = block->next)
            StoreAt(blocks, stored++, block);
    return stored;
}

size_t Partition::GetBlockSize(const void* handle) const {
    if (handle == nullptr || !detail::CheckHandle(*this, handle, detail::HandleUse::kAny)) return 0;
    return detail::BlockOf(handle)->memSize;
}

bool Partition::BlockArrayContainsBlock(const void* const* blocks, size_t count, const void* block) const {
    return ListContains(blocks, count, block);
}

bool Partition::BlockArrayContainsBlock(const std::vector<const void*>& blocks, const void* block) const {
    return ListContains(blocks.data(), blocks.size(), block);
}

size_t Partition::SubtractBlockArrays(const void* const* first, size_t firstCount,
                                      const void* const* second, size_t secondCount,
                                      const void** result, size_t maxResult) {
    // An empty second list finds nothing, so every entry up to the first null
    // is copied, as far as `result` has room.
    size_t stored = 0;
    for (size_t i = 0; i < firstCount && stored < maxResult; ++i) {
        const void* entry = first[i];
        if (entry == nullptr) break;
        if (!ListContains(second, secondCount, entry)) result[stored++] = entry;
    }
    return stored;
}

size_t Partition::SubtractBlockArrays(const std::vector<const void*>& first,
                                      const std::vector<const void*>& second,
                                      std::vector<const void*>& result) {
    size_t stored = 0;
    for (const void* entry : first) {
        if (entry == nullptr) break;
        if (!ListContains(second.data(), second.size(), entry)) StoreAt(result, stored++, entry);
    }
    return stored;
}

} // namespace KRMM
