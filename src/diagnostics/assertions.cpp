// assertions.cpp - the public report hook and our own invariant-check failure.
//
// KRMM_Assert has no effect: callers decide what happens around a report. A
// diagnostic observer (KRMM/Diagnostics.h) may be installed to watch the
// reports; with none installed the hook reads nothing.
//
// Thread safety: any thread, with or without KRMM_CriticalSection.
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include <KRMM/Diagnostics.h>
#include <KRMM/KRMM.h>

#include "core/checks.h"

namespace KRMM {
namespace {
std::atomic<diag::AssertObserver> g_assertObserver{nullptr};
} // namespace

void Partition::KRMM_Assert(bool condition, const char* message) {
    // acquire: pairs with the installing exchange, so the observer sees what
    // its installer set up before installing it.
    if (diag::AssertObserver observer = g_assertObserver.load(std::memory_order_acquire)) {
        observer(condition, message);
    }
}

namespace diag {
AssertObserver SetAssertObserver(AssertObserver observer) noexcept {
    // acq_rel: publishes the new observer, and hands back the old one with
    // what its installer wrote.
    return g_assertObserver.exchange(observer, std::memory_order_acq_rel);
}
} // namespace diag

namespace detail {
void CheckFailed(const char* condition, const char* file, int line) noexcept {
    std::fprintf(stderr, "KRMM: internal check failed: %s (%s:%d)\n", condition, file, line);
    std::abort();
}
} // namespace detail
} // namespace KRMM
