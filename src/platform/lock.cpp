// lock.cpp - the process-wide lock: slow paths, exported entry points, statistics.
//
// Thread safety: see lock.h.
#include "platform/lock.h"

#include <cstdio>
#include <cstdlib>

#include <KRMM/KRMM.h>
#include <KRMM/Diagnostics.h>

#include "platform/prim.h"

os_unfair_lock KRMM_CriticalSection = {0};

namespace KRMM::detail {
namespace {

// Short enough that a waiter gives the core back quickly when the holder was
// preempted, long enough to cover the registry's few-instruction critical sections.
constexpr int kSpinRounds = 100;

std::atomic<uint64_t> g_contended{0};
std::atomic<uint64_t> g_sleeps{0};

inline void CpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

} // namespace

void LockContended(os_unfair_lock_t lock) noexcept {
    g_contended.fetch_add(1, std::memory_order_relaxed);
    auto word = LockWord(lock);
    for (int i = 0; i < kSpinRounds; ++i) {
        uint32_t seen = word.load(std::memory_order_relaxed);
        if (seen == kLockFree &&
            word.compare_exchange_weak(seen, kLockHeld, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
            return;
        }
        CpuRelax();
    }
    // Mark the lock as having a sleeper; whoever held it will wake us. Once we
    // took it this way we keep the mark, since other sleepers may still wait.
    while (word.exchange(kLockHeldWithWaiters, std::memory_order_acquire) != kLockFree) {
        g_sleeps.fetch_add(1, std::memory_order_relaxed);
        prim::FutexWait(&lock->_os_unfair_lock_opaque, kLockHeldWithWaiters);
    }
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

namespace diag {

LockStatistics GetLockStatistics() noexcept {
    return {detail::g_contended.load(std::memory_order_relaxed),
            detail::g_sleeps.load(std::memory_order_relaxed)};
}

} // namespace diag
} // namespace KRMM
