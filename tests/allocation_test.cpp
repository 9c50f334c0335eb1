// Allocation, resizing and release: exact heap requests, capacities, the
// keep-or-move rules of Resize, the counters, and every heap refusal.
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/KRMM.h>

#include "assert_log.h"
#include "heap_refusal.h"

using KRMM::Handle;
using KRMM::MemoryBlock;
using KRMM::Partition;
using krmm_test::AssertLog;
using krmm_test::HeapRefusal;

namespace {

MemoryBlock* Block(Handle h) { return reinterpret_cast<MemoryBlock*>(h); }

void Fill(char* p, size_t n, uint8_t seed) {
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<char>(seed + i * 7);
}

::testing::AssertionResult Holds(const char* p, size_t n, uint8_t seed) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != static_cast<char>(seed + i * 7))
            return ::testing::AssertionFailure() << "byte " << i << " differs";
    return ::testing::AssertionSuccess();
}

struct Notification {
    int event;
    size_t size;
    void* userData;
};
std::vector<Notification> g_heard;
void Listener(int event, size_t size, void* userData) { g_heard.push_back({event, size, userData}); }

// Registers through the partition's table fields, as the host may.
void Listen(Partition& p, void* userData) {
    g_heard.clear();
    g_heard.reserve(16);  // hearing must not allocate while the heap refuses
    p.callbackProcs[0] = &Listener;
    p.callbackRefCounts[0] = 1;
    p.callbackUserData[0] = userData;
}

struct Counters {
    int64_t bytes, blocks;
    int32_t calls;
    explicit Counters(const Partition& p) : bytes(p.bytesAllocated), blocks(p.numBlocks), calls(p.numCalls) {}
};

unsigned long Chained(const Partition& p) {
    unsigned long n = 0;
    for (unsigned long c : p.blockCounts) n += c;
    return n;
}

} // namespace

TEST(Allocate, SmallRequestsTakeOneAllocationWithInlineData) {
    Partition partition;
    for (size_t size : {size_t{0}, size_t{7}, size_t{8}, size_t{64}, size_t{4999}}) {
        char* p;
        std::vector<size_t> sizes;
        {
            HeapRefusal record = HeapRefusal::RecordOnly();
            p = partition.Allocate(size);
            sizes = record.Sizes();
        }
        ASSERT_NE(p, nullptr);
        const size_t capacity = size < 8 ? 8 : size;
        EXPECT_EQ(sizes, std::vector<size_t>{136 + capacity}) << size;
        MemoryBlock* b = Block(partition.GetHandle(p));
        EXPECT_EQ(b->masterPtr, reinterpret_cast<char*>(b) + 136);
        EXPECT_EQ(b->memSize, size);
        EXPECT_EQ(b->capacity, capacity);
        EXPECT_EQ(b->flags, 0u);
        EXPECT_EQ(b->resFile, -1);
        EXPECT_EQ(b->magic, KRMM::kBlockMagic);
        EXPECT_EQ(b->blockLink, b);
        EXPECT_EQ(b->pool, nullptr);
        EXPECT_EQ(b->stackTrace, nullptr);
        EXPECT_EQ(b->oversize, 0u);
        EXPECT_FALSE(b->locked);
        EXPECT_FALSE(b->instantiated);
        EXPECT_EQ(b->destructor, nullptr);
        EXPECT_EQ(partition.blockBuckets[b->bucket], b);
        partition.Deallocate(p);
    }
}

TEST(Allocate, LargeRequestsGetDetachedStorageWithALinkWord) {
    Partition partition;
    std::vector<size_t> sizes;
    char* p;
    {
        HeapRefusal record = HeapRefusal::RecordOnly();
        p = partition.Allocate(5000);
        sizes = record.Sizes();
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{144, 5008}));
    MemoryBlock* b = Block(partition.GetHandle(p));
    EXPECT_EQ(b->flags, KRMM::kBlockFlagDetached);
    EXPECT_EQ(b->capacity, 5000u);
    EXPECT_EQ(*reinterpret_cast<MemoryBlock**>(p - 8), b);
    EXPECT_NE(p, reinterpret_cast<char*>(b) + 136);
    partition.Deallocate(p);
}

