// KRMM/UnfairLock.h - the process-wide lock primitive of KRMM.
//
// A 32-bit word, zero when unlocked, so that a lock in static storage needs
// no constructor and no destructor. Locking is not recursive and not fair:
// a waiter spins briefly and then sleeps in the kernel until the holder
// wakes it. An uncontended acquire costs one atomic read-modify-write, a
// release a plain store and a load (a waiter about to sleep makes that safe
// with a process-wide barrier of its own).
//
// A lock works for the threads of one process only: the count of sleeping
// waiters that lets a release skip the wake-up call lives in the process's
// own memory, so a lock word placed in memory shared with another process
// can leave a waiter there asleep for ever.
//
// Taking KRMM_CriticalSection through os_unfair_lock_lock is the same as
// through KRMM::EnterCriticalSection: its holder excludes the list work of
// every partition (KRMM/KRMM.h).
//
// Thread safety: both functions may be called from any thread. A thread
// must not lock a lock it already holds, and only the holder may unlock;
// debug builds abort on both.
#pragma once

#include <cstdint>

#include <KRMM/Export.h>

/// A lock word: zero when unlocked, so a zero-initialised lock is ready to use.
struct os_unfair_lock_s {
    uint32_t _os_unfair_lock_opaque;  ///< The lock state; only the lock functions touch it.
};
/// The lock type callers declare.
typedef os_unfair_lock_s os_unfair_lock;
/// The pointer the lock functions take.
typedef os_unfair_lock_s* os_unfair_lock_t;

extern "C" {
/// Acquires `lock`, sleeping in the kernel while another thread holds it.
/// Never fails; must not be called by the thread that already holds `lock`.
KRMM_API void os_unfair_lock_lock(os_unfair_lock_t lock);
/// Releases `lock`, which the calling thread holds, and wakes one sleeper.
KRMM_API void os_unfair_lock_unlock(os_unfair_lock_t lock);
}

/// The exported lock: its holder excludes the registry, pool-list,
/// callback-table and resource-scan changes of every partition. Zero
/// (unlocked) at load.
extern "C" KRMM_API os_unfair_lock KRMM_CriticalSection;
