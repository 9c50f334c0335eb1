// lock.cpp - the lock primitive's slow paths, its debug bookkeeping and its
// slow-path counts. The lock word of KRMM_CriticalSection is defined by the
// platform's port (linux/lock_word.cpp), its entry points by the core
// (core/list_guard.cpp), which knows what taking it means.
//
// Thread safety: see lock.h.
#include "platform/lock.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>


#include "platform/prim.h"

namespace KRMM::detail {

SleeperCount g_lockSleepers[kSleeperSlots];

namespace {

// How long a waiter polls before it sleeps: far longer than the library's
// critical sections (tens of nanoseconds), short enough that a waiter gives
// its core back soon when the holder was preempted. Measured by the clock,
// not by counting pause instructions, whose length differs tenfold between
// processors (an arm64 'yield' is a few cycles).
constexpr auto kSpinTime = std::chrono::microseconds(2);
// Polls between two clock reads: a clock read costs about as much as a few
// pauses, so the budget is overshot by well under a microsecond.
constexpr int kPollsPerClockRead = 8;
// Without a process-wide barrier a wake-up can be missed (see lock.h); such
// sleeps then end on their own after this long and look at the word again.
constexpr uint64_t kUnfencedSleepNs = 200'000;

struct alignas(64) SlowPathCounts {
    std::atomic<uint64_t> contended{0};
    std::atomic<uint64_t> sleeps{0};
};
SlowPathCounts g_counts;

// Polls the word with plain loads (the holder's release store then finds the
// line shared rather than fought over by compare-and-swaps) until it is taken
// or the spin time is up. \returns whether the caller now holds the lock.
bool SpinToTake(os_unfair_lock_t lock) noexcept {
    auto word = LockWord(lock);
    const auto deadline = std::chrono::steady_clock::now() + kSpinTime;
    for (;;) {
        for (int i = 0; i < kPollsPerClockRead; ++i) {
            CpuRelax();
            // relaxed: only a hint; the compare-and-swap acquires.
            if (word.load(std::memory_order_relaxed) == kLockFree && LockTryAcquire(lock)) return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
    }
}

} // namespace

LockSlowPathCounts ReadLockSlowPathCounts() noexcept {
    // Relaxed: statistics, read without ordering against anything else.
    return {g_counts.contended.load(std::memory_order_relaxed),
            g_counts.sleeps.load(std::memory_order_relaxed)};
}

void LockContended(os_unfair_lock_t lock) noexcept {
    // relaxed: a statistic, ordered with nothing.
    g_counts.contended.fetch_add(1, std::memory_order_relaxed);
    if (SpinToTake(lock)) return;
    // Announce the sleeper, then make every running thread pass a fence, so
    // that a release in progress either shows us the free word or sees the
    // count (lock.h). seq_cst: the raise must not be reordered after our
    // later look at the word. The count stays raised until we hold the lock,
    // so one barrier covers every later sleep of this acquire.
    std::atomic<uint32_t>& sleepers = SleepersOf(lock);
    sleepers.fetch_add(1, std::memory_order_seq_cst);
    const bool fenced = prim::ProcessWideBarrier();
    while (!LockTryAcquire(lock)) {
        g_counts.sleeps.fetch_add(1, std::memory_order_relaxed);  // relaxed: a statistic
        prim::FutexWait(&lock->_os_unfair_lock_opaque, kLockHeld, fenced ? 0 : kUnfencedSleepNs);
        // Woken (or timed out): the releaser's successor is likely running
        // a short section right now, so poll before sleeping again rather
        // than sleep at once and be woken again.
        if (SpinToTake(lock)) break;
    }
    // relaxed: we hold the lock; a releaser that still sees the old count
    // only makes a needless wake-up call.
    sleepers.fetch_sub(1, std::memory_order_relaxed);
}

void UnlockWakeWaiter(os_unfair_lock_t lock) noexcept {
    prim::FutexWakeOne(&lock->_os_unfair_lock_opaque);
}

void ResetLocksInForkedChild() noexcept {
    // relaxed: the child has one thread.
    for (auto& slot : g_lockSleepers) slot.count.store(0, std::memory_order_relaxed);
    prim::ResetProcessWideBarrier();
}

#if defined(KRMM_DEBUG_CHECKS)
namespace {
constexpr int kMaxHeldLocks = 8;
thread_local os_unfair_lock_t t_held[kMaxHeldLocks];
thread_local int t_heldCount;
thread_local int t_untracked;  // held beyond kMaxHeldLocks: not checked

[[noreturn]] void Report(const char* what, os_unfair_lock_t lock) noexcept {
    std::fprintf(stderr, "KRMM: os_unfair_lock %p %s\n", static_cast<void*>(lock), what);
    std::abort();
}
} // namespace

bool ThreadHoldsLock(os_unfair_lock_t lock) noexcept {
    for (int i = 0; i < t_heldCount; ++i)
        if (t_held[i] == lock) return true;
    return false;
}

void NoteLockAcquiring(os_unfair_lock_t lock) noexcept {
    if (ThreadHoldsLock(lock)) Report("locked recursively by its holder", lock);
    if (t_heldCount < kMaxHeldLocks)
        t_held[t_heldCount++] = lock;
    else
        ++t_untracked;
}

void NoteLockReleased(os_unfair_lock_t lock) noexcept {
    for (int i = t_heldCount - 1; i >= 0; --i) {
        if (t_held[i] == lock) {
            t_held[i] = t_held[--t_heldCount];
            return;
        }
    }
    if (t_untracked > 0) {
        --t_untracked;
        return;
    }
    Report("unlocked by a thread that does not hold it", lock);
}
#endif

} // namespace KRMM::detail