TEST(Allocate, CountersFollowRequestsAndReleases) {
    Partition partition;
    std::mt19937 rng(1234);
    std::vector<char*> live;
    int64_t bytes = 0;
    for (int i = 0; i < 200; ++i) {
        const size_t size = rng() % 3 == 0 ? 5000 + rng() % 20000 : rng() % 600;
        live.push_back(partition.Allocate(size));
        bytes += static_cast<int64_t>(size);
        Fill(live.back(), size, static_cast<uint8_t>(i));
    }
    EXPECT_EQ(partition.numCalls, 200);
    EXPECT_EQ(partition.numBlocks, 200);
    EXPECT_EQ(partition.bytesAllocated, bytes);
    EXPECT_EQ(partition.numpoolHits, 0);
    EXPECT_EQ(Chained(partition), 200u);

    for (char* p : live) partition.Deallocate(p);
    EXPECT_EQ(partition.numBlocks, 0);
    EXPECT_EQ(partition.bytesAllocated, 0);
    EXPECT_EQ(partition.numCalls, 200);
    for (auto* head : partition.blockBuckets) ASSERT_EQ(head, nullptr);
    for (unsigned long c : partition.blockCounts) ASSERT_EQ(c, 0u);
}

TEST(Resize, InlineBlocksShrinkInPlaceAndMoveOnlyPastCapacity) {
    Partition partition;
    char* p = partition.Allocate(100);
    Fill(p, 100, 3);
    Handle h = partition.GetHandle(p);

    ASSERT_TRUE(partition.Resize(h, 50, {}));
    EXPECT_EQ(*h, p);
    EXPECT_EQ(Block(h)->capacity, 100u);
    ASSERT_TRUE(partition.Resize(h, 100, {}));
    EXPECT_EQ(*h, p);
    EXPECT_EQ(partition.bytesAllocated, 100);

    std::vector<size_t> sizes;
    {
        HeapRefusal record = HeapRefusal::RecordOnly();
        ASSERT_TRUE(partition.Resize(h, 101, {}));
        sizes = record.Sizes();
    }
    EXPECT_EQ(sizes, std::vector<size_t>{101 + 16 + 8});
    EXPECT_NE(*h, p);
    EXPECT_EQ(Block(h)->capacity, 117u);
    EXPECT_EQ(Block(h)->flags, KRMM::kBlockFlagDetached);
    EXPECT_EQ(partition.GetHandle(*h), h);
    EXPECT_TRUE(Holds(*h, 100, 3));
    EXPECT_EQ(partition.bytesAllocated, 101);
    partition.Deallocate(*h);
    EXPECT_EQ(partition.bytesAllocated, 0);
}

TEST(Resize, DetachedStorageIsKeptWithinTheShrinkTolerance) {
    Partition partition;
    Handle h = partition.GetHandle(partition.Allocate(10000));
    Fill(*h, 10000, 9);
    char* storage = *h;

    ASSERT_TRUE(partition.Resize(h, 5000, {}));  // a gap of exactly 5000 is tolerated
    EXPECT_EQ(*h, storage);
    EXPECT_EQ(Block(h)->capacity, 10000u);

    ASSERT_TRUE(partition.Resize(h, 4999, {}));
    EXPECT_NE(*h, storage);
    EXPECT_EQ(Block(h)->capacity, 5015u);
    EXPECT_TRUE(Holds(*h, 4999, 9));

    // Oversize widens both the tolerance and the slack of the next move.
    Block(h)->oversize = 100;
    ASSERT_TRUE(partition.Resize(h, 6000, {}));
    EXPECT_EQ(Block(h)->capacity, 6100u);
    EXPECT_TRUE(Holds(*h, 4999, 9));
    partition.Deallocate(*h);
}

TEST(Resize, CopyProcedureRunsOnlyWhenTheDataMoves) {
    Partition partition;
    Handle h = partition.GetHandle(partition.Allocate(32));
    Fill(*h, 32, 1);
    int calls = 0;
    void* seenOld = nullptr;
    unsigned long seenOldSize = 0, seenNewSize = 0;
    KRMM::ResizeCopyProc copy = [&](void* oldData, unsigned long oldSize, void* newData,
                                    unsigned long newSize) {
        ++calls;
        seenOld = oldData;
        seenOldSize = oldSize;
        seenNewSize = newSize;
        std::memcpy(newData, oldData, 16);  // the procedure alone decides what is copied
    };
    ASSERT_TRUE(partition.Resize(h, 20, copy));
    EXPECT_EQ(calls, 0);
    char* before = *h;
    ASSERT_TRUE(partition.Resize(h, 300, copy));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seenOld, before);
    EXPECT_EQ(seenOldSize, 20u);
    EXPECT_EQ(seenNewSize, 300u);
    EXPECT_TRUE(Holds(*h, 16, 1));
    partition.Deallocate(*h);
}

