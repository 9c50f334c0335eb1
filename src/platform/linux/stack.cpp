// stack.cpp (Linux) - the calling thread's return addresses (glibc's
// backtrace, which unwinds through the DWARF call-frame tables), and reads of
// memory that may not be mapped (process_vm_readv on our own process, or
// mincore and a plain copy where a seccomp filter forbids that).
//
// Thread safety: any thread. backtrace may load the unwinder on first use
// (a heap call inside glibc); neither function takes a lock of the library.
#include <execinfo.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/prim.h"

namespace KRMM::prim {

int CaptureStack(void** frames, int capacity) noexcept {
    if (frames == nullptr || capacity <= 0) return 0;
    const int captured = backtrace(frames, capacity);
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
