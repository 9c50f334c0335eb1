// lock.h - inline fast paths of the process-wide lock (internal).
//
// The lock word holds 0 (free) or 1 (held). Acquire is one compare-and-swap
// when the lock is free. Release is a plain store of 0 followed by a load of
// the lock's sleeper count, with no atomic read-modify-write: a wake-up system
// call is made only when a waiter has announced that it sleeps.
//
// Why a plain store cannot lose a sleeper: a waiter first raises the sleeper
// count (an atomic read-modify-write), then runs a process-wide memory
// barrier (prim::ProcessWideBarrier, the heavy half of an asymmetric fence),
// and only then looks at the lock word once more before it sleeps. The
// barrier makes every other running thread pass a full fence. A releasing
// thread that was between its store and its load at that moment has its store
// made visible (so the waiter sees the lock free and does not sleep), and one
// that had not yet loaded the count loads it after the barrier (and sees the
// sleeper). A thread that takes the lock later sees the count when it
// releases (its compare-and-swap comes after the raise), and the count stays
// raised until the waiter holds the lock. The releasing side needs only a
// compiler barrier between store and load (the light half). Without such a
// barrier on the platform, waiters sleep with a short timeout instead, so a
// missed wake-up costs time, never progress.
//
// Contended acquires spin briefly, then sleep on the word in the kernel.
// CriticalSection is the scoped form used inside the library; it is
// trivially small and never allocates.
//
// Thread safety: see KRMM/UnfairLock.h. Debug builds abort when a thread
// takes a lock it already holds.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <KRMM/UnfairLock.h>

#include "platform/thread_safety.h"

namespace KRMM::detail {

inline constexpr uint32_t kLockFree = 0;
inline constexpr uint32_t kLockHeld = 1;

// Sleeper counts, one cache line each, shared by the locks whose addresses
// hash alike (a shared count costs a needless wake-up call, nothing else).
inline constexpr size_t kSleeperSlots = 16;
struct alignas(64) SleeperCount {
    std::atomic<uint32_t> count;
};
extern SleeperCount g_lockSleepers[kSleeperSlots];

/// Process-wide counts of the slow path since the process started.
struct LockSlowPathCounts {
    uint64_t contendedAcquires;  ///< acquires that found the lock held
    uint64_t kernelSleeps;       ///< times a waiter slept in the kernel
};
/// \returns the counts as they stand (relaxed loads; no lock).
LockSlowPathCounts ReadLockSlowPathCounts() noexcept;

void LockContended(os_unfair_lock_t lock) noexcept;
void UnlockWakeWaiter(os_unfair_lock_t lock) noexcept;
#if defined(KRMM_DEBUG_CHECKS)
void NoteLockAcquiring(os_unfair_lock_t lock) noexcept;
void NoteLockReleased(os_unfair_lock_t lock) noexcept;
#endif

inline std::atomic_ref<uint32_t> LockWord(os_unfair_lock_t lock) noexcept {
    return std::atomic_ref<uint32_t>(lock->_os_unfair_lock_opaque);
}

// Locks on different cache lines mostly get different counts.
inline std::atomic<uint32_t>& SleepersOf(os_unfair_lock_t lock) noexcept {
    return g_lockSleepers[(reinterpret_cast<uintptr_t>(lock) >> 6) % kSleeperSlots].count;
}

[[gnu::always_inline]] inline void LockAcquire(os_unfair_lock_t lock) noexcept {
#if defined(KRMM_DEBUG_CHECKS)
    NoteLockAcquiring(lock);
#endif
    uint32_t expected = kLockFree;
    if (__builtin_expect(!LockWord(lock).compare_exchange_strong(
                             expected, kLockHeld, std::memory_order_acquire, std::memory_order_relaxed),
                         0)) {
        LockContended(lock);
    }
}

[[gnu::always_inline]] inline void LockRelease(os_unfair_lock_t lock) noexcept {
#if defined(KRMM_DEBUG_CHECKS)
    NoteLockReleased(lock);
#endif
    LockWord(lock).store(kLockFree, std::memory_order_release);
    // The light half of the asymmetric fence: the load stays after the store
    // in program order; the sleeper's process-wide barrier does the rest.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (__builtin_expect(SleepersOf(lock).load(std::memory_order_relaxed) != 0, 0)) {
        UnlockWakeWaiter(lock);
    }
}

/// Holds KRMM_CriticalSection for its scope. For the thread-safety analysis
/// it acquires and releases kCriticalSection (platform/thread_safety.h); the
/// bodies, which work on the lock word, are not analysed.
class KRMM_SCOPED_CAPABILITY CriticalSection {
public:
    [[gnu::always_inline]] CriticalSection() noexcept KRMM_ACQUIRE(kCriticalSection)
        KRMM_NO_THREAD_SAFETY_ANALYSIS {
        LockAcquire(&KRMM_CriticalSection);
    }
    [[gnu::always_inline]] ~CriticalSection() KRMM_RELEASE() KRMM_NO_THREAD_SAFETY_ANALYSIS {
        LockRelease(&KRMM_CriticalSection);
    }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
};

/// States, for the analysis, that the caller holds KRMM_CriticalSection: the
/// contract of the exported registry primitives, whose callers the library
/// cannot see. Checks nothing at run time.
inline void CriticalSectionIsHeld() noexcept KRMM_ASSERT_CAPABILITY(kCriticalSection) {}

} // namespace KRMM::detail
