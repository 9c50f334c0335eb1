// The process-wide lock: mutual exclusion under contention, sleeping waiters
// that are woken, and the debug check against recursive locking.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/Diagnostics.h>
#include <KRMM/KRMM.h>

TEST(Lock, ZeroIsUnlockedAndTheTypeIsTrivial) {
    static_assert(sizeof(os_unfair_lock) == 4);
    static_assert(std::is_trivially_destructible_v<os_unfair_lock>);
    static_assert(std::is_trivially_default_constructible_v<os_unfair_lock>);
    os_unfair_lock lock = {0};
    os_unfair_lock_lock(&lock);
    EXPECT_NE(lock._os_unfair_lock_opaque, 0u);
    os_unfair_lock_unlock(&lock);
    EXPECT_EQ(lock._os_unfair_lock_opaque, 0u);
    EXPECT_EQ(KRMM_CriticalSection._os_unfair_lock_opaque, 0u);
}

TEST(Lock, ExcludesConcurrentWritersAndWakesSleepers) {
    os_unfair_lock lock = {0};
    long counter = 0;  // plain: only the lock protects it
    constexpr int kThreads = 4;
    constexpr int kRounds = 200000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                KRMM::EnterCriticalSection(&lock);
                ++counter;
                KRMM::LeaveCriticalSection(&lock);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, long{kThreads} * kRounds);
    EXPECT_EQ(lock._os_unfair_lock_opaque, 0u);
}

TEST(Lock, AWaiterHeldOutLongSleepsAndIsWoken) {
    os_unfair_lock lock = {0};
    const auto before = KRMM::diag::GetLockStatistics();
    os_unfair_lock_lock(&lock);
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        os_unfair_lock_lock(&lock);
        acquired = true;
        os_unfair_lock_unlock(&lock);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(acquired.load());
    os_unfair_lock_unlock(&lock);
    waiter.join();
    EXPECT_TRUE(acquired.load());
    const auto after = KRMM::diag::GetLockStatistics();
    EXPECT_GE(after.contendedAcquires, before.contendedAcquires + 1);
    EXPECT_GE(after.kernelSleeps, before.kernelSleeps + 1);
}

#if defined(KRMM_DEBUG_CHECKS)
TEST(LockDeathTest, RecursiveLockingAbortsInDebugBuilds) {
    os_unfair_lock lock = {0};
    EXPECT_DEATH(
        {
            os_unfair_lock_lock(&lock);
            os_unfair_lock_lock(&lock);
        },
        "locked recursively");
}
#endif
