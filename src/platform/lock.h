// lock.h - the lock primitive: inline fast paths of a 32-bit lock word
// (internal).
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
// compiler barrier between store and load (the light half). Where the barrier
// is unavailable or forbidden, waiters sleep with a short timeout instead, so
// a missed wake-up costs time, never progress.
//
// Contended acquires spin for a fixed time (read from the clock, so the spin
// lasts as long on every processor), then sleep on the word in the kernel; a
// woken waiter spins again before it sleeps again. The sleeper count is a
// table in this process's memory, so a lock word works for the threads of one
// process only.
//
// LockAcquire/LockRelease are the raw primitive, with no debug bookkeeping;
// the public entry points (os_unfair_lock_lock, KRMM::EnterCriticalSection)
// add the debug checks through NoteLockAcquiring/NoteLockReleased. Which
// internal functions require or exclude the exported lock is annotated for
// clang's analysis (platform/thread_safety.h).
//
// Thread safety: any thread; see KRMM/UnfairLock.h.
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
/// In a child just forked: only the forking thread exists, so nobody sleeps
/// on any lock, and the process-wide barrier must be set up anew.
void ResetLocksInForkedChild() noexcept;
#if defined(KRMM_DEBUG_CHECKS)
/// Aborts when the calling thread already holds `lock`; then notes it held.
void NoteLockAcquiring(os_unfair_lock_t lock) noexcept;
/// Aborts when the calling thread does not hold `lock`; then notes it free.
void NoteLockReleased(os_unfair_lock_t lock) noexcept;
/// \returns whether the calling thread holds `lock` (through the entry points).
bool ThreadHoldsLock(os_unfair_lock_t lock) noexcept;
#endif

/// A polling loop's pause: lets the other hardware thread of the core run.
inline void CpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

inline std::atomic_ref<uint32_t> LockWord(os_unfair_lock_t lock) noexcept {
    return std::atomic_ref<uint32_t>(lock->_os_unfair_lock_opaque);
}

// Locks on different cache lines mostly get different counts.
inline std::atomic<uint32_t>& SleepersOf(os_unfair_lock_t lock) noexcept {
    return g_lockSleepers[(reinterpret_cast<uintptr_t>(lock) >> 6) % kSleeperSlots].count;
}

[[gnu::always_inline]] inline void LockAcquire(os_unfair_lock_t lock) noexcept {
    uint32_t expected = kLockFree;
    // acquire on success: what the previous holder wrote before its release
    // store is visible to us. relaxed on failure: the slow path retries.
    if (__builtin_expect(!LockWord(lock).compare_exchange_strong(
                             expected, kLockHeld, std::memory_order_acquire, std::memory_order_relaxed),
                         0)) {
        LockContended(lock);
    }
}

/// \returns whether `lock` was free and is now held by the caller.
[[gnu::always_inline]] inline bool LockTryAcquire(os_unfair_lock_t lock) noexcept {
    uint32_t expected = kLockFree;
    // acquire on success, as in LockAcquire.
    return LockWord(lock).compare_exchange_strong(expected, kLockHeld, std::memory_order_acquire,
                                                  std::memory_order_relaxed);
}

[[gnu::always_inline]] inline void LockRelease(os_unfair_lock_t lock) noexcept {
    // release: our writes under the lock happen before the next holder's
    // acquiring compare-and-swap reads this 0.
    LockWord(lock).store(kLockFree, std::memory_order_release);
    // The light half of the asymmetric fence: the load stays after the store
    // in program order; the sleeper's process-wide barrier does the rest.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    // relaxed: the ordering against a waiter's raise comes from its barrier
    // (or, without one, from its timed sleep), not from this load.
    if (__builtin_expect(SleepersOf(lock).load(std::memory_order_relaxed) != 0, 0)) {
        UnlockWakeWaiter(lock);
    }
}

/// Orders the loads that follow a LockAcquire after the acquisition itself,
/// as a full fence would: for a handshake (store here, load there, and the
/// reverse on the other side) with a thread that does not take the lock. On
/// x86 the locked instruction that took the lock already is such a fence.
[[gnu::always_inline]] inline void FenceAfterLockAcquire() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    std::atomic_signal_fence(std::memory_order_seq_cst);
#else
    std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
}

/// States, for the analysis, that the caller holds KRMM_CriticalSection: the
/// contract of the exported registry primitives, whose callers the library
/// cannot see. Checks nothing at run time.
inline void CriticalSectionIsHeld() noexcept KRMM_ASSERT_CAPABILITY(kCriticalSection) {}

} // namespace KRMM::detail