TEST(Resize, ThrowingCopyProcedureLeavesTheBlockAndLeaksNothing) {
    Partition partition;
    Handle h = partition.GetHandle(partition.Allocate(32));
    Fill(*h, 32, 5);
    char* before = *h;
    {
        HeapRefusal record = HeapRefusal::RecordOnly();
        EXPECT_THROW(partition.Resize(h, 4000, [](void*, unsigned long, void*, unsigned long) {
            throw std::runtime_error("copy failed");
        }),
                     std::runtime_error);
        EXPECT_EQ(record.LiveDelta(), 0);
    }
    EXPECT_EQ(*h, before);
    EXPECT_EQ(Block(h)->memSize, 32u);
    EXPECT_EQ(Block(h)->capacity, 32u);
    EXPECT_EQ(Block(h)->flags, 0u);
    EXPECT_EQ(partition.bytesAllocated, 4000);  // the adjustment on entry stays
    EXPECT_TRUE(Holds(*h, 32, 5));
    partition.Deallocate(*h);
}

TEST(Resize, RandomWalkKeepsDataThroughEveryMove) {
    Partition partition;
    std::mt19937 rng(42);
    Handle h = partition.GetHandle(partition.Allocate(0));
    size_t size = 0;
    for (int step = 0; step < 400; ++step) {
        const size_t next = rng() % 4 == 0 ? rng() % 30000 : rng() % 700;
        ASSERT_TRUE(partition.Resize(h, next, {}));
        ASSERT_TRUE(Holds(*h, std::min(size, next), 77));
        Fill(*h, next, 77);
        size = next;
        ASSERT_GE(Block(h)->capacity, size);
        ASSERT_EQ(partition.GetHandle(*h), h);
        ASSERT_EQ(partition.bytesAllocated, static_cast<int64_t>(size));
    }
    partition.Deallocate(*h);
    EXPECT_EQ(partition.bytesAllocated, 0);
}

TEST(Refusal, HeaderRefusedReturnsNullAndKeepsTheCount) {
    Partition partition;
    int tag = 0;
    Listen(partition, &tag);
    AssertLog log;
    {
        HeapRefusal refuse = HeapRefusal::FailNth(1);
        EXPECT_EQ(partition.Allocate(64), nullptr);
        EXPECT_EQ(refuse.LiveDelta(), 0);
    }
    EXPECT_EQ(log.Failures(), std::vector<std::string>{"Allocate new failed (exception)"});
    ASSERT_EQ(g_heard.size(), 1u);
    EXPECT_EQ(g_heard[0].event, 1);
    EXPECT_EQ(g_heard[0].size, 64u);
    EXPECT_EQ(g_heard[0].userData, &tag);
    EXPECT_EQ(partition.numCalls, 1);
    EXPECT_EQ(partition.numBlocks, 1);
    EXPECT_EQ(partition.bytesAllocated, 64);
    EXPECT_EQ(Chained(partition), 0u);
}

TEST(Refusal, DetachedStorageRefusedReleasesTheHeader) {
    Partition partition;
    Listen(partition, nullptr);
    AssertLog log;
    {
        HeapRefusal refuse = HeapRefusal::FailNth(2);
        EXPECT_EQ(partition.Allocate(6000), nullptr);
        EXPECT_EQ(refuse.LiveDelta(), 0);
    }
    EXPECT_EQ(log.Failures(),
              std::vector<std::string>{"Allocate(disconnected data) new failed (exception)"});
    ASSERT_EQ(g_heard.size(), 1u);
    EXPECT_EQ(g_heard[0].size, 6000u);
    EXPECT_EQ(partition.numBlocks, 1);
    for (auto* head : partition.blockBuckets) ASSERT_EQ(head, nullptr);
}

