// records.cpp - the registry primitives: the bucket hash and the two chain
// operations, and the unchecked pointer-to-handle mapping.
//
// Thread safety: GetMemoryBlockHash and GetHandle are pure. The chain
// operations are called with KRMM_CriticalSection held (the destructor of a
// partition, which no other thread may use, is the one exception).
#include <KRMM/KRMM.h>

#include "core/checks.h"
#include "core/layout.h"

namespace KRMM {

unsigned long Partition::GetMemoryBlockHash(const MemoryBlock* block) {
    // The standard library's 64-bit hash of an 8-byte key (the pointer's two
    // 32-bit halves through the 16-byte finaliser), reduced to 1024 buckets.
    // The low half is shifted in 32 bits, so its top three bits do not count.
    constexpr uint64_t kMul = 0x9DDFEA08EB382D69ull;
    const uint64_t p = reinterpret_cast<uintptr_t>(block);
    const uint64_t lo = p & 0xFFFFFFFFull;
    const uint64_t hi = p >> 32;
    const uint64_t u = 8 + static_cast<uint64_t>(static_cast<uint32_t>(lo << 3));
    uint64_t a = (u ^ hi) * kMul;
    a ^= a >> 47;
    uint64_t b = (hi ^ a) * kMul;
    b ^= b >> 47;
    b *= kMul;
    return static_cast<unsigned long>(b & detail::kBucketMask);
}

void Partition::HookupBlockToList(MemoryBlock* block, MemoryBlock** buckets, unsigned long* counts) {
    const unsigned long i = GetMemoryBlockHash(block);
    block->bucket = static_cast<uint16_t>(i);
    block->prev = nullptr;
    block->next = buckets[i];
    if (buckets[i] != nullptr) buckets[i]->prev = block;
    counts[i] += 1;
    buckets[i] = block;
}

void Partition::RemoveBlockFromList(MemoryBlock* block, MemoryBlock** buckets, unsigned long* counts) {
    const unsigned long i = block->bucket;
    KRMM_DCHECK(counts[i] > 0);
    KRMM_DCHECK(block->prev != nullptr || buckets[i] == block);
    if (buckets[i] == block) buckets[i] = block->next;
    if (block->next != nullptr) block->next->prev = block->prev;
    if (block->prev != nullptr) block->prev->next = block->next;
    block->bucket = 0;
    block->next = nullptr;
    block->prev = nullptr;
    counts[i] -= 1;
}

Handle Partition::GetHandle(const void* data) const {
    return reinterpret_cast<Handle>(detail::HeaderOf(data));
}

} // namespace KRMM
