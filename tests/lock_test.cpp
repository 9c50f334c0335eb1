// The process-wide lock: zero is unlocked, mutual exclusion under contention,
// sleeping waiters that are woken, and the debug check against recursion.
#include <atomic>
#include <chrono>
#include <thread>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/Diagnostics.h>
#include <KRMM/KRMM.h>

static_assert(sizeof(os_unfair_lock) == 4 && std::is_trivial_v<os_unfair_lock>, "a static lock needs no constructor");

TEST(Lock, ExcludesConcurrentHoldersAndReturnsToZero) {
    EXPECT_EQ(KRMM_CriticalSection._os_unfair_lock_opaque, 0u);
    os_unfair_lock lock = {0};
    long counter = 0;  // plain: only the lock protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200000; ++i) {
                KRMM::EnterCriticalSection(&lock);
                ++counter;
                KRMM::LeaveCriticalSection(&lock);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 4L * 200000);
    EXPECT_EQ(lock._os_unfair_lock_opaque, 0u);
}

TEST(Lock, AWaiterHeldOutSleepsAndIsWoken) {
    os_unfair_lock lock = {0};
    const auto before = KRMM::diag::GetLockStatistics();
    os_unfair_lock_lock(&lock);
    EXPECT_NE(lock._os_unfair_lock_opaque, 0u);  // read before the waiter may touch it
    std::atomic<bool> acquired{false};
    std::thread waiter([&] { os_unfair_lock_lock(&lock); acquired = true; os_unfair_lock_unlock(&lock); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(acquired);
    os_unfair_lock_unlock(&lock);
    waiter.join();
    const auto after = KRMM::diag::GetLockStatistics();
    EXPECT_TRUE(acquired && after.contendedAcquires > before.contendedAcquires &&
                after.kernelSleeps > before.kernelSleeps);
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
