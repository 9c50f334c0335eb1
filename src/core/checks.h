// checks.h - the library's own invariant checks, and the slot through which
// failed KRMM_Assert reports reach an observer (internal).
//
// KRMM_Assert is the public hook, which by contract has no effect. These
// checks are ours: KRMM_DCHECK is active in debug builds (KRMM_DEBUG_CHECKS)
// and type-checked in every build; KRMM_DCHECK_EXPENSIVE (the walk of a whole
// registry chain after every link and unlink, core/registry.h) runs only with
// KRMM_EXPENSIVE_CHECKS as well. A failed check
// prints the condition and its place to standard error and aborts. No check
// changes the public layout or any result.
//
// Thread safety: checks read what their caller may read.
#pragma once

namespace KRMM::detail {

#if defined(KRMM_DEBUG_CHECKS)
inline constexpr bool kDebugChecks = true;
#else
inline constexpr bool kDebugChecks = false;
#endif
#if defined(KRMM_EXPENSIVE_CHECKS)
inline constexpr bool kExpensiveChecks = kDebugChecks;
#else
inline constexpr bool kExpensiveChecks = false;
#endif

/// Prints the failed condition and its place to standard error and aborts.
[[noreturn]] void CheckFailed(const char* condition, const char* file, int line) noexcept;

/// Receives the failed reports of Partition::KRMM_Assert: (false, message).
using ReportObserver = void (*)(bool condition, const char* message);
/// Installs `observer` (null: nobody listens) as the receiver of failed
/// reports. \returns the one installed before. The diagnostics layer's
/// diag::SetAssertObserver is this; the core never calls upward to report.
ReportObserver ExchangeReportObserver(ReportObserver observer) noexcept;

} // namespace KRMM::detail

#define KRMM_DCHECK(cond)                                                        \
    do {                                                                         \
        if (::KRMM::detail::kDebugChecks && !(cond))                             \
            ::KRMM::detail::CheckFailed(#cond, __FILE__, __LINE__);              \
    } while (0)

#define KRMM_DCHECK_EXPENSIVE(cond)                                              \
    do {                                                                         \
        if (::KRMM::detail::kExpensiveChecks && !(cond))                         \
            ::KRMM::detail::CheckFailed(#cond, __FILE__, __LINE__);              \
    } while (0)
