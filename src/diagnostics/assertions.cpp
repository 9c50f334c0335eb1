// assertions.cpp - the diagnostic views of the core's reports and of the
// lock: the assertion observer and the lock's slow-path counts.
//
// The observer lives in the core's report slot (core/checks.h); this layer
// only installs it, so KRMM_Assert never calls up into the diagnostics.
//
// Thread safety: any thread; both read or swap one atomic word each.
#include <KRMM/Diagnostics.h>
#include <KRMM/KRMM.h>

#include "core/checks.h"
#include "platform/lock.h"

namespace KRMM::diag {

AssertObserver SetAssertObserver(AssertObserver observer) noexcept {
    return KRMM::detail::ExchangeReportObserver(observer);
}

LockStatistics GetLockStatistics() noexcept {
    const KRMM::detail::LockSlowPathCounts counts = KRMM::detail::ReadLockSlowPathCounts();
    return {counts.contendedAcquires, counts.kernelSleeps};
}

} // namespace KRMM::diag
