// Records and registry: the header layout, the bucket hash, the chain
// operations and a new partition's initial values.
#include <cstddef>
#include <cstring>

#include <gtest/gtest.h>

#include <KRMM/KRMM.h>

#include "assert_log.h"

using KRMM::MemoryBlock;
using KRMM::Partition;

namespace {

const MemoryBlock* At(uintptr_t address) {
    return reinterpret_cast<const MemoryBlock*>(address);
}

} // namespace

TEST(Records, HeaderLayoutIsFixed) {
    EXPECT_EQ(sizeof(MemoryBlock), 136u);
    EXPECT_EQ(offsetof(MemoryBlock, masterPtr), 0u);
    EXPECT_EQ(offsetof(MemoryBlock, bucket), 8u);
    EXPECT_EQ(offsetof(MemoryBlock, next), 16u);
    EXPECT_EQ(offsetof(MemoryBlock, prev), 24u);
    EXPECT_EQ(offsetof(MemoryBlock, memSize), 32u);
    EXPECT_EQ(offsetof(MemoryBlock, capacity), 40u);
    EXPECT_EQ(offsetof(MemoryBlock, flags), 48u);
    EXPECT_EQ(offsetof(MemoryBlock, oversize), 52u);
    EXPECT_EQ(offsetof(MemoryBlock, pool), 56u);
    EXPECT_EQ(offsetof(MemoryBlock, qtResource), 64u);
    EXPECT_EQ(offsetof(MemoryBlock, resFile), 72u);
    EXPECT_EQ(offsetof(MemoryBlock, stackTrace), 80u);
    EXPECT_EQ(offsetof(MemoryBlock, locked), 88u);
    EXPECT_EQ(offsetof(MemoryBlock, userData), 96u);
    EXPECT_EQ(offsetof(MemoryBlock, instantiated), 104u);
    EXPECT_EQ(offsetof(MemoryBlock, destructor), 112u);
    EXPECT_EQ(offsetof(MemoryBlock, magic), 120u);
    EXPECT_EQ(offsetof(MemoryBlock, blockLink), 128u);
    EXPECT_EQ(sizeof(KRMM::PoolHeader), 64u);
    EXPECT_EQ(KRMM::kBlockMagic, 0xA4FEB3AFu);
    EXPECT_EQ(KRMM::kPoolBlockMagic, 0xFACEFEEDu);
    EXPECT_EQ(KRMM::kInlineDataLimit, 5000u);
}

TEST(Records, BucketHashMatchesKnownVectors) {
    EXPECT_EQ(Partition::GetMemoryBlockHash(At(0x1000)), 102u);
    EXPECT_EQ(Partition::GetMemoryBlockHash(At(0x100000000)), 200u);
    EXPECT_EQ(Partition::GetMemoryBlockHash(At(0x600000C04000)), 742u);
    EXPECT_EQ(Partition::GetMemoryBlockHash(At(0)), 890u);
    // The top three bits of the low half are shifted out before mixing.
    EXPECT_EQ(Partition::GetMemoryBlockHash(At(0x6000A0C04000)), 742u);
}

TEST(Records, HashSpreadsHeapAddressesOverAllBuckets) {
    bool seen[1024] = {};
    for (uintptr_t a = 0x55d0c1a20000; a < 0x55d0c1a20000 + 200000 * 16; a += 16) {
        const unsigned long b = Partition::GetMemoryBlockHash(At(a));
        ASSERT_LT(b, 1024u);
        seen[b] = true;
    }
    for (bool s : seen) EXPECT_TRUE(s);
}

