// futex.cpp - kernel wait and wake for the lock word (Linux futex).
//
// Thread safety: any thread.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

#include "platform/prim.h"

namespace KRMM::prim {

void FutexWait(uint32_t* word, uint32_t expected) noexcept {
    // The lock word is process-private: the private futex avoids the
    // shared-mapping lookup in the kernel. EINTR and EAGAIN just return.
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void FutexWakeOne(uint32_t* word) noexcept {
    syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

} // namespace KRMM::prim
