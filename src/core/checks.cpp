// checks.cpp - the report hook of every internal check, and the failure of
// our own invariant checks.
//
// KRMM_Assert has no effect on the operation that reports: callers decide
// what happens around a report. A failed report goes to the observer the
// diagnostics installed (diag::SetAssertObserver) through the one slot
// below, which the core owns so that reporting never reaches up into the
// diagnostics. A check that holds reports nothing and reads nothing.
//
// Thread safety: any thread, with or without KRMM_CriticalSection. The slot
// is one atomic word: acquire on load pairs with the release of the
// installing exchange, so the observer's own state is visible to the caller.
#include "core/checks.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include <KRMM/KRMM.h>

namespace KRMM {
namespace {
std::atomic<detail::ReportObserver> g_reportObserver{nullptr};
} // namespace

void Partition::KRMM_Assert(bool condition, const char* message) {
    if (condition) return;
    if (detail::ReportObserver observer = g_reportObserver.load(std::memory_order_acquire))
        observer(false, message);
}

namespace detail {

ReportObserver ExchangeReportObserver(ReportObserver observer) noexcept {
    return g_reportObserver.exchange(observer, std::memory_order_acq_rel);
}

void CheckFailed(const char* condition, const char* file, int line) noexcept {
    std::fprintf(stderr, "KRMM: internal check failed: %s (%s:%d)\n", condition, file, line);
    std::abort();
}

} // namespace detail
} // namespace KRMM
