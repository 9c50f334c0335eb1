// counters.h - updates of the partition counters (internal).
//
// The counters are plain fields of the public record, read by anybody at any
// time (with relaxed atomic loads inside the library). They stay exact while
// several threads allocate from one partition:
//
// - All four are written under the list lock of their partition
//   (PartitionListGuard, core/list_guard.h), so a relaxed load followed by a
//   relaxed store is a complete, unlosable update (LockedCounterAdd), with no
//   locked instruction. Allocate and Deallocate hold that lock anyway to link
//   and unlink, which makes the counts nearly free: the heap path of Allocate
//   (on success inside its link section, on a refusal in a short section of
//   its own), the pool path (inside the hand-out section), Deallocate and its
//   pool branch (inside the unlink section), and the resource operations. One
//   atomic read-modify-write from a thread that does not hold the lock would
//   be lost by a concurrent load/store pair.
//
// - bytesAllocated is also changed by Resize, which takes no lock (a host may
//   resize while it holds KRMM_CriticalSection, and the lock is not
//   recursive). It adds through AddBytesWithoutListLock (core/list_guard.h),
//   which takes the stripe for a moment and adds atomically only beside the
//   exported lock's holder, where list work that follows waits for it.
//
// Readers see each counter's latest value, with no ordering between counters.
//
// Thread safety: CounterAdd and CounterLoad from any thread; LockedCounterAdd
// and ApplyLocked only under the partition's list lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>

#include <KRMM/KRMM.h>

#include "platform/thread_safety.h"

namespace KRMM::detail {

/// Atomic add, for the histogram: any thread, lock held or not.
template <class T>
inline void CounterAdd(T& counter, T delta) noexcept {
    // relaxed: a counter publishes nothing; the add itself is never lost.
    std::atomic_ref<T>(counter).fetch_add(delta, std::memory_order_relaxed);
}

/// An add that is not a read-modify-write: for a counter whose writers all
/// hold one lock (the caller states which).
template <class T>
[[gnu::always_inline]] inline void PlainCounterAdd(T& counter, T delta) noexcept {
    // relaxed load and store: the lock orders the writers; the atomics only
    // keep unlocked readers from seeing a torn value.
    std::atomic_ref<T> ref(counter);
    // Unsigned arithmetic: the counts wrap like the hardware's add would.
    using U = std::make_unsigned_t<T>;
    ref.store(static_cast<T>(static_cast<U>(ref.load(std::memory_order_relaxed)) + static_cast<U>(delta)),
              std::memory_order_relaxed);
}

/// Add for the counters of the partition under its list lock, which every
/// other writer of the counter holds too (or, for bytesAllocated, waits for).
template <class T>
inline void LockedCounterAdd(T& counter, T delta) noexcept KRMM_REQUIRES(kCriticalSection) {
    PlainCounterAdd(counter, delta);
}

template <class T>
inline T CounterLoad(const T& counter) noexcept {
    // relaxed: each counter's own latest value, no order between counters.
    return std::atomic_ref<T>(const_cast<T&>(counter)).load(std::memory_order_relaxed);
}

/// One operation's change of the partition counters, applied inside a
/// critical section the operation holds anyway.
struct CounterChange {
    int64_t bytes = 0;     ///< bytesAllocated
    int64_t blocks = 0;    ///< numBlocks
    int32_t calls = 0;     ///< numCalls
    int64_t poolHits = 0;  ///< numpoolHits
};

/// Applies `change`. The caller holds the partition's list lock.
[[gnu::always_inline]] inline void ApplyLocked(Partition& partition, const CounterChange& change) noexcept
    KRMM_REQUIRES(kCriticalSection) {
    if (change.bytes != 0) LockedCounterAdd(partition.bytesAllocated, change.bytes);
    if (change.blocks != 0) LockedCounterAdd(partition.numBlocks, change.blocks);
    if (change.calls != 0) LockedCounterAdd(partition.numCalls, change.calls);
    if (change.poolHits != 0) LockedCounterAdd(partition.numpoolHits, change.poolHits);
}

} // namespace KRMM::detail
