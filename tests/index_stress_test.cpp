// index_stress_test.cpp - lookups racing with links, unlinks, moves and the
// index's own rebuilds on other threads still find every block that stays.
#include <atomic>
#include <random>
#include <thread>

#include "krmm_test.h"

namespace {

using namespace krmm_test;

TEST(LookupIndexStress, LookupsNeverMissABlockThatStaysWhileOthersComeAndGo) {
    Partition p;
    std::vector<Handle> kept;
    for (size_t n : {16, 300, 6000, 40}) kept.push_back(p.NewHandle(n));
    ASSERT_TRUE(p.SetHandleSize(kept[3], 900));  // moved data
    std::atomic<bool> done{false};
    std::atomic<long> misses{0};
    std::thread checker([&] {
        while (!done.load()) {
            for (Handle h : kept) {
                misses += !p.HandleBelongsToUs(h);
                misses += p.GetVerifiedHandle(*h) != h;
            }
        }
    });
    // Thousands of blocks at a time: the tables grow, and churn fills them
    // with tombstones that are cleared in place.
    std::thread churner([&] {
        std::mt19937 rng(7);
        std::vector<Handle> mine;
        for (int round = 0; round < 40; ++round) {
            for (int i = 0; i < 3000; ++i) mine.push_back(p.NewHandle(rng() % 2 ? 24 : 5200));
            for (Handle h : mine)
                if (rng() % 3 == 0) p.SetHandleSize(h, 700);
            for (Handle h : mine) p.DisposeHandle(h);
            mine.clear();
        }
        done = true;
    });
    churner.join();
    checker.join();
    EXPECT_EQ(misses.load(), 0);
    for (Handle h : kept) p.DisposeHandle(h);
}

} // namespace
