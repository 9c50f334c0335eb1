// Pools: layout, hand-out and release order, exhaustion and the heap
// fallback, growth past blockSize, double release, and destruction with
// blocks still out.
#include "krmm_test.h"

using namespace krmm_test;
using KRMM::PoolHeader;

namespace {
PoolHeader& HeaderOf(Handle pool) { return *reinterpret_cast<PoolHeader*>(*pool); }
Handle BlockAt(Handle pool, size_t i) {
    return AsHandle(Hdr(reinterpret_cast<char*>(HeaderOf(pool).firstBlock) + i * HeaderOf(pool).blockStride));
}
} // namespace

TEST(Pool, CreatePoolFormatsHeaderSlotsAndBlocks) {
    Partition partition;
    Handle pool = partition.CreatePool(64, 3);
    const PoolHeader& h = HeaderOf(pool);
    char* const base = *pool;
    EXPECT_EQ(make_tuple(partition.GetHandleSize(pool), h.blockSize, h.blockCount, h.blockStride, h.freeCount,
                         h.freeList, h.usedList, reinterpret_cast<char*>(h.slots),
                         reinterpret_cast<char*>(h.firstBlock)),
              make_tuple(size_t{3 * (64 + 136 + 32) + 64}, size_t{64}, size_t{3}, size_t{200}, size_t{3}, h.slots,
                         static_cast<KRMM::PoolSlot*>(nullptr), base + 64, base + 64 + 3 * 32));
    for (size_t i = 0; i < 3; ++i) {
        const MemoryBlock* b = Hdr(BlockAt(pool, i));
        EXPECT_EQ(make_tuple(b->masterPtr, b->blockLink, b->magic, b->flags, b->pool, b->memSize, b->capacity,
                             b->resFile, h.slots[i].index, h.slots[i].nextSlot, partition.IsHandleInUse(AsHandle(b))),
                  make_tuple(reinterpret_cast<char*>(BlockAt(pool, i)) + 136, b, KRMM::kPoolBlockMagic,
                             KRMM::kBlockFlagPooled, pool, size_t{64}, size_t{64}, int16_t{-1}, i,
                             i < 2 ? &h.slots[i + 1] : nullptr, false));
    }
    EXPECT_EQ(Linked(partition.blockCounts), 1u) << "only the storage block is registered";
    partition.DestroyPool(pool);
    EXPECT_TRUE(!partition.CreatePool(SIZE_MAX - 100, 1) && !partition.CreatePool(64, SIZE_MAX / 200));
    EXPECT_EQ(partition.numCalls, 1) << "a size that cannot exist never reaches Allocate";
    Handle empty = partition.CreatePool(32, 0);
    EXPECT_TRUE(empty != nullptr && partition.RequestPoolBlock(empty) == nullptr);
}

TEST(Pool, AllocateUsesTheCurrentPoolOnlyWhenEnabledAndFallsBackWhenExhausted) {
    Partition p;
    Handle pool = p.CreatePool(64, 3);  // 760 bytes
    p.SetCurrentPool(pool);
    std::vector<Handle> got = {p.NewHandle(16)};  // pooling is off: the heap
    p.SetPoolEnabled(true);
    for (size_t size : {0, 32, 64, 8, 65}) got.push_back(p.NewHandle(size));  // three fit, then exhausted, too big
    for (size_t i = 0; i < got.size(); ++i) {
        const bool pooled = i >= 1 && i <= 3;
        EXPECT_TRUE(Hdr(got[i])->pool == (pooled ? pool : nullptr) && p.IsHandleInUse(got[i])) << i;
        EXPECT_TRUE(!pooled || got[i] == BlockAt(pool, i - 1)) << "address order";
    }
    EXPECT_EQ(make_tuple(HeaderOf(pool).freeCount, Hdr(got[2])->memSize, p.numpoolHits, p.numCalls, p.numBlocks,
                         p.bytesAllocated),
              make_tuple(size_t{0}, size_t{32}, int64_t{3}, 7, int64_t{7}, int64_t{760 + 16 + 32 + 64 + 8 + 65}));
    p.DisposeHandle(got[2]);
    EXPECT_TRUE(!p.IsHandleInUse(BlockAt(pool, 1)) && p.bytesAllocated == 760 + 16 + 64 + 8 + 65 && p.numBlocks == 6);
    p.SetPoolEnabled(false);
    EXPECT_EQ(Hdr(p.NewHandle(8))->pool, nullptr) << "pooling off again";
    p.DestroyPool(pool);
    EXPECT_EQ(p.currentPool, nullptr);
}

