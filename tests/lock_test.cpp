// The process-wide lock: zero is unlocked, mutual exclusion under contention,
// sleeping waiters that are woken, and the debug check against recursion.
#include <chrono>
#include <thread>

#include <KRMM/Diagnostics.h>

#include "krmm_test.h"

static_assert(sizeof(os_unfair_lock) == 4 && std::is_trivial_v<os_unfair_lock>, "a static lock needs no constructor");

// Now and then a holder keeps the lock long enough that waiters give up
// spinning and sleep: every release must wake one of them, or the test never
// finishes.
TEST(Lock, ExcludesConcurrentHoldersWakesSleepersAndReturnsToZero) {
    EXPECT_EQ(KRMM_CriticalSection._os_unfair_lock_opaque, 0u);
    os_unfair_lock lock = {0};
    // One waiter held out long enough to sleep, whatever the scheduler does.
    const uint64_t sleeps = KRMM::diag::GetLockStatistics().kernelSleeps;
    os_unfair_lock_lock(&lock);
    std::thread waiter([&] { os_unfair_lock_lock(&lock), os_unfair_lock_unlock(&lock); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    os_unfair_lock_unlock(&lock);
    waiter.join();
    EXPECT_GT(KRMM::diag::GetLockStatistics().kernelSleeps, sleeps);
    long counter = 0, inside = 0;  // plain: only the lock protects them
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50000; ++i) {
                KRMM::EnterCriticalSection(&lock);
                EXPECT_EQ(++inside, 1);
                const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
                while ((i + t) % 256 == 0 && std::chrono::steady_clock::now() < until) {
                }
                ++counter;
                --inside;
                KRMM::LeaveCriticalSection(&lock);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 4L * 50000);
    EXPECT_EQ(lock._os_unfair_lock_opaque, 0u);
}

#if defined(KRMM_DEBUG_CHECKS)
TEST(LockDeathTest, RecursiveLockingAbortsInDebugBuilds) {
    os_unfair_lock lock = {0};
    EXPECT_DEATH(os_unfair_lock_lock(&lock); os_unfair_lock_lock(&lock), "locked recursively");
    KRMM::Partition partition;
    EXPECT_DEATH(KRMM::EnterCriticalSection(&KRMM_CriticalSection); partition.NewHandle(8), "locked recursively");
}

TEST(LockDeathTest, UnlockByAThreadThatDoesNotHoldItAbortsInDebugBuilds) {
    os_unfair_lock lock = {0};
    EXPECT_DEATH(os_unfair_lock_unlock(&lock), "does not hold it");
    os_unfair_lock_lock(&lock);
    EXPECT_DEATH(std::thread([&] { os_unfair_lock_unlock(&lock); }).join(), "does not hold it");
    os_unfair_lock_unlock(&lock);
}
#endif
