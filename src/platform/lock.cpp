// lock.cpp - the process-wide lock: slow paths, exported entry points and the
// slow-path counts. The lock word itself is defined by the platform's port
// (e.g. linux/lock_word.cpp), which alone knows how to give it a cache line
// of its own.
//
// Thread safety: see lock.h.
#include "platform/lock.h"

#include <cstdio>
#include <cstdlib>

#include <KRMM/KRMM.h>

#include "platform/prim.h"

namespace KRMM::detail {

SleeperCount g_lockSleepers[kSleeperSlots];

namespace {

// About a microsecond and a half of polling (a pause is ~15 ns here), far
// longer than the registry's critical sections, short enough that a waiter
// gives its core back soon when the holder was preempted.
constexpr int kSpinRounds = 100;
// Without a process-wide barrier a wake-up can be missed (see lock.h); such
// sleeps then end on their own after this long and look at the word again.
constexpr uint64_t kUnfencedSleepNs = 200'000;

struct alignas(64) SlowPathCounts {
    std::atomic<uint64_t> contended{0};
    std::atomic<uint64_t> sleeps{0};
};
SlowPathCounts g_counts;

inline void CpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

inline bool TryTake(std::atomic_ref<uint32_t> word) noexcept {
    uint32_t expected = kLockFree;
    return word.compare_exchange_strong(expected, kLockHeld, std::memory_order_acquire,
                                        std::memory_order_relaxed);
}

} // namespace

LockSlowPathCounts ReadLockSlowPathCounts() noexcept {
    // Relaxed: statistics, read without ordering against anything else.
    return {g_counts.contended.load(std::memory_order_relaxed),
            g_counts.sleeps.load(std::memory_order_relaxed)};
}

void LockContended(os_unfair_lock_t lock) noexcept {
    g_counts.contended.fetch_add(1, std::memory_order_relaxed);
    auto word = LockWord(lock);
    // Poll with plain loads: the holder's release store then finds the line
    // shared rather than fought over by compare-and-swaps.
    for (int i = 0; i < kSpinRounds; ++i) {
        CpuRelax();
        if (word.load(std::memory_order_relaxed) == kLockFree && TryTake(word)) return;
    }
    // Announce the sleeper, then make every running thread pass a fence, so
    // that a release in progress either shows us the free word or sees the
    // count (lock.h). The count stays raised until we hold the lock.
    std::atomic<uint32_t>& sleepers = SleepersOf(lock);
    sleepers.fetch_add(1, std::memory_order_seq_cst);
    const bool fenced = prim::ProcessWideBarrier();
    while (!TryTake(word)) {
        g_counts.sleeps.fetch_add(1, std::memory_order_relaxed);
        prim::FutexWait(&lock->_os_unfair_lock_opaque, kLockHeld, fenced ? 0 : kUnfencedSleepNs);
    }
    sleepers.fetch_sub(1, std::memory_order_relaxed);
}

void UnlockWakeWaiter(os_unfair_lock_t lock) noexcept {
    prim::FutexWakeOne(&lock->_os_unfair_lock_opaque);
}

#if defined(KRMM_DEBUG_CHECKS)
namespace {
constexpr int kMaxHeldLocks = 8;
thread_local os_unfair_lock_t t_held[kMaxHeldLocks];
thread_local int t_heldCount;
} // namespace

void NoteLockAcquiring(os_unfair_lock_t lock) noexcept {
    for (int i = 0; i < t_heldCount; ++i) {
        if (t_held[i] == lock) {
            std::fprintf(stderr, "KRMM: os_unfair_lock %p locked recursively by its holder\n",
                         static_cast<void*>(lock));
            std::abort();
        }
    }
    if (t_heldCount < kMaxHeldLocks) t_held[t_heldCount++] = lock;
}

void NoteLockReleased(os_unfair_lock_t lock) noexcept {
    for (int i = t_heldCount - 1; i >= 0; --i) {
        if (t_held[i] == lock) {
            t_held[i] = t_held[--t_heldCount];
            return;
        }
    }
}
#endif

} // namespace KRMM::detail

extern "C" void os_unfair_lock_lock(os_unfair_lock_t lock) {
    KRMM::detail::LockAcquire(lock);
}

extern "C" void os_unfair_lock_unlock(os_unfair_lock_t lock) {
    KRMM::detail::LockRelease(lock);
}

namespace KRMM {

void EnterCriticalSection(os_unfair_lock_s* lock) {
    detail::LockAcquire(lock);
}

void LeaveCriticalSection(os_unfair_lock_s* lock) {
    detail::LockRelease(lock);
}

} // namespace KRMM
