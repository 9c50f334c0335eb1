// unwind.cpp - capture of the calling thread's return addresses.
//
// With libunwind (KRMM_HAVE_LIBUNWIND) the capture is unw_backtrace with a
// per-thread cache of the unwind information: after the first capture
// through a call path, later ones read cached frame descriptions instead of
// searching the modules' unwind tables, which is what makes tracing cheap
// enough to leave on. Without it, the C library's backtrace, which searches
// the tables for every frame. Both report the same return addresses.
//
// Thread safety: any thread; the libunwind cache is per thread.
#include "platform/prim.h"

#if defined(KRMM_HAVE_LIBUNWIND)
#define UNW_LOCAL_ONLY
#include <libunwind.h>

#include <atomic>
#else
#include <execinfo.h>
#endif

namespace KRMM::prim {

#if defined(KRMM_HAVE_LIBUNWIND)
namespace {

// Set once; threads racing here set the same policy twice, which is harmless.
std::atomic<bool> g_cachingSet{false};

} // namespace

// Never inlined: the caller's frame must be slot 0, as with backtrace.
[[gnu::noinline]] int CaptureStack(void** out, int capacity) noexcept {
    // Relaxed: the policy call itself is idempotent, the flag only skips it.
    if (!g_cachingSet.load(std::memory_order_relaxed)) {
        unw_set_caching_policy(unw_local_addr_space, UNW_CACHE_PER_THREAD);
        g_cachingSet.store(true, std::memory_order_relaxed);
    }
    const int count = unw_backtrace(out, capacity);
    return count > 0 ? count : 0;
}
#else
[[gnu::noinline]] int CaptureStack(void** out, int capacity) noexcept {
    return backtrace(out, capacity);
}
#endif

} // namespace KRMM::prim
