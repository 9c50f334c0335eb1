// stack.cpp (Linux) - the calling thread's return addresses, and reads of
// memory that may not be mapped (process_vm_readv on our own process, or
// mincore and a plain copy where a seccomp filter forbids that).
//
// With libunwind (KRMM_HAVE_LIBUNWIND) the capture is unw_backtrace with a
// per-thread cache of the unwind information: after the first capture
// through a call path, later ones read cached frame descriptions instead of
// searching the modules' DWARF call-frame tables, which is what makes
// tracing cheap enough to leave on. Without it, glibc's backtrace, which
// searches the tables for every frame. Both report the same return addresses.
//
// Thread safety: any thread (the libunwind cache is per thread). backtrace
// may load the unwinder on first use (a heap call inside glibc); neither
// function takes a lock of the library.
#if defined(KRMM_HAVE_LIBUNWIND)
#define UNW_LOCAL_ONLY
#include <libunwind.h>
#else
#include <execinfo.h>
#endif
#include <atomic>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/prim.h"

namespace KRMM::prim {

#if defined(KRMM_HAVE_LIBUNWIND)
namespace {

// Set once; threads racing here set the same policy twice, which is harmless.
std::atomic<bool> g_cachingSet{false};

} // namespace
#endif

int CaptureStack(void** frames, int capacity) noexcept {
    if (frames == nullptr || capacity <= 0) return 0;
#if defined(KRMM_HAVE_LIBUNWIND)
    // Relaxed: the policy call itself is idempotent, the flag only skips it.
    if (!g_cachingSet.load(std::memory_order_relaxed)) {
        unw_set_caching_policy(unw_local_addr_space, UNW_CACHE_PER_THREAD);
        g_cachingSet.store(true, std::memory_order_relaxed);
    }
    const int captured = unw_backtrace(frames, capacity);
#else
    const int captured = backtrace(frames, capacity);
#endif
    return captured > 0 ? captured : 0;
}

namespace {

// Where process_vm_readv is not allowed (a seccomp filter), whether every
// page of the range is mapped, asked with mincore. A mapped page without read
// permission would still fault; heap pointers do not lead there.
bool Mapped(const void* address, size_t bytes) noexcept {
    const long pageSize = sysconf(_SC_PAGESIZE);
    const uintptr_t page = pageSize > 0 ? static_cast<uintptr_t>(pageSize) : 4096;
    const uintptr_t begin = reinterpret_cast<uintptr_t>(address) & ~(page - 1);
    const uintptr_t end = reinterpret_cast<uintptr_t>(address) + bytes;
    unsigned char resident;
    for (uintptr_t at = begin; at < end; at += page) {
        if (mincore(reinterpret_cast<void*>(at), 1, &resident) != 0) return false;
    }
    return true;
}

} // namespace

bool ReadMemory(const void* address, void* out, size_t bytes) noexcept {
    if (bytes == 0) return true;
    const uintptr_t begin = reinterpret_cast<uintptr_t>(address);
    if (begin + bytes < begin) return false;
    // The kernel copies, and reports an unmapped source as an error instead
    // of a fault in the reader.
    iovec local{out, bytes};
    iovec remote{const_cast<void*>(address), bytes};
    const ssize_t copied = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    if (copied == static_cast<ssize_t>(bytes)) return true;
    if (copied >= 0 || (errno != ENOSYS && errno != EPERM)) return false;
    if (!Mapped(address, bytes)) return false;
    std::memcpy(out, address, bytes);
    return true;
}

} // namespace KRMM::prim