TEST(Pool, TheLastReleasedIsHandedOutFirstAndASecondReleaseChangesNothing) {
    Partition partition;
    Handle pool = partition.CreatePool(16, 4);
    std::vector<Handle> b;
    for (int i = 0; i < 5; ++i) b.push_back(AsHandle(partition.RequestPoolBlock(pool)));
    EXPECT_EQ(b, (std::vector<Handle>{BlockAt(pool, 0), BlockAt(pool, 1), BlockAt(pool, 2), BlockAt(pool, 3),
                                      nullptr})) << "address order, then none";
    partition.ReleasePoolBlock(pool, b[2]);
    EXPECT_EQ(AsHandle(partition.RequestPoolBlock(pool)), b[2]);
    partition.ReleasePoolBlock(pool, b[3]);  // k
    partition.ReleasePoolBlock(pool, b[0]);  // then j
    const Handle j = AsHandle(partition.RequestPoolBlock(pool)), k = AsHandle(partition.RequestPoolBlock(pool));
    EXPECT_EQ(make_tuple(j, k, HeaderOf(pool).usedList), make_tuple(b[0], b[3], &HeaderOf(pool).slots[3]));
    for (int i = 0; i < 3; ++i) partition.ReleasePoolBlock(pool, b[i]);
    const auto lists = [&] {
        const PoolHeader& h = HeaderOf(pool);
        return make_tuple(h.freeCount, h.freeList, h.usedList, h.slots[1].prevSlot, h.slots[1].nextSlot,
                          h.slots[1].inUse, Linked(partition.blockCounts));
    };
    const auto before = lists();
    AssertLog log;
    partition.ReleasePoolBlock(pool, b[1]);
    EXPECT_EQ(log.Failures().size(), 1u);
    EXPECT_EQ(lists(), before);
    EXPECT_EQ(make_tuple(HeaderOf(pool).freeCount, Linked(partition.blockCounts)), make_tuple(size_t{3}, 2ul));
}

TEST(Pool, ReleaseUndoesGrowthAndResetsTheHeaderForTheNextUser) {
    Partition partition;
    Handle pool = partition.CreatePool(64, 2), h = AsHandle(partition.RequestPoolBlock(pool));
    MemoryBlock* b = Hdr(h);
    Fill(*h, 64, 7);
    std::tie(b->qtResource, b->resFile, b->userData, b->locked, b->oversize) =
        make_tuple(&b->userData, 12, h, true, 40);
    {
        HeapRefusal heap = HeapRefusal::RecordOnly();
        ASSERT_TRUE(partition.SetHandleSize(h, 500) && (b->flags & KRMM::kBlockFlagDetached) && Holds(*h, 64, 7));
        partition.ReleasePoolBlock(pool, h);
        EXPECT_EQ(heap.LiveDelta(), 0) << "detached storage freed";
    }
    EXPECT_EQ(make_tuple(b->masterPtr, b->flags, b->memSize, b->capacity, b->qtResource, b->resFile, b->userData,
                         b->locked, b->oversize, b->magic),
              make_tuple(reinterpret_cast<char*>(b) + 136, KRMM::kBlockFlagPooled, size_t{64}, size_t{64},
                         static_cast<void**>(nullptr), int16_t{-1}, static_cast<void*>(nullptr), true, 40u,
                         KRMM::kPoolBlockMagic)) << "locked and oversize stay as the last user left them";
    ASSERT_EQ(AsHandle(partition.RequestPoolBlock(pool)), h);
    b->resFile = 5;  // no resource: resFile survives the release
    partition.SetHandleSize(h, 10);
    partition.ReleasePoolBlock(pool, h);
    EXPECT_EQ(make_tuple(b->resFile, b->memSize), make_tuple(int16_t{5}, size_t{10}));
}

// Blocks still out, some grown, when their pool or partition goes: nothing
// leaks, and destroying another pool leaves currentPool alone.
TEST(Pool, DestroyingAPoolOrPartitionWithBlocksOutLeaksNothing) {
    HeapRefusal heap = HeapRefusal::RecordOnly();
    {
        Partition partition;
        partition.EnableStackTraceInfo(true);
        Handle current = partition.CreatePool(64, 4), other = partition.CreatePool(64, 4);
        partition.SetCurrentPool(current);
        partition.SetPoolEnabled(true);
        for (Handle pool : {current, other, partition.CreatePool(48, 6)})
            for (int i = 0; i < 3; ++i) partition.SetHandleSize(AsHandle(partition.RequestPoolBlock(pool)), i * 500);
        partition.DestroyPool(other);
        EXPECT_EQ(partition.currentPool, current);
        EXPECT_EQ(Hdr(partition.NewHandle(32))->pool, current);
    }
    EXPECT_EQ(heap.LiveDelta(), 0);
}
