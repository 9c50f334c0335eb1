// futex.cpp - kernel wait and wake for the lock word (Linux futex), the
// process-wide barrier (membarrier) that lets the lock release without an
// atomic read-modify-write, decided once per process, and the fork handlers
// that keep a child from inheriting a held lock.
//
// Thread safety: any thread.
#include <fcntl.h>
#include <linux/futex.h>
#include <linux/membarrier.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/prim.h"

namespace KRMM::prim {

void OnFork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept {
    pthread_atfork(prepare, parent, child);
}

void FutexWait(uint32_t* word, uint32_t expected, uint64_t timeoutNs) noexcept {
    // The lock word is process-private: the private futex avoids the
    // shared-mapping lookup in the kernel. EINTR, EAGAIN and ETIMEDOUT just return.
    timespec timeout{};
    timeout.tv_sec = static_cast<time_t>(timeoutNs / 1'000'000'000u);
    timeout.tv_nsec = static_cast<long>(timeoutNs % 1'000'000'000u);
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, timeoutNs != 0 ? &timeout : nullptr,
            nullptr, 0);
}

void FutexWakeOne(uint32_t* word) noexcept {
    syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

namespace {

// The barrier is membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED), which
// interrupts only the cores that run this process's threads; the kernel wants
// the process registered once first. Under a seccomp filter the call may be
// refused or, worse, kill the process, and nothing can find out which
// without making the call. So the first caller decides once, for everybody:
//   KRMM_MEMBARRIER=0    never use it;
//   KRMM_MEMBARRIER=1    use it even under a seccomp filter (the host knows
//                        its filter allows it);
//   otherwise            use it unless the process runs under a seccomp
//                        filter, and if registering it works.
// Any failure of the call later switches it off for good.
enum BarrierState : int { kUndecided, kDeciding, kInUse, kUnavailable, kSwitchedOff };
std::atomic<int> g_barrier{kUndecided};

// Reads the "Seccomp:" line of /proc/self/status with plain system calls into
// a stack buffer (no heap: we may be on the path of a lock). A process whose
// status cannot be read counts as filtered.
bool UnderSeccompFilter() noexcept {
    const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    char text[4096];
    size_t length = 0;
    ssize_t n;
    while (length < sizeof text - 1 && (n = read(fd, text + length, sizeof text - 1 - length)) > 0)
        length += static_cast<size_t>(n);
    close(fd);
    text[length] = '\0';
    const char* line = std::strstr(text, "\nSeccomp:");
    if (line == nullptr) return false;  // a kernel without seccomp
    line += std::strlen("\nSeccomp:");
    while (*line == ' ' || *line == '\t') ++line;
    return *line != '0';
}

int DecideBarrier() noexcept {
    const char* setting = std::getenv("KRMM_MEMBARRIER");
    const bool forced = setting != nullptr && std::strcmp(setting, "1") == 0;
    if (setting != nullptr && std::strcmp(setting, "0") == 0) return kSwitchedOff;
    if (!forced && UnderSeccompFilter()) return kUnavailable;
    return syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0 ? kInUse
                                                                                          : kUnavailable;
}

} // namespace

bool ProcessWideBarrier() noexcept {
    // acquire/release on the state: a thread that sees kInUse also sees
    // everything the deciding thread did before (its registration returned).
    int state = g_barrier.load(std::memory_order_acquire);
    if (state == kUndecided) {
        if (g_barrier.compare_exchange_strong(state, kDeciding, std::memory_order_acq_rel)) {
            int decided = DecideBarrier();
            // A switch-off that came meanwhile stays.
            int deciding = kDeciding;
            if (!g_barrier.compare_exchange_strong(deciding, decided, std::memory_order_acq_rel))
                decided = deciding;
            state = decided;
        }
        // Else another thread decides right now; this waiter sleeps with a
        // timeout meanwhile (state is not kInUse).
    }
    if (state != kInUse) return false;
    if (syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0) return true;
    int inUse = kInUse;
    g_barrier.compare_exchange_strong(inUse, kUnavailable, std::memory_order_acq_rel);
    return false;
}

bool ProcessWideBarrierInUse() noexcept {
    return g_barrier.load(std::memory_order_acquire) == kInUse;
}

void DisableProcessWideBarrier() noexcept {
    g_barrier.store(kSwitchedOff, std::memory_order_release);
}

void ResetProcessWideBarrier() noexcept {
    // relaxed: the forked child has one thread.
    if (g_barrier.load(std::memory_order_relaxed) != kSwitchedOff)
        g_barrier.store(kUndecided, std::memory_order_relaxed);
}

} // namespace KRMM::prim
