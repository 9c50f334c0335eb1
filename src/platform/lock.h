// lock.h - inline fast paths of the process-wide lock (internal).
//
// The lock word holds 0 (free), 1 (held) or 2 (held, and a thread may be
// asleep waiting for it). Acquire is one compare-and-swap when the lock is
// free; release is one exchange, plus a wake-up system call only when a
// waiter went to sleep. Contended acquires spin briefly, then sleep on the
// word in the kernel. CriticalSection is the scoped form used inside the
// library; it is trivially small and never allocates.
//
// Thread safety: see KRMM/UnfairLock.h. Debug builds abort when a thread
// takes a lock it already holds.
#pragma once

#include <atomic>
#include <cstdint>

#include <KRMM/UnfairLock.h>

namespace KRMM::detail {

inline constexpr uint32_t kLockFree = 0;
inline constexpr uint32_t kLockHeld = 1;
inline constexpr uint32_t kLockHeldWithWaiters = 2;

void LockContended(os_unfair_lock_t lock) noexcept;
void UnlockWakeWaiter(os_unfair_lock_t lock) noexcept;
#if defined(KRMM_DEBUG_CHECKS)
void NoteLockAcquiring(os_unfair_lock_t lock) noexcept;
void NoteLockReleased(os_unfair_lock_t lock) noexcept;
#endif

inline std::atomic_ref<uint32_t> LockWord(os_unfair_lock_t lock) noexcept {
    return std::atomic_ref<uint32_t>(lock->_os_unfair_lock_opaque);
}

inline void LockAcquire(os_unfair_lock_t lock) noexcept {
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

inline void LockRelease(os_unfair_lock_t lock) noexcept {
#if defined(KRMM_DEBUG_CHECKS)
    NoteLockReleased(lock);
#endif
    if (__builtin_expect(LockWord(lock).exchange(kLockFree, std::memory_order_release) ==
                             kLockHeldWithWaiters,
                         0)) {
        UnlockWakeWaiter(lock);
    }
}

/// Holds KRMM_CriticalSection for its scope.
class CriticalSection {
public:
    CriticalSection() noexcept { LockAcquire(&KRMM_CriticalSection); }
    ~CriticalSection() { LockRelease(&KRMM_CriticalSection); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
};

} // namespace KRMM::detail
