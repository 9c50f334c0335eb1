// counters.h - updates of the partition counters (internal).
//
// The counters are plain fields of the public record, read by anybody at any
// time (with relaxed atomic loads inside the library). They stay exact while
// several threads allocate from one partition, by two disciplines:
//
// - numCalls, numBlocks and numpoolHits are written only while the writer
//   holds KRMM_CriticalSection, so a relaxed load followed by a relaxed store
//   is a complete, unlosable update (LockedCounterAdd). Allocate and
//   Deallocate hold the lock anyway to link and unlink, which makes these
//   counts free. Every writer must follow this rule: the heap path of
//   Allocate (on success inside its link section, on a refusal in a short
//   section of its own), the pool path (inside the hand-out section),
//   Deallocate and the pool branch of Deallocate (inside the unlink section),
//   and the resource operations. One atomic read-modify-write from a thread
//   that does not hold the lock would be lost by a concurrent load/store pair.
//
// - bytesAllocated is also changed by Resize, which never takes the lock (a
//   host may resize while it holds KRMM_CriticalSection, and the lock is not
//   recursive). It is therefore always updated with an atomic
//   read-modify-write (CounterAdd), by every writer, inside a critical
//   section or not.
//
// Readers see each counter's latest value, with no ordering between counters.
//
// Thread safety: CounterAdd and CounterLoad from any thread; LockedCounterAdd
// and ApplyLocked only with KRMM_CriticalSection held.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>

#include <KRMM/KRMM.h>

#include "platform/thread_safety.h"

namespace KRMM::detail {

/// Atomic add, for bytesAllocated: any thread, lock held or not.
template <class T>
inline void CounterAdd(T& counter, T delta) noexcept {
    std::atomic_ref<T>(counter).fetch_add(delta, std::memory_order_relaxed);
}

/// Add for numCalls, numBlocks and numpoolHits. The caller holds
/// KRMM_CriticalSection, and so does every other writer of the counter.
template <class T>
inline void LockedCounterAdd(T& counter, T delta) noexcept KRMM_REQUIRES(kCriticalSection) {
    std::atomic_ref<T> ref(counter);
    // Unsigned arithmetic: the counts wrap like the hardware's add would.
    using U = std::make_unsigned_t<T>;
    ref.store(static_cast<T>(static_cast<U>(ref.load(std::memory_order_relaxed)) + static_cast<U>(delta)),
              std::memory_order_relaxed);
}

template <class T>
inline T CounterLoad(const T& counter) noexcept {
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

/// Applies `change`. The caller holds KRMM_CriticalSection.
[[gnu::always_inline]] inline void ApplyLocked(Partition& partition, const CounterChange& change) noexcept
    KRMM_REQUIRES(kCriticalSection) {
    if (change.bytes != 0) CounterAdd(partition.bytesAllocated, change.bytes);
    if (change.blocks != 0) LockedCounterAdd(partition.numBlocks, change.blocks);
    if (change.calls != 0) LockedCounterAdd(partition.numCalls, change.calls);
    if (change.poolHits != 0) LockedCounterAdd(partition.numpoolHits, change.poolHits);
}

} // namespace KRMM::detail
