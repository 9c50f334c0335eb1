// registry.h - the block registry's chain operations, inline (internal).
//
// A registry is 1024 chain heads and 1024 counts. A header is pushed at the
// head of the chain its address hashes to and unlinked through its stored
// bucket and its prev/next links, in constant time. The exported members
// (GetMemoryBlockHash, HookupBlockToList, RemoveBlockFromList) are these
// functions; Allocate, Deallocate and the pool use them directly so that the
// hash is computed before the lock is taken and the critical section is a
// handful of loads and stores.
//
// Thread safety: BucketOf and PrefetchForLink/Unlink need no lock (a
// prefetch changes nothing); LinkBlock and UnlinkBlock require
// KRMM_CriticalSection (the destructor of a partition nobody else uses is
// the one exception).
#pragma once

#include <cstdint>

#include <KRMM/KRMM.h>

#include "core/checks.h"
#include "core/layout.h"
#include "platform/thread_safety.h"

namespace KRMM::detail {

/// Bucket of a header address: the standard library's 64-bit hash of an
/// 8-byte key (the pointer's two 32-bit halves through the 16-byte
/// finaliser), reduced to 1024 buckets. The low half is shifted in 32 bits,
/// so its top three bits do not count. Only the low 10 bits of the last
/// product are kept, so it is done in 32 bits.
inline unsigned BucketOf(const void* address) noexcept {
    constexpr uint64_t kMul = 0x9DDFEA08EB382D69ull;
    const uint64_t p = reinterpret_cast<uintptr_t>(address);
    const uint64_t lo = p & 0xFFFFFFFFull;
    const uint64_t hi = p >> 32;
    const uint64_t u = 8 + static_cast<uint64_t>(static_cast<uint32_t>(lo << 3));
    uint64_t a = (u ^ hi) * kMul;
    a ^= a >> 47;
    uint64_t b = (hi ^ a) * kMul;
    b ^= b >> 47;
    const uint32_t low = static_cast<uint32_t>(b) * static_cast<uint32_t>(kMul);
    return static_cast<unsigned>(low & kBucketMask);
}

/// Whether the chain starting at `head` holds the header `handle`. Reads the
/// chain as it stands: the caller holds KRMM_CriticalSection or keeps other
/// threads from changing it.
inline bool ChainHolds(const MemoryBlock* head, const void* handle) noexcept {
    for (const MemoryBlock* block = head; block != nullptr; block = block->next)
        if (block == handle) return true;
    return false;
}

/// Asks for the cache line of `address` in a writable state. Outside the lock
/// this overlaps the fetch of lines the critical section will write with the
/// fetch of the lock itself, when another core wrote them last.
inline void PrefetchForWrite(const void* address) noexcept {
#if defined(__x86_64__)
    // prefetchw: a plain hint, and a no-op on cores that predate it.
    asm volatile("prefetchw %0" : : "m"(*static_cast<const char*>(address)));
#else
    __builtin_prefetch(address, 1);
#endif
}

/// Whether chain `bucket` is well formed: each header's prev names the one
/// before it and its bucket field the chain, and the chain holds exactly
/// counts[bucket] headers. A walk of the whole chain, run after every link
/// and unlink in builds with KRMM_EXPENSIVE_CHECKS, so that a damaged chain
/// is caught by the operation that meets it, not later by a wild pointer.
inline bool ChainIsSound(MemoryBlock* const* buckets, const unsigned long* counts, unsigned bucket) noexcept
    KRMM_REQUIRES(kCriticalSection) {
    unsigned long length = 0;
    const MemoryBlock* previous = nullptr;
    for (const MemoryBlock* block = buckets[bucket]; block != nullptr; block = block->next) {
        if (block->prev != previous || block->bucket != bucket || ++length > counts[bucket]) return false;
        previous = block;
    }
    return length == counts[bucket];
}

/// Pushes `block` at the head of chain `bucket`. Lock held.
inline void LinkBlock(MemoryBlock* block, unsigned bucket, MemoryBlock** buckets,
                      unsigned long* counts) noexcept KRMM_REQUIRES(kCriticalSection) {
    MemoryBlock* head = buckets[bucket];
    block->bucket = static_cast<uint16_t>(bucket);
    block->prev = nullptr;
    block->next = head;
    if (head != nullptr) head->prev = block;
    counts[bucket] += 1;
    buckets[bucket] = block;
    KRMM_DCHECK_EXPENSIVE(ChainIsSound(buckets, counts, bucket));
}

/// Unlinks `block` from the chain named by its stored bucket. Lock held.
inline void UnlinkBlock(MemoryBlock* block, MemoryBlock** buckets, unsigned long* counts) noexcept
    KRMM_REQUIRES(kCriticalSection) {
    const unsigned bucket = block->bucket;
    MemoryBlock* next = block->next;
    MemoryBlock* prev = block->prev;
    KRMM_DCHECK(counts[bucket] > 0);
    KRMM_DCHECK(prev != nullptr || buckets[bucket] == block);
    if (buckets[bucket] == block) buckets[bucket] = next;
    if (next != nullptr) next->prev = prev;
    if (prev != nullptr) prev->next = next;
    block->bucket = 0;
    block->next = nullptr;
    block->prev = nullptr;
    counts[bucket] -= 1;
    KRMM_DCHECK_EXPENSIVE(ChainIsSound(buckets, counts, bucket));
}

/// Prefetches what LinkBlock will write: the chain head and the count.
inline void PrefetchForLink(unsigned bucket, MemoryBlock** buckets, unsigned long* counts) noexcept {
    PrefetchForWrite(&buckets[bucket]);
    PrefetchForWrite(&counts[bucket]);
}

/// Prefetches what UnlinkBlock will write besides the block itself. Reads
/// the block's links without the lock: they may change before the lock is
/// taken, which costs at most a useless prefetch.
inline void PrefetchForUnlink(const MemoryBlock* block, MemoryBlock** buckets,
                              unsigned long* counts) noexcept {
    const unsigned bucket = block->bucket;
    PrefetchForWrite(&buckets[bucket]);
    PrefetchForWrite(&counts[bucket]);
}

} // namespace KRMM::detail
