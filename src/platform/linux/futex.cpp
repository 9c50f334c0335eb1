// futex.cpp - kernel wait and wake for the lock word (Linux futex), and the
// process-wide barrier (membarrier) that lets the lock release without an
// atomic read-modify-write.
//
// Thread safety: any thread.
#include <linux/futex.h>
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "platform/prim.h"

namespace KRMM::prim {

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

bool ProcessWideBarrier() noexcept {
    // The expedited private barrier interrupts only the cores that run this
    // process's threads; the kernel wants the process registered once first.
    // Registration is idempotent, so threads racing here are harmless.
    static std::atomic<int> registered{0};  // 0 not yet tried, 1 yes, -1 unavailable
    int state = registered.load(std::memory_order_acquire);
    if (state == 0) {
        state = syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0 ? 1 : -1;
        registered.store(state, std::memory_order_release);
    }
    return state > 0 && syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0;
}

} // namespace KRMM::prim
