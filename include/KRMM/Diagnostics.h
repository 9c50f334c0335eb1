// KRMM/Diagnostics.h - tools beyond the Memory Manager interface.
//
// Everything here is additive: it reads partitions and never changes what the
// operations of KRMM/KRMM.h do or return. Nothing here costs anything until it
// is called.
//
// Thread safety: each function says which lock it takes; none may be called
// while the caller holds KRMM_CriticalSection.
#pragma once

#include <cstdint>

#include <KRMM/Export.h>

namespace KRMM::diag {

/// Process-wide counts of the global lock's slow path.
struct LockStatistics {
    uint64_t contendedAcquires;  ///< Acquires that found the lock held.
    uint64_t kernelSleeps;       ///< Times a waiter went to sleep in the kernel.
};

/// \returns the lock's slow-path counts since the process started. Takes no lock.
KRMM_API LockStatistics GetLockStatistics() noexcept;

/// Watches the reports of Partition::KRMM_Assert: (condition, message).
using AssertObserver = void (*)(bool condition, const char* message);

/// Installs `observer` (null removes it); it is called on the reporting thread,
/// possibly with KRMM_CriticalSection held, so it must not call into KRMM.
/// Without an observer the reports have no effect at all.
/// \returns the observer installed before.
KRMM_API AssertObserver SetAssertObserver(AssertObserver observer) noexcept;

} // namespace KRMM::diag
