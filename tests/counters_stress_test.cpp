// Threads sharing one partition and one lock: the counters stay exact, and a
// lock released by a plain store never strands a sleeping waiter.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/Diagnostics.h>
#include <KRMM/KRMM.h>

using KRMM::Handle;
using KRMM::MemoryBlock;
using KRMM::Partition;

namespace {

struct Tally {
    int64_t calls = 0;
    int64_t poolHits = 0;
};

// One thread's share: heap and pool blocks through NewHandle, resource
// blocks, resizes in place and with moves, releases in random order. Every
// block's data is checked before it goes.
Tally Churn(Partition& partition, uint32_t seed, int rounds) {
    std::mt19937 rng(seed);
    Tally tally;
    struct Live {
        Handle h;
        bool resource;
        uint8_t tag;
    };
    std::vector<Live> live;
    char resourceData[64] = {};
    for (int i = 0; i < rounds; ++i) {
        const uint32_t pick = rng() % 10;
        if (pick < 4 || live.empty()) {
            const size_t size = rng() % 3 == 0 ? rng() % 9000 : rng() % 160;
            Handle h = partition.NewHandle(size);
            if (h == nullptr) continue;
            ++tally.calls;
            if (reinterpret_cast<MemoryBlock*>(h)->pool != nullptr) ++tally.poolHits;
            const auto tag = static_cast<uint8_t>(rng());
            std::fill_n(*h, size, static_cast<char>(tag));
            live.push_back({h, false, tag});
        } else if (pick == 4) {
            MemoryBlock* r = partition.AllocateFromExistingResource(resourceData, sizeof resourceData);
            if (r == nullptr) continue;
            ++tally.calls;
            live.push_back({reinterpret_cast<Handle>(r), true, 0});
        } else if (pick < 7) {
            Live& b = live[rng() % live.size()];
            if (b.resource) continue;
            const size_t size = rng() % 2 ? partition.GetHandleSize(b.h) + rng() % 300 : rng() % 12000;
            EXPECT_TRUE(partition.SetHandleSize(b.h, size));
            std::fill_n(*b.h, size, static_cast<char>(b.tag));
        } else {
            const size_t k = rng() % live.size();
            Live b = live[k];
            live[k] = live.back();
            live.pop_back();
            if (b.resource) {
                partition.DeallocateResource(b.h);
            } else {
                const size_t size = partition.GetHandleSize(b.h);
                EXPECT_EQ(std::count(*b.h, *b.h + size, static_cast<char>(b.tag)), static_cast<long>(size));
                partition.DisposeHandle(b.h);
            }
        }
    }
    for (const Live& b : live) {
        if (b.resource)
            partition.DeallocateResource(b.h);
        else
            partition.DisposeHandle(b.h);
    }
    return tally;
}

} // namespace

TEST(CountersStress, ConcurrentHeapPoolResourceAndResizeKeepCountsExact) {
    Partition partition;
    Handle pool = partition.CreatePool(128, 48);
    ASSERT_NE(pool, nullptr);
    const int64_t storageBytes = partition.bytesAllocated;
    partition.SetCurrentPool(pool);
    partition.SetPoolEnabled(true);

    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<Tally> tallies(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] { tallies[t] = Churn(partition, 100u + static_cast<uint32_t>(t), kRounds); });
    for (auto& th : threads) th.join();

    Tally total;
    for (const Tally& t : tallies) {
        total.calls += t.calls;
        total.poolHits += t.poolHits;
    }
    EXPECT_GT(total.poolHits, 0);
    EXPECT_EQ(partition.numCalls, 1 + total.calls) << "the pool's storage, then every request";
    EXPECT_EQ(partition.numpoolHits, total.poolHits);
    EXPECT_EQ(partition.numBlocks, 1);
    EXPECT_EQ(partition.bytesAllocated, storageBytes);
    unsigned long registered = 0, resources = 0;
    for (unsigned long c : partition.blockCounts) registered += c;
    for (unsigned long c : partition.resourceCounts) resources += c;
    EXPECT_EQ(registered, 1u);
    EXPECT_EQ(resources, 0u);
    EXPECT_EQ(reinterpret_cast<KRMM::PoolHeader*>(*pool)->freeCount, 48u);
    partition.DestroyPool(pool);
}

// Holders keep the lock long enough that waiters give up spinning and sleep;
// every release must wake one of them, or the test never finishes.
TEST(LockStress, SleepingWaitersAreAlwaysWoken) {
    os_unfair_lock lock = {0};
    constexpr int kThreads = 4;
    constexpr int kRounds = 400;
    long inside = 0;  // plain: only the lock protects it
    long total = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                os_unfair_lock_lock(&lock);
                EXPECT_EQ(++inside, 1);
                const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds((i + t) % 3 == 0 ? 50 : 1);
                while (std::chrono::steady_clock::now() < until) {
                }
                ++total;
                --inside;
                os_unfair_lock_unlock(&lock);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(total, long{kThreads} * kRounds);
    EXPECT_EQ(lock._os_unfair_lock_opaque, 0u);
    // Whether anyone slept depends on the scheduler (valgrind runs one thread
    // at a time); the lock test holds a waiter out long enough to be sure.
}