TEST(Refusal, ResizeRefusedLeavesTheBlockUnchanged) {
    Partition partition;
    Handle h = partition.GetHandle(partition.Allocate(50));
    Fill(*h, 50, 11);
    char* before = *h;
    Listen(partition, nullptr);
    AssertLog log;
    {
        HeapRefusal refuse = HeapRefusal::FailNth(1);
        EXPECT_FALSE(partition.Resize(h, 70000, {}));
    }
    EXPECT_EQ(log.Failures(), std::vector<std::string>{"Resize new failed (exception)"});
    ASSERT_EQ(g_heard.size(), 1u);
    EXPECT_EQ(g_heard[0].size, 70000u);
    EXPECT_EQ(*h, before);
    EXPECT_EQ(Block(h)->memSize, 50u);
    EXPECT_EQ(Block(h)->capacity, 50u);
    EXPECT_TRUE(Holds(*h, 50, 11));
    EXPECT_EQ(partition.bytesAllocated, 70000);
    partition.Deallocate(*h);
}

TEST(Refusal, SizesThatWouldWrapFailLikeARefusal) {
    Partition partition;
    Listen(partition, nullptr);
    for (size_t size : {SIZE_MAX, SIZE_MAX - 7, SIZE_MAX - 8, SIZE_MAX - 135}) {
        HeapRefusal record = HeapRefusal::RecordOnly();
        EXPECT_EQ(partition.Allocate(size), nullptr);
        EXPECT_EQ(record.LiveDelta(), 0);
    }
    EXPECT_EQ(g_heard.size(), 4u);
    Handle h = partition.GetHandle(partition.Allocate(10));
    g_heard.clear();
    for (size_t size : {SIZE_MAX, SIZE_MAX - 16, SIZE_MAX - 24}) {
        EXPECT_FALSE(partition.Resize(h, size, {}));
    }
    EXPECT_EQ(g_heard.size(), 3u);
    EXPECT_EQ(Block(h)->memSize, 10u);
    partition.Deallocate(*h);
}

TEST(Refusal, TXStringRefusalTellsNoCallback) {
    Partition partition;
    Listen(partition, nullptr);
    AssertLog log;
    {
        HeapRefusal refuse = HeapRefusal::FailNth(1);
        EXPECT_EQ(partition.TXStringAllocate(100), nullptr);
    }
    EXPECT_EQ(log.Failures(), std::vector<std::string>{"Allocate new failed (exception)"});
    EXPECT_TRUE(g_heard.empty());
    void* s = partition.TXStringAllocate(100);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(partition.numCalls, 0);
    partition.TXStringDeallocate(s);
    partition.TXStringDeallocate(nullptr);
}

TEST(Release, NullArgumentsChangeNothing) {
    Partition partition;
    EXPECT_FALSE(partition.Resize(nullptr, 10, {}));
    partition.Deallocate(nullptr);
    EXPECT_EQ(partition.DuplicateHandle(nullptr), nullptr);
    MemoryBlock empty{};
    EXPECT_EQ(partition.DuplicateHandle(&empty), nullptr);
    EXPECT_EQ(partition.numCalls, 0);
    EXPECT_EQ(partition.bytesAllocated, 0);
    EXPECT_EQ(partition.numBlocks, 0);
}

TEST(Release, WrongMagicIsReportedAndReleasedAnyway) {
    Partition partition;
    char* p = partition.Allocate(16);
    partition.GetHandle(p)[0] = p;  // masterPtr unchanged
    Block(partition.GetHandle(p))->magic = 0x12345678;
    AssertLog log;
    partition.Deallocate(p);
    EXPECT_EQ(log.Failures(), std::vector<std::string>{"Deallocate invalid block magic number"});
    EXPECT_EQ(partition.numBlocks, 0);
    EXPECT_EQ(Chained(partition), 0u);
}

TEST(Duplicate, CopiesOnlyTheData) {
    Partition partition;
    Handle h = partition.GetHandle(partition.Allocate(300));
    Fill(*h, 300, 21);
    Block(h)->locked = true;
    Block(h)->instantiated = true;
    Block(h)->oversize = 64;
    Block(h)->userData = &partition;
    Handle copy = partition.DuplicateHandle(h);
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(copy, h);
    EXPECT_TRUE(Holds(*copy, 300, 21));
    EXPECT_EQ(Block(copy)->memSize, 300u);
    EXPECT_FALSE(Block(copy)->locked);
    EXPECT_FALSE(Block(copy)->instantiated);
    EXPECT_EQ(Block(copy)->oversize, 0u);
    EXPECT_EQ(Block(copy)->userData, nullptr);
    EXPECT_EQ(partition.numCalls, 2);
    partition.Deallocate(*copy);
    partition.Deallocate(*h);
}
