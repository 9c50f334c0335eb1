// misuse_test.cpp - things outside the contract that users do anyway:
// releasing a pool block twice, destroying a pool or a partition with blocks
// still out. Each must be reported or absorbed without a crash, a leak or a
// broken registry (the asan preset runs these under ASan and LSan).
#include <memory>

#include "krmm_test.h"

namespace {

using namespace krmm_test;
using KRMM::PoolHeader;

// A pool block released twice through Deallocate (ReleasePoolBlock's own
// second release is a pool test): reported once; the pool's lists, the
// registry and the heap stay as they were. Deallocate counts the block out
// again, as it does for every pointer before it hands a pool block on,
// unless the hardened checks refuse the stale handle first.
TEST(Misuse, SecondReleaseOfAPoolBlockIsReportedAndChangesNothing) {
    Partition p;
    Handle pool = p.CreatePool(32, 4);
    p.SetCurrentPool(pool);
    p.SetPoolEnabled(true);
    Handle a = p.NewHandle(20), b = p.NewHandle(24);
    p.DisposePtr(*a);
    const PoolHeader& h = *reinterpret_cast<PoolHeader*>(*pool);
    const auto state = [&] { return make_tuple(h.freeCount, h.freeList, h.usedList, Linked(p.blockCounts)); };
    const auto before = state();
    const int64_t blocks = p.numBlocks;
    AssertLog log;
    auto heap = HeapRefusal::RecordOnly();
    p.DisposeHandle(a);
    const bool hardened = KRMM::diag::HardenedChecks();
    EXPECT_EQ(make_tuple(heap.Requests(), heap.LiveDelta(), p.numBlocks),
              make_tuple(size_t{0}, 0L, blocks - !hardened));
    ASSERT_EQ(log.Failures().size(), 1u);
    EXPECT_EQ(log.Failures()[0].rfind(hardened ? "KRMM hardened: a handle" : "ReleasePoolBlock called", 0), 0u);
    EXPECT_EQ(state(), before);
    EXPECT_EQ(make_tuple(p.NewHandle(8), p.IsHandleInUse(b)), make_tuple(a, true)) << "the pool still works";
}

// Pools formatted in blocks of another pool, current and not, destroyed with
// blocks out (grown ones, instantiated ones, with call stacks); then the
// partition, with everything out: detached, resource and host-backed blocks
// too. Every heap block is given back; no destructor or callback runs; the
// host's data is untouched.
TEST(Misuse, PoolsAndPartitionsDestroyedWithBlocksOutLeaveNothingBehind) {
    char host[128];
    Fill(host, sizeof host, 3);
    void* hostMaster = host;
    g_heardCount = 0;
    auto heap = HeapRefusal::RecordOnly();
    auto partition = std::make_unique<Partition>();
    Partition& p = *partition;
    p.RegisterMemoryCallbackFunction(&Hear, nullptr);
    p.EnableStackTraceInfo(true);
    Handle outer = p.CreatePool(1024, 3);
    p.SetCurrentPool(outer);
    p.SetPoolEnabled(true);
    Handle other = p.CreatePool(8, 2);  // a block of the outer pool; never current
    ASSERT_TRUE(p.SetHandleSize(AsHandle(p.RequestPoolBlock(other)), 100));

    const long live = heap.LiveDelta();
    const unsigned long registered = Linked(p.blockCounts);
    const int64_t blocks = p.numBlocks;
    Handle inner = p.CreatePool(16, 5);  // 5 * (16 + 168) + 64 bytes: a block of the outer pool
    ASSERT_TRUE(Hdr(inner)->pool == outer && Hdr(other)->pool == outer);
    p.SetCurrentPool(inner);
    for (int i = 0; i < 3; ++i) p.NewHandle(12);
    ASSERT_TRUE(p.SetHandleSize(p.NewHandle(16), 700));
    Handle node = p.NewHandle(8);
    p.SetInstantiatedState(*node, true);
    p.SetDestructor(*node, [](const void*) { ADD_FAILURE() << "taking a block back ran its destructor"; });
    p.DestroyPool(inner);
    EXPECT_EQ(make_tuple(p.currentPool, Linked(p.blockCounts), heap.LiveDelta(), p.numBlocks),
              make_tuple(Handle{}, registered, live, blocks + 5))
        << "blocks, records and storage given back; only the storage is counted out";
    EXPECT_EQ(Hdr(p.NewHandle(40))->pool, nullptr) << "allocation goes on from the heap";

    p.SetCurrentPool(outer);
    ASSERT_TRUE(p.SetHandleSize(AsHandle(p.RequestPoolBlock(outer)), 5000));
    p.SetPoolEnabled(false);
    for (size_t n : {0, 100, 4999, 5000, 20000}) p.NewHandle(n);
    ASSERT_TRUE(p.Resize(p.GetOrCreateHandleFromQTResourceHandle(&hostMaster, 64, 9), 200, {}));
    p.AllocateFromExistingResource(host, 16);
    partition.reset();
    EXPECT_EQ(heap.LiveDelta(), 0) << "the partition left heap blocks behind";
    EXPECT_EQ(g_heardCount, 0u) << "a callback ran";
    EXPECT_TRUE(Holds(host, sizeof host, 3));
    EXPECT_EQ(Partition::GetPartitionListHead(), nullptr);
}

} // namespace
