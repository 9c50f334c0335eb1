// pool_test.cpp - pool layout, hand-out order, release, growth and destruction.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/KRMM.h>

#include "assert_log.h"
#include "heap_refusal.h"

namespace {

using KRMM::Handle;
using KRMM::MemoryBlock;
using KRMM::Partition;
using KRMM::PoolHeader;

PoolHeader* HeaderOf(Handle pool) { return reinterpret_cast<PoolHeader*>(*pool); }

MemoryBlock* BlockAt(Handle pool, size_t i) {
    PoolHeader* h = HeaderOf(pool);
    return reinterpret_cast<MemoryBlock*>(reinterpret_cast<char*>(h->firstBlock) + i * h->blockStride);
}

unsigned long RegisteredBlocks(const Partition& partition) {
    unsigned long n = 0;
    for (unsigned long c : partition.blockCounts) n += c;
    return n;
}

void Fill(char* p, size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<char>(rng());
}

bool Holds(const char* p, size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    for (size_t i = 0; i < n; ++i)
        if (p[i] != static_cast<char>(rng())) return false;
    return true;
}

TEST(Pool, CreatePoolFormatsHeaderSlotsAndBlocks) {
    Partition partition;
    Handle pool = partition.CreatePool(64, 3);
    ASSERT_NE(pool, nullptr);
    PoolHeader* h = HeaderOf(pool);
    EXPECT_EQ(partition.GetHandleSize(pool), 3 * (64 + 136 + 32) + 64u);
    EXPECT_EQ(h->blockStride, 200u);
    EXPECT_EQ(h->freeCount, 3u);
    EXPECT_EQ(reinterpret_cast<char*>(h->slots), reinterpret_cast<char*>(h) + 64);
    EXPECT_EQ(reinterpret_cast<char*>(h->firstBlock), reinterpret_cast<char*>(h->slots) + 3 * 32);
    EXPECT_EQ(h->freeList, h->slots);
    EXPECT_EQ(h->usedList, nullptr);
    for (size_t i = 0; i < 3; ++i) {
        MemoryBlock* b = BlockAt(pool, i);
        EXPECT_EQ(b->masterPtr, reinterpret_cast<char*>(b) + 136);
        EXPECT_EQ(b->blockLink, b);
        EXPECT_EQ(b->magic, KRMM::kPoolBlockMagic);
        EXPECT_EQ(b->flags, KRMM::kBlockFlagPooled);
        EXPECT_EQ(b->pool, pool);
        EXPECT_EQ(h->slots[i].nextSlot, i < 2 ? &h->slots[i + 1] : nullptr);
        EXPECT_FALSE(partition.IsHandleInUse(reinterpret_cast<Handle>(b)));
    }
    EXPECT_EQ(RegisteredBlocks(partition), 1u) << "only the storage block";
    partition.DestroyPool(pool);
}

TEST(Pool, CreatePoolReturnsNullForOverflowRefusalAndServesNothingWhenEmpty) {
    Partition partition;
    EXPECT_EQ(partition.CreatePool(SIZE_MAX - 100, 1), nullptr);
    EXPECT_EQ(partition.CreatePool(64, SIZE_MAX / 200), nullptr);
    EXPECT_EQ(partition.numCalls, 0) << "an impossible size never reaches the heap";
    {
        auto heap = krmm_test::HeapRefusal::FailNth(1);
        EXPECT_EQ(partition.CreatePool(64, 4), nullptr);
    }
    EXPECT_EQ(RegisteredBlocks(partition), 0u);
    Handle empty = partition.CreatePool(32, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(partition.RequestPoolBlock(empty), nullptr);
    partition.DestroyPool(empty);
}

TEST(Pool, HandsOutInAddressOrderThenFallsBackToTheHeap) {
    Partition partition;
    Handle pool = partition.CreatePool(64, 3);
    partition.SetCurrentPool(pool);
    KRMM::Ptr heapOnly = partition.NewPtr(16);
    EXPECT_EQ(partition.numpoolHits, 0) << "pooling is off until enabled";
    partition.SetPoolEnabled(true);
    EXPECT_EQ(partition.poolEnabled, 1u);

    std::vector<KRMM::Ptr> got;
    for (size_t i = 0; i < 3; ++i) {
        got.push_back(partition.NewPtr(i * 30));  // 0, 30, 60: all fit
        MemoryBlock* b = BlockAt(pool, i);
        EXPECT_EQ(partition.GetHandle(got.back()), reinterpret_cast<Handle>(b));
        EXPECT_EQ(b->memSize, i * 30);
        EXPECT_TRUE(partition.IsHandleInUse(reinterpret_cast<Handle>(b)));
    }
    EXPECT_EQ(HeaderOf(pool)->freeCount, 0u);
    KRMM::Ptr fallback = partition.NewPtr(8);
    KRMM::Ptr tooBig = partition.NewPtr(65);
    EXPECT_EQ(reinterpret_cast<MemoryBlock*>(partition.GetHandle(fallback))->pool, nullptr);
    EXPECT_EQ(reinterpret_cast<MemoryBlock*>(partition.GetHandle(tooBig))->pool, nullptr);
    EXPECT_EQ(partition.numpoolHits, 3);
    EXPECT_EQ(partition.numCalls, 1 + 1 + 3 + 2);

    const int64_t bytes = partition.bytesAllocated;
    partition.DisposePtr(got[1]);
    EXPECT_EQ(partition.bytesAllocated, bytes - 30);
    EXPECT_FALSE(partition.IsHandleInUse(reinterpret_cast<Handle>(BlockAt(pool, 1))));
    partition.SetPoolEnabled(false);
    EXPECT_EQ(partition.poolEnabled, 0u);
    for (KRMM::Ptr p : {got[0], got[2], fallback, tooBig, heapOnly}) partition.DisposePtr(p);
    partition.DestroyPool(pool);
    EXPECT_EQ(partition.currentPool, nullptr);
    EXPECT_EQ(partition.numBlocks, 0);
    EXPECT_EQ(partition.bytesAllocated, 0);
}

TEST(Pool, LastReleasedIsHandedOutFirst) {
    Partition partition;
    Handle pool = partition.CreatePool(16, 4);
    MemoryBlock* b[4];
    for (auto& block : b) block = partition.RequestPoolBlock(pool);
    EXPECT_EQ(partition.RequestPoolBlock(pool), nullptr);
    partition.ReleasePoolBlock(pool, reinterpret_cast<Handle>(b[2]));
    EXPECT_EQ(partition.RequestPoolBlock(pool), b[2]);
    partition.ReleasePoolBlock(pool, reinterpret_cast<Handle>(b[3]));  // k
    partition.ReleasePoolBlock(pool, reinterpret_cast<Handle>(b[0]));  // then j
    EXPECT_EQ(partition.RequestPoolBlock(pool), b[0]);
    EXPECT_EQ(partition.RequestPoolBlock(pool), b[3]);
    EXPECT_EQ(HeaderOf(pool)->usedList, &HeaderOf(pool)->slots[3]);
    for (auto* block : b) partition.ReleasePoolBlock(pool, reinterpret_cast<Handle>(block));
    EXPECT_EQ(HeaderOf(pool)->freeCount, 4u);
    EXPECT_EQ(HeaderOf(pool)->usedList, nullptr);
    EXPECT_EQ(RegisteredBlocks(partition), 1u);
    partition.DestroyPool(pool);
}

TEST(Pool, GrowthPastBlockSizeIsUndoneByRelease) {
    Partition partition;
    Handle pool = partition.CreatePool(64, 2);
    MemoryBlock* b = partition.RequestPoolBlock(pool);
    Handle h = reinterpret_cast<Handle>(b);
    Fill(*h, 64, 7);
    void** resource = reinterpret_cast<void**>(&partition);
    b->qtResource = resource;
    b->resFile = 12;
    b->userData = &partition;
    b->locked = true;
    b->oversize = 40;
    {
        auto heap = krmm_test::HeapRefusal::RecordOnly();
        ASSERT_TRUE(partition.SetHandleSize(h, 500));
        EXPECT_TRUE(b->flags & KRMM::kBlockFlagDetached);
        EXPECT_TRUE(Holds(*h, 64, 7));
        EXPECT_EQ(partition.GetHandle(*h), h);
        partition.ReleasePoolBlock(pool, h);
        EXPECT_EQ(heap.LiveDelta(), 0) << "detached storage freed";
    }
    EXPECT_EQ(b->masterPtr, reinterpret_cast<char*>(b) + 136);
    EXPECT_EQ(b->flags, KRMM::kBlockFlagPooled);
    EXPECT_EQ(b->memSize, 64u);
    EXPECT_EQ(b->capacity, 64u);
    EXPECT_EQ(b->qtResource, nullptr);
    EXPECT_EQ(b->resFile, -1);
    EXPECT_EQ(b->userData, nullptr);
    EXPECT_TRUE(b->locked) << "left as the last user left it";
    EXPECT_EQ(b->oversize, 40u);
    EXPECT_EQ(b->magic, KRMM::kPoolBlockMagic);

    MemoryBlock* again = partition.RequestPoolBlock(pool);
    ASSERT_EQ(again, b);
    again->resFile = 5;  // no resource: resFile survives the release
    partition.SetHandleSize(reinterpret_cast<Handle>(again), 10);
    partition.ReleasePoolBlock(pool, reinterpret_cast<Handle>(again));
    EXPECT_EQ(b->resFile, 5);
    EXPECT_EQ(b->memSize, 10u) << "inline data keeps its memSize";
    partition.DestroyPool(pool);
}

TEST(Pool, SecondReleaseIsReportedAndChangesNothing) {
    Partition partition;
    Handle pool = partition.CreatePool(32, 3);
    MemoryBlock* a = partition.RequestPoolBlock(pool);
    MemoryBlock* b = partition.RequestPoolBlock(pool);
    partition.ReleasePoolBlock(pool, reinterpret_cast<Handle>(a));
    const PoolHeader before = *HeaderOf(pool);
    const unsigned long registered = RegisteredBlocks(partition);
    krmm_test::AssertLog log;
    partition.ReleasePoolBlock(pool, reinterpret_cast<Handle>(a));
    EXPECT_EQ(log.Failures(), std::vector<std::string>{"ReleasePoolBlock called on block that wasn't in use."});
    EXPECT_EQ(HeaderOf(pool)->freeCount, before.freeCount);
    EXPECT_EQ(HeaderOf(pool)->freeList, before.freeList);
    EXPECT_EQ(HeaderOf(pool)->usedList, before.usedList);
    EXPECT_EQ(RegisteredBlocks(partition), registered);
    partition.ReleasePoolBlock(pool, reinterpret_cast<Handle>(b));
    EXPECT_EQ(log.Failures().size(), 1u);
    partition.DestroyPool(pool);
}

TEST(Pool, DestroyPoolTakesBackBlocksStillOut) {
    Partition partition;
    partition.EnableStackTraceInfo(true);
    Handle current = partition.CreatePool(64, 4);
    Handle other = partition.CreatePool(64, 4);
    partition.SetCurrentPool(current);
    {
        auto heap = krmm_test::HeapRefusal::RecordOnly();
        MemoryBlock* grown = partition.RequestPoolBlock(other);
        partition.RequestPoolBlock(other);
        ASSERT_TRUE(partition.SetHandleSize(reinterpret_cast<Handle>(grown), 1000));
        partition.DestroyPool(other);
        EXPECT_EQ(partition.currentPool, current) << "another pool leaves currentPool alone";
        EXPECT_EQ(heap.LiveDelta(), -2 - 1) << "records, detached storage and the storage block";
    }
    partition.RequestPoolBlock(current);
    partition.DestroyPool(current);
    EXPECT_EQ(partition.currentPool, nullptr);
    EXPECT_EQ(RegisteredBlocks(partition), 0u);
}

} // namespace
