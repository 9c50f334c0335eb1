// The classic interface's block records under threads: lookups that race
// with other threads' records, removals and table growth still find each
// block's own zone and flags.
#include <KRMM/MacMemory.h>

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/KRMM.h>

TEST(MacMemoryThreads, LookupsRacingWithRecordsFindTheirOwnZone) {
    constexpr int kThreads = 4, kRounds = 200, kLive = 64;
    std::vector<KRMM::Partition*> zones;
    for (int t = 0; t < kThreads; ++t) zones.push_back(new KRMM::Partition());
    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            SetZone(zones[t]);
            std::vector<Handle> live;
            for (int round = 0; round < kRounds; ++round) {
                while (live.size() < kLive) live.push_back(NewHandle(16 + round % 32));
                for (size_t i = 0; i < live.size(); i += 2) HPurge(live[i]);
                for (size_t i = 0; i < live.size(); ++i) {
                    const bool purgeable = (HGetState(live[i]) & 0x40) != 0;
                    wrong[t] += HandleZone(live[i]) != zones[t] || purgeable != (i % 2 == 0);
                }
                for (int i = 0; i < kLive / 2; ++i, live.pop_back()) DisposeHandle(live.back());
            }
            for (Handle h : live) DisposeHandle(h);
            SetZone(nullptr);
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(wrong[t], 0);
        EXPECT_EQ(zones[t]->numBlocks, 0);
        delete zones[t];
    }
}
