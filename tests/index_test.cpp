// index_test.cpp - the lookup index answers exactly what the chains answer,
// and block snapshots tell a reused address from the block that had it.
#include <random>
#include <unordered_map>
#include <unordered_set>

#include <KRMM/Diagnostics.h>

#include "krmm_test.h"

namespace {

using namespace krmm_test;

// What a walk of the chains says, as the validators would answer without an
// index: data pointers of ordinary blocks, and handles of both registries.
struct Walk {
    std::unordered_map<const void*, const MemoryBlock*> data;
    std::unordered_set<const void*> handles;
    explicit Walk(const Partition& p) {
        for (const auto* buckets : {p.blockBuckets, p.resourceBuckets})
            for (size_t i = 0; i < 1024; ++i)
                for (const MemoryBlock* b = buckets[i]; b != nullptr; b = b->next) {
                    handles.insert(b);
                    if (buckets == p.blockBuckets) data[b->masterPtr] = b;
                }
    }
    const MemoryBlock* Pointer(const void* ptr) const {
        const auto it = data.find(ptr);
        return ptr != nullptr && it != data.end() ? it->second : nullptr;
    }
};

// Seeded random sessions: inline, detached, moved, pool and resource blocks
// come and go (thousands at a time, so the index grows and clears its
// tombstones), and after every step each candidate (live and dead handles and
// data pointers, interior and foreign pointers) gets the chains' answer.
TEST(LookupIndex, AnswersAsTheChainsDoThroughRandomSessions) {
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        Partition p, other;
        Handle pool = p.CreatePool(64, 200);
        p.SetCurrentPool(pool);
        void* host[64];
        for (void*& master : host) master = &master;
        const size_t baseline = KRMM::diag::GetIndexStatistics(p).entries;  // the pool's storage
        std::vector<Handle> live, resources;
        std::vector<const void*> candidates;
        const Handle foreign = other.NewHandle(5000);
        for (int step = 0; step < 6000; ++step) {
            p.SetPoolEnabled(rng() % 4 == 0);
            const unsigned op = rng() % 10;
            if (op < 4 || live.size() < 50) {
                const size_t sizes[] = {0, 40, 64, 4999, 5000, 20000};
                live.push_back(p.NewHandle(sizes[rng() % 6]));
            } else if (op < 6) {
                Handle h = live[rng() % live.size()];
                ASSERT_TRUE(p.SetHandleSize(h, rng() % 2 ? p.GetHandleSize(h) + 200 : rng() % 100));
            } else if (op < 7 && resources.size() < 64) {
                resources.push_back(p.GetOrCreateHandleFromQTResourceHandle(&host[resources.size()], 8, 1));
            } else if (op < 8 && !resources.empty()) {
                candidates.push_back(resources.back());
                p.DeallocateResource(resources.back());
                resources.pop_back();
            } else {
                const size_t k = rng() % live.size();
                candidates.push_back(*live[k]);
                candidates.push_back(live[k]);
                p.DisposeHandle(live[k]);
                live[k] = live.back();
                live.pop_back();
            }
            if (candidates.size() > 64) candidates.erase(candidates.begin(), candidates.begin() + 32);
            if (step % 4 != 0) continue;
            const Walk walk(p);
            std::vector<const void*> asked(candidates);
            for (int i = 0; i < 8; ++i) {
                Handle h = live[rng() % live.size()];
                asked.insert(asked.end(), {h, *h, *h + 1, *h - 136});
            }
            if (!resources.empty()) asked.insert(asked.end(), {resources[0], *resources[0]});
            asked.insert(asked.end(), {foreign, *foreign, pool, *pool});
            for (const void* q : asked) {
                ASSERT_EQ(p.GetVerifiedBlockForPointer(q), walk.Pointer(q)) << step;
                ASSERT_EQ(p.HandleBelongsToUs(q), walk.handles.count(q) != 0) << step;
                ASSERT_EQ(p.PointerBelongsToUs(q, true), walk.Pointer(q) != nullptr) << step;
            }
        }
        EXPECT_GE(KRMM::diag::GetIndexStatistics(p).entries, baseline + live.size() + resources.size());
        for (Handle h : live) p.DisposeHandle(h);
        EXPECT_EQ(KRMM::diag::GetIndexStatistics(p).entries, baseline + resources.size());
        EXPECT_TRUE(KRMM::diag::CheckPartition(p).empty());
    }
}

// The chain operations named by their arrays alone keep a partition's index in step.
TEST(LookupIndex, FollowsThePublicChainOperations) {
    Partition p;
    Handle h = p.NewHandle(16);
    KRMM::EnterCriticalSection(&KRMM_CriticalSection);
    p.RemoveBlockFromList(Hdr(h), p.blockBuckets, p.blockCounts);
    p.HookupBlockToList(Hdr(h), p.resourceBuckets, p.resourceCounts);
    KRMM::LeaveCriticalSection(&KRMM_CriticalSection);
    EXPECT_EQ(p.GetVerifiedHandle(*h), nullptr) << "resource blocks are not found by pointer";
    EXPECT_TRUE(p.HandleBelongsToUs(h));
    KRMM::EnterCriticalSection(&KRMM_CriticalSection);
    p.RemoveBlockFromList(Hdr(h), p.resourceBuckets, p.resourceCounts);
    p.HookupBlockToList(Hdr(h), p.blockBuckets, p.blockCounts);
    KRMM::LeaveCriticalSection(&KRMM_CriticalSection);
    EXPECT_EQ(p.GetVerifiedHandle(*h), h);
    p.DisposeHandle(h);
}

// A pool hands a released block's address to the next request: an address
// list sees nothing new, the snapshot sees the new block.
TEST(BlockSnapshot, ABlockAtAReleasedBlocksAddressIsNew) {
    Partition p;
    Handle pool = p.CreatePool(32, 4);
    p.SetCurrentPool(pool);
    p.SetPoolEnabled(true);
    Handle kept = p.NewHandle(8), freed = p.NewHandle(8);
    std::vector<const void*> listBefore, listAfter, added;
    p.GetAllBlocks(listBefore);
    const std::vector<KRMM::diag::BlockStamp> before = KRMM::diag::TakeBlockSnapshot(p);
    p.DisposeHandle(freed);
    Handle reused = p.NewHandle(8);
    ASSERT_EQ(reused, freed) << "the pool hands the same block out again";
    p.GetAllBlocks(listAfter);
    EXPECT_EQ(p.SubtractBlockArrays(listAfter, listBefore, added), 0u) << "addresses alone miss it";
    EXPECT_EQ(KRMM::diag::BlocksNewSince(p, before), std::vector<const void*>{reused});
    p.DisposeHandle(kept);
    EXPECT_EQ(KRMM::diag::BlocksNewSince(p, before), std::vector<const void*>{reused});
    p.DisposeHandle(reused);
}

} // namespace
