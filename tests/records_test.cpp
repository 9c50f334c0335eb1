// Records and registry: the header layout, the bucket hash, the chain
// operations and a new partition's initial values.
#include "krmm_test.h"

using namespace krmm_test;

TEST(Records, HeaderLayoutAndConstantsAreFixed) {
    const size_t actualAndExpected[][2] = {
        {offsetof(MemoryBlock, masterPtr), 0}, {offsetof(MemoryBlock, bucket), 8}, {offsetof(MemoryBlock, next), 16},
        {offsetof(MemoryBlock, prev), 24}, {offsetof(MemoryBlock, memSize), 32}, {offsetof(MemoryBlock, capacity), 40},
        {offsetof(MemoryBlock, flags), 48}, {offsetof(MemoryBlock, oversize), 52}, {offsetof(MemoryBlock, pool), 56},
        {offsetof(MemoryBlock, qtResource), 64}, {offsetof(MemoryBlock, resFile), 72},
        {offsetof(MemoryBlock, stackTrace), 80}, {offsetof(MemoryBlock, locked), 88},
        {offsetof(MemoryBlock, userData), 96}, {offsetof(MemoryBlock, instantiated), 104},
        {offsetof(MemoryBlock, destructor), 112}, {offsetof(MemoryBlock, magic), 120},
        {offsetof(MemoryBlock, blockLink), 128}, {sizeof(MemoryBlock), 136}, {sizeof(KRMM::PoolHeader), 64},
        {sizeof(KRMM::PoolSlot), 32}, {KRMM::kInlineDataLimit, 5000}, {KRMM::kBlockMagic, 0xA4FEB3AF},
        {KRMM::kPoolBlockMagic, 0xFACEFEED}};
    for (size_t i = 0; i < std::size(actualAndExpected); ++i)
        EXPECT_EQ(actualAndExpected[i][0], actualAndExpected[i][1]) << "entry " << i;
}

TEST(Records, BucketHashMatchesKnownVectors) {
    // 0x6000A0C04000 differs from 0x600000C04000 only in bits the hash shifts out.
    const uintptr_t vectors[][2] = {{0x1000, 102}, {0x100000000, 200}, {0x600000C04000, 742}, {0, 890},
                                    {0x6000A0C04000, 742}};
    for (const auto& v : vectors) EXPECT_EQ(Partition::GetMemoryBlockHash(Hdr(reinterpret_cast<void*>(v[0]))), v[1]);
}

TEST(Records, ChainsListNewestFirstAndUnlinkCleanly) {
    Partition partition;
    alignas(MemoryBlock) static unsigned char arena[4096 * sizeof(MemoryBlock)];
    const unsigned long bucket = Partition::GetMemoryBlockHash(Hdr(arena));
    std::vector<MemoryBlock*> same;  // three headers, not overlapping, that share a bucket
    for (unsigned char* a = arena; a + sizeof(MemoryBlock) <= std::end(arena) && same.size() < 3; a += 8)
        if (Partition::GetMemoryBlockHash(Hdr(a)) == bucket && (same.empty() || Hdr(a) >= same.back() + 1))
            same.push_back(Hdr(a));
    ASSERT_EQ(same.size(), 3u);
    MemoryBlock* buckets[1024] = {};
    unsigned long counts[1024] = {};
    for (MemoryBlock* b : same) partition.HookupBlockToList(b, buckets, counts);
    using Chain = std::vector<const MemoryBlock*>;
    EXPECT_EQ((Chain{buckets[bucket], same[2]->next, same[1]->next, same[0]->next, same[2]->prev}),
              (Chain{same[2], same[1], same[0], nullptr, nullptr}));
    EXPECT_TRUE(counts[bucket] == 3 && same[0]->bucket == bucket);
    partition.RemoveBlockFromList(same[1], buckets, counts);  // the middle one
    EXPECT_TRUE(counts[bucket] == 2 && same[2]->next == same[0] && same[0]->prev == same[2]);
    EXPECT_TRUE(same[1]->bucket == 0 && same[1]->next == nullptr && same[1]->prev == nullptr);
    partition.RemoveBlockFromList(same[2], buckets, counts);  // the head
    EXPECT_TRUE(buckets[bucket] == same[0] && same[0]->prev == nullptr && counts[bucket] == 1);
    EXPECT_EQ(Linked(partition.blockCounts), 0u) << "only the registry passed in changes";
}

TEST(Records, NewPartitionHasInitialValues) {
    Partition p;
    EXPECT_TRUE(AllZero(p.blockBuckets) && AllZero(p.blockCounts) && AllZero(p.resourceBuckets) &&
                AllZero(p.resourceCounts) && AllZero(p.callbackProcs) && AllZero(p.callbackRefCounts) &&
                AllZero(p.callbackUserData) && AllZero(p.statSlotCounts));
    EXPECT_EQ(make_tuple(p.currentPool, p.poolEnabled, p.bytesAllocated, p.numBlocks, p.numCalls, p.numpoolHits,
                         p.numAllocates, p.word1000, p.wordABCD, p.stackTraceEnabled, p.stackTraceDepth, p.statTotal),
              make_tuple(Handle{}, 0u, int64_t{0}, int64_t{0}, 0, int64_t{0}, int64_t{0}, 1000u, 0xABCDu, false,
                         uint64_t{16}, 0));
    const size_t bounds[13] = {10, 50, 100, 500, 1000, 5000, 10000, 50000, 100000, 500000, 1000000, 5000000, 10000000};
    EXPECT_TRUE(std::equal(bounds, bounds + 13, p.statSlotBounds));
    EXPECT_TRUE(Partition::partitionList == &p && p.prevPartition == nullptr);
}
