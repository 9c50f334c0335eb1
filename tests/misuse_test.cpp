// misuse_test.cpp - things outside the contract that users do anyway:
// releasing a pool block twice, destroying a pool or a partition with blocks
// still out. Each must be reported or absorbed without a crash, a leak or a
// broken registry (the asan preset runs these under ASan and LSan).
#include <cstdlib>
#include <new>

#include "krmm_test.h"

namespace {

using namespace krmm_test;
using KRMM::PoolHeader;

PoolHeader* HeaderOf(Handle pool) { return reinterpret_cast<PoolHeader*>(*pool); }
unsigned long Registered(const Partition& p) { return Linked(p.blockCounts); }

int g_destructorCalls = 0;
void CountingDestructor(const void*) { ++g_destructorCalls; }
int g_callbackCalls = 0;
void CountingCallback(int, size_t, void*) { ++g_callbackCalls; }

// A second release of a pool block, by each of the three ways a block goes
// back: reported once; the pool's lists, the registry and the heap stay as
// they were. Through Deallocate the counters count the block out again, as
// Deallocate does for every non-null pointer before it hands a pool block on.
TEST(Misuse, SecondReleaseOfAPoolBlockIsReportedAndChangesNothing) {
    enum Way { kReleasePoolBlock, kDisposePtr, kDisposeHandle };
    for (Way way : {kReleasePoolBlock, kDisposePtr, kDisposeHandle}) {
        SCOPED_TRACE(way);
        Partition partition;
        Handle pool = partition.CreatePool(32, 4);
        partition.SetCurrentPool(pool);
        partition.SetPoolEnabled(true);
        Handle a = partition.NewHandle(20);
        Handle b = partition.NewHandle(24);
        ASSERT_EQ(Hdr(a)->pool, pool);
        auto release = [&] {
            switch (way) {
                case kReleasePoolBlock: partition.ReleasePoolBlock(pool, a); break;
                case kDisposePtr: partition.DisposePtr(*a); break;
                case kDisposeHandle: partition.DisposeHandle(a); break;
            }
        };
        release();
        const PoolHeader before = *HeaderOf(pool);
        const unsigned long registered = Registered(partition);
        const int64_t blocks = partition.numBlocks;
        AssertLog log;
        {
            auto heap = HeapRefusal::RecordOnly();
            release();
            EXPECT_EQ(heap.Requests(), 0u);
            EXPECT_EQ(heap.LiveDelta(), 0);
        }
        EXPECT_EQ(log.Failures(), std::vector<std::string>{"ReleasePoolBlock called on block that wasn't in use."});
        EXPECT_EQ(HeaderOf(pool)->freeCount, before.freeCount);
        EXPECT_EQ(HeaderOf(pool)->freeList, before.freeList);
        EXPECT_EQ(HeaderOf(pool)->usedList, before.usedList);
        EXPECT_EQ(Registered(partition), registered);
        EXPECT_EQ(partition.numBlocks, blocks - (way == kReleasePoolBlock ? 0 : 1));
        // The pool still hands out and takes back.
        Handle again = partition.NewHandle(8);
        EXPECT_EQ(again, a) << "the released slot heads the free list";
        partition.DisposeHandle(again);
        partition.DisposeHandle(b);
        partition.DestroyPool(pool);
        EXPECT_EQ(Registered(partition), 0u);
    }
}

// DestroyPool of the current pool while Allocate'd blocks are still out, some
// grown into detached storage and carrying call stacks: they are taken back
// first, nothing leaks, the registry forgets them and allocation goes on
// from the heap. Their counts stay: the application never released them.
TEST(Misuse, DestroyingACurrentPoolWithBlocksOut) {
    Partition partition;
    auto heap = HeapRefusal::RecordOnly();
    const unsigned long registeredBefore = Registered(partition);
    Handle pool = partition.CreatePool(64, 6);
    partition.SetCurrentPool(pool);
    partition.SetPoolEnabled(true);
    partition.EnableStackTraceInfo(true);
    Handle out[5];
    for (Handle& h : out) h = partition.NewHandle(40);
    ASSERT_TRUE(partition.SetHandleSize(out[1], 3000));
    ASSERT_TRUE(partition.SetHandleSize(out[3], 9000));
    partition.SetInstantiatedState(*out[0], true);
    partition.SetDestructor(*out[0], &CountingDestructor);
    const int64_t blocks = partition.numBlocks;
    const int64_t storageBytes = static_cast<int64_t>(partition.GetHandleSize(pool));

    g_destructorCalls = 0;
    partition.DestroyPool(pool);
    EXPECT_EQ(partition.currentPool, nullptr);
    EXPECT_EQ(Registered(partition), registeredBefore);
    EXPECT_EQ(partition.numBlocks, blocks - 1) << "only the storage block is counted out";
    EXPECT_EQ(g_destructorCalls, 0) << "taking a block back runs no destructor";
    EXPECT_EQ(heap.LiveDelta(), 0) << "records, detached storage and the pool's storage all freed";

    Handle h = partition.NewHandle(40);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(Hdr(h)->pool, nullptr);
    partition.DisposeHandle(h);
    partition.EnableStackTraceInfo(false);
    EXPECT_EQ(heap.LiveDelta(), 0);
    EXPECT_GT(storageBytes, 0);
}

// A partition destroyed with everything out: two pools whose storage lies in
// blocks of a third (one of them current), blocks of all three out (grown
// ones too), call stacks,
// detached blocks, object nodes, resource blocks (one resized) and callbacks.
// Everything is freed; no destructor or callback runs; host data is intact.
TEST(Misuse, DestroyingAPartitionWithEverythingOut) {
    char host[128];
    for (size_t i = 0; i < sizeof host; ++i) host[i] = static_cast<char>(i * 3);
    void* hostMaster = host;
    g_destructorCalls = 0;
    g_callbackCalls = 0;
    {
        auto heap = HeapRefusal::RecordOnly();
        auto* partition = new (std::malloc(sizeof(Partition))) Partition();
        Partition& p = *partition;
        p.RegisterMemoryCallbackFunction(&CountingCallback, nullptr);
        p.EnableStackTraceInfo(true);
        Handle outer = p.CreatePool(1024, 3);
        p.SetCurrentPool(outer);
        p.SetPoolEnabled(true);
        Handle inner = p.CreatePool(16, 4);  // 4 * (16 + 168) + 64 bytes: a block of the outer pool
        Handle other = p.CreatePool(8, 2);   // another one, not current
        ASSERT_EQ(Hdr(inner)->pool, outer);
        ASSERT_EQ(Hdr(other)->pool, outer);
        p.RequestPoolBlock(other);
        p.SetHandleSize(reinterpret_cast<Handle>(p.RequestPoolBlock(other)), 100);
        p.SetCurrentPool(inner);
        for (int i = 0; i < 3; ++i) p.NewHandle(12);
        p.SetHandleSize(p.NewHandle(16), 700);
        MemoryBlock* direct = p.RequestPoolBlock(outer);
        ASSERT_NE(direct, nullptr);
        p.SetHandleSize(reinterpret_cast<Handle>(direct), 5000);
        p.SetPoolEnabled(false);
        for (size_t n : {0ul, 100ul, 4999ul, 5000ul, 20000ul}) p.NewHandle(n);
        Handle node = p.NewHandle(32);
        p.SetInstantiatedState(*node, true);
        p.SetDestructor(*node, &CountingDestructor);
        Handle resource = p.GetOrCreateHandleFromQTResourceHandle(&hostMaster, 64, 9);
        p.GetOrCreateHandleFromQTResourceHandle(&hostMaster, 64, 10);
        p.AllocateFromExistingResource(host, 16);
        ASSERT_TRUE(p.Resize(resource, 200, {}));
        EXPECT_GT(heap.LiveDelta(), 0);

        partition->~Partition();
        EXPECT_EQ(heap.LiveDelta(), 0) << "the partition left heap blocks behind";
        for (size_t i = 0; i < 1024; ++i) {
            ASSERT_EQ(partition->blockBuckets[i], nullptr);
            ASSERT_EQ(partition->resourceBuckets[i], nullptr);
        }
        std::free(partition);
    }
    EXPECT_EQ(g_destructorCalls, 0);
    EXPECT_EQ(g_callbackCalls, 0);
    for (size_t i = 0; i < sizeof host; ++i) ASSERT_EQ(host[i], static_cast<char>(i * 3));
    EXPECT_EQ(Partition::GetPartitionListHead(), nullptr);
}

} // namespace
