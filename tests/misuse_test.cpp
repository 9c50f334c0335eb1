// misuse_test.cpp - things outside the contract that users do anyway:
// releasing a pool block twice, releasing blocks with damaged headers,
// destroying a pool or a partition with blocks still out. Each must be
// reported or absorbed without a crash, a leak or a broken registry (the asan
// preset runs these under ASan and LSan).
#include <memory>

#include <KRMM/Diagnostics.h>

#include "krmm_test.h"

namespace {

using namespace krmm_test;
using KRMM::PoolHeader;

// Through DisposeHandle and through ReleasePoolBlock: reported once; the
// pool's lists, the registry and the heap stay as they were, and the pool
// still hands out the block. Deallocate counts the block out again, as it
// does for every pointer before it hands a pool block on, unless the
// hardened checks refuse the stale handle first.
TEST(Misuse, SecondReleaseOfAPoolBlockIsReportedAndChangesNothing) {
    for (bool direct : {false, true}) {
        SCOPED_TRACE(direct ? "ReleasePoolBlock" : "DisposeHandle");
        Partition p;
        Handle pool = p.CreatePool(32, 4);
        p.SetCurrentPool(pool);
        p.SetPoolEnabled(true);
        Handle a = p.NewHandle(20);
        const auto release = [&] { direct ? p.ReleasePoolBlock(pool, a) : p.DisposeHandle(a); };
        release();
        const PoolHeader& h = *reinterpret_cast<PoolHeader*>(*pool);
        const auto lists = make_tuple(h.freeCount, h.freeList, h.usedList, Linked(p.blockCounts));
        const int64_t blocks = p.numBlocks;
        AssertLog log;
        HeapRefusal heap;
        release();
        EXPECT_EQ(log.Failures(), 1u);
        EXPECT_EQ(heap.Requests(), 0u);
        EXPECT_EQ(p.numBlocks, blocks - (!direct && !KRMM::diag::HardenedChecks()));
        EXPECT_EQ(make_tuple(h.freeCount, h.freeList, h.usedList, Linked(p.blockCounts)), lists);
        EXPECT_EQ(p.NewHandle(8), a) << "the pool still works";
    }
}

// A damaged magic number is reported, and the block released all the same.
TEST(Misuse, BlocksWithDamagedHeadersAreReportedAndReleasedAllTheSame) {
    Partition p;
    char data[16];
    Handle heap = p.NewHandle(8), resource = AsHandle(p.AllocateFromExistingResource(data, sizeof data));
    Handle pool = p.CreatePool(32, 2), pooled = AsHandle(p.RequestPoolBlock(pool));
    AssertLog log;
    Hdr(heap)->magic = 0;
    p.Deallocate(*heap);
    Hdr(resource)->magic = 0;
    p.DeallocateResource(resource);
    p.DeallocateResource(pooled);  // a pool block is no resource: back into its pool
    EXPECT_EQ(log.Failures(), 3u);
    EXPECT_EQ(p.GetBlockCount(), 1u) << "only the pool's storage";
    EXPECT_EQ(Linked(p.resourceCounts), 0u);
    EXPECT_FALSE(p.IsHandleInUse(pooled));
    EXPECT_TRUE(KRMM::diag::CheckPartition(p).empty());
}

// A pool formatted in a block of another pool, destroyed with blocks out
// (grown, instantiated, with call stacks), then the partition with the outer
// pool's blocks out: every heap block is given back, no destructor or
// callback runs. The fuzzer destroys pools and partitions holding everything else.
TEST(Misuse, NestedPoolsDestroyedWithBlocksOutLeaveNothingBehind) {
    g_heardCount = 0;
    HeapRefusal heap;
    auto partition = std::make_unique<Partition>();
    Partition& p = *partition;
    p.RegisterMemoryCallbackFunction(&Hear, nullptr);
    p.EnableStackTraceInfo(true);
    Handle outer = p.CreatePool(1024, 3);
    p.SetCurrentPool(outer);
    p.SetPoolEnabled(true);
    const long live = heap.LiveDelta();
    const int64_t blocks = p.numBlocks;
    Handle inner = p.CreatePool(16, 5);  // 5 * (16 + 168) + 64 bytes: a block of the outer pool
    ASSERT_EQ(Hdr(inner)->pool, outer);
    p.SetCurrentPool(inner);
    ASSERT_TRUE(p.SetHandleSize(p.NewHandle(16), 700));
    Handle node = p.NewHandle(8);
    p.SetInstantiatedState(*node, true);
    p.SetDestructor(*node, [](const void*) { ADD_FAILURE() << "taking a block back ran its destructor"; });
    p.DestroyPool(inner);
    EXPECT_EQ(p.currentPool, nullptr);
    EXPECT_EQ(heap.LiveDelta(), live) << "blocks, records and the grown block's storage given back";
    EXPECT_EQ(p.numBlocks, blocks + 2) << "only the pool's storage is counted out";
    p.SetCurrentPool(outer);
    ASSERT_TRUE(p.SetHandleSize(AsHandle(p.RequestPoolBlock(outer)), 5000));
    partition.reset();
    EXPECT_EQ(heap.LiveDelta(), 0) << "the partition left heap blocks behind";
    EXPECT_EQ(g_heardCount, 0u) << "a callback ran";
}

} // namespace