TEST(Records, ChainsListNewestFirstAndUnlinkCleanly) {
    Partition partition;
    // Three headers in one bucket, found by address search.
    // 16384 candidate addresses: three in one bucket are all but certain.
    alignas(MemoryBlock) static unsigned char arena[16384 * sizeof(MemoryBlock)];
    MemoryBlock* same[3];
    int found = 0;
    const unsigned long target =
        Partition::GetMemoryBlockHash(reinterpret_cast<MemoryBlock*>(arena));
    for (size_t i = 0; i < 16384 && found < 3; ++i) {
        auto* b = reinterpret_cast<MemoryBlock*>(arena + i * sizeof(MemoryBlock));
        if (Partition::GetMemoryBlockHash(b) == target) same[found++] = b;
    }
    ASSERT_EQ(found, 3);
    MemoryBlock* buckets[1024] = {};
    unsigned long counts[1024] = {};
    for (MemoryBlock* b : same) partition.HookupBlockToList(b, buckets, counts);

    EXPECT_EQ(counts[target], 3u);
    EXPECT_EQ(buckets[target], same[2]);
    EXPECT_EQ(same[2]->next, same[1]);
    EXPECT_EQ(same[1]->next, same[0]);
    EXPECT_EQ(same[0]->next, nullptr);
    EXPECT_EQ(same[2]->prev, nullptr);
    EXPECT_EQ(same[0]->bucket, target);

    partition.RemoveBlockFromList(same[1], buckets, counts);
    EXPECT_EQ(counts[target], 2u);
    EXPECT_EQ(same[2]->next, same[0]);
    EXPECT_EQ(same[0]->prev, same[2]);
    EXPECT_EQ(same[1]->bucket, 0u);
    EXPECT_EQ(same[1]->next, nullptr);
    EXPECT_EQ(same[1]->prev, nullptr);

    partition.RemoveBlockFromList(same[2], buckets, counts);
    EXPECT_EQ(buckets[target], same[0]);
    EXPECT_EQ(same[0]->prev, nullptr);
    EXPECT_EQ(counts[target], 1u);
    // The partition's own registries were never touched.
    EXPECT_EQ(partition.blockCounts[target], 0u);
}

TEST(Records, NewPartitionHasInitialValues) {
    Partition partition;
    EXPECT_EQ(partition.currentPool, nullptr);
    EXPECT_EQ(partition.poolEnabled, 0u);
    for (size_t i = 0; i < 1024; ++i) {
        ASSERT_EQ(partition.blockBuckets[i], nullptr);
        ASSERT_EQ(partition.resourceBuckets[i], nullptr);
        ASSERT_EQ(partition.blockCounts[i], 0u);
        ASSERT_EQ(partition.resourceCounts[i], 0u);
    }
    EXPECT_EQ(partition.bytesAllocated, 0);
    EXPECT_EQ(partition.numBlocks, 0);
    EXPECT_EQ(partition.numCalls, 0);
    EXPECT_EQ(partition.numpoolHits, 0);
    EXPECT_EQ(partition.numAllocates, 0);
    EXPECT_EQ(partition.word1000, 1000u);
    EXPECT_EQ(partition.wordABCD, 0xABCDu);
    EXPECT_FALSE(partition.stackTraceEnabled);
    EXPECT_EQ(partition.stackTraceDepth, 16u);
    const size_t bounds[13] = {10,     50,     100,     500,     1000,    5000,    10000,
                               50000,  100000, 500000,  1000000, 5000000, 10000000};
    for (size_t i = 0; i < 13; ++i) {
        EXPECT_EQ(partition.statSlotBounds[i], bounds[i]);
        EXPECT_EQ(partition.statSlotCounts[i], 0u);
    }
    EXPECT_EQ(partition.statTotal, 0);
    for (size_t i = 0; i < 128; ++i) {
        ASSERT_EQ(partition.callbackProcs[i], nullptr);
        ASSERT_EQ(partition.callbackRefCounts[i], 0);
        ASSERT_EQ(partition.callbackUserData[i], nullptr);
    }
    EXPECT_EQ(Partition::partitionList, &partition);
    EXPECT_EQ(partition.prevPartition, nullptr);
}

TEST(Records, AssertHookHasNoEffect) {
    Partition::KRMM_Assert(false, "nothing happens");
    Partition::KRMM_Assert(true, "nothing happens");
    krmm_test::AssertLog log;
    Partition::KRMM_Assert(false, "seen by the observer only");
    ASSERT_EQ(log.Failures().size(), 1u);
    EXPECT_EQ(log.Failures()[0], "seen by the observer only");
}

TEST(Records, GetHandleFollowsTheLinkWordAcrossMoves) {
    Partition partition;
    char* p = partition.Allocate(40);
    auto h = partition.GetHandle(p);
    EXPECT_EQ(reinterpret_cast<char*>(h) + 136, p);
    ASSERT_TRUE(partition.Resize(h, 9000, {}));
    EXPECT_NE(*h, p);
    EXPECT_EQ(partition.GetHandle(*h), h);
    partition.Deallocate(*h);
}
