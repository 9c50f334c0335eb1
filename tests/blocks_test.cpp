// blocks_test.cpp - what a block is made of and how it changes: exact heap
// requests, the bucket hash, the keep-or-move rules of every resize entry
// point, the lock and oversize rules, and pools. The fuzzer checks the data
// operations, object nodes and MemMem on every input of its corpus.
#include "krmm_test.h"

namespace {

using namespace krmm_test;
using KRMM::PoolHeader;

TEST(Allocate, RequestsTakeExactHeapSizesAndStartWithAFreshHeader) {
    Partition partition;
    const std::pair<size_t, std::vector<size_t>> cases[] = {
        {0, {144}}, {7, {144}}, {8, {144}}, {64, {200}}, {4999, {5135}}, {5000, {144, 5008}}};
    for (const auto& [size, requests] : cases) {
        SCOPED_TRACE(size);
        std::vector<size_t> sizes;  // outlives the recording, so that freeing it is not counted
        HeapRefusal heap;
        char* p = partition.Allocate(size);
        sizes = heap.Sizes();
        EXPECT_EQ(sizes, requests);
        const MemoryBlock* b = Hdr(partition.GetHandle(p));
        EXPECT_EQ(p == reinterpret_cast<const char*>(b) + sizeof *b, size < KRMM::kInlineDataLimit) << "inline";
        EXPECT_EQ(b->capacity, std::max<size_t>(size, 8));
        EXPECT_EQ(b->resFile, -1);
        partition.Deallocate(p);
        EXPECT_EQ(heap.LiveDelta(), 0);
    }
}

TEST(Registry, BucketHashMatchesKnownVectors) {
    // 0x6000A0C04000 differs from 0x600000C04000 only in bits the hash shifts out.
    const uintptr_t vectors[][2] = {{0x1000, 102}, {0x100000000, 200}, {0x600000C04000, 742}, {0, 890},
                                    {0x6000A0C04000, 742}};
    for (const auto& v : vectors) EXPECT_EQ(Partition::GetMemoryBlockHash(Hdr(reinterpret_cast<void*>(v[0]))), v[1]);
}

// Every row through Resize with a copy procedure (which must run only when
// the data moves), SetHandleSize and SetPtrSize alike.
TEST(Resize, KeepsOrMovesByCapacityAndShrinkTolerance) {
    const struct { size_t from; unsigned oversize; size_t to; bool moves; size_t capacity; } cases[] = {
        {100, 0, 50, false, 100}, {100, 0, 100, false, 100}, {100, 0, 101, true, 117}, {10000, 0, 5000, false, 10000},
        {10000, 0, 4999, true, 5015}, {100, 100, 101, true, 201}, {10000, 100, 4900, false, 10000},
        {10000, 100, 4899, true, 4999}};
    for (const auto& c : cases) {
        for (int entry = 0; entry < 3; ++entry) {
            SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to << " oversize " << c.oversize << " entry "
                                            << entry);
            Partition partition;
            Handle h = partition.GetHandle(partition.Allocate(c.from));
            Hdr(h)->oversize = c.oversize;
            Fill(*h, c.from, 3);
            void* const before = *h;
            std::tuple<void*, size_t, void*, size_t> copied{};
            KRMM::ResizeCopyProc copy = [&](void* from, unsigned long n, void* to, unsigned long m) {
                copied = {from, n, to, m};
                std::memcpy(to, from, std::min(n, m));
            };
            std::vector<size_t> sizes;  // outlives the recording, so that freeing it is not counted
            HeapRefusal heap;
            ASSERT_TRUE(entry == 0   ? partition.Resize(h, c.to, copy)
                        : entry == 1 ? partition.SetHandleSize(h, c.to)
                                     : partition.SetPtrSize(*h, c.to));
            sizes = heap.Sizes();
            // A move asks for newSize + max(oversize, 16) + the link word and frees old detached storage.
            EXPECT_EQ(sizes, c.moves ? std::vector<size_t>{c.capacity + 8} : std::vector<size_t>{});
            EXPECT_EQ(*h != before, c.moves);
            EXPECT_EQ(Hdr(h)->capacity, c.capacity);
            EXPECT_EQ(Hdr(h)->memSize, c.to);
            EXPECT_EQ(partition.GetHandle(*h), h);
            EXPECT_EQ(heap.LiveDelta(), c.moves && c.from < 5000 ? 1L : 0L);
            EXPECT_EQ(partition.bytesAllocated, int64_t(c.to));
            if (entry == 0) {
                EXPECT_EQ(copied, c.moves ? make_tuple(before, c.from, static_cast<void*>(*h), c.to) : decltype(copied){});
            }
            EXPECT_TRUE(Holds(*h, std::min(c.from, c.to), 3));
        }
    }
}

TEST(HandleOps, LockFlagAndOversizeRules) {
    Partition part;
    Handle h = part.NewHandleClear(100);
    EXPECT_TRUE(part.HLock(h));
    EXPECT_TRUE(part.SetHandleSize(h, 7000)) << "the lock flag never pins the data";
    EXPECT_EQ(static_cast<uint32_t>(int32_t{part.HGetState(h)}), 0xFFFFFF80u);
    const unsigned steps[][3] = {{100, 0, 100}, {50, 0, 100}, {100, 0, 100}, {50, 1, 50}, {0, 1, 0}, {100, 0, 100}};
    for (const auto& [value, force, after] : steps) {
        part.SetHandleOversize(h, value, force != 0);
        EXPECT_EQ(part.GetHandleOversize(h), after) << value << (force ? " forced" : "");
    }
    ASSERT_TRUE(part.SetHandleSize(h, 20000));
    EXPECT_EQ(part.GetHandleMaxSize(h), 20100u);
}

// Blocks in address order, then the last released first; pooling only when
// enabled, the heap when exhausted or too small; impossible sizes refused.
TEST(Pool, HandsOutInAddressOrderThenLastReleasedFirstAndFallsBackToTheHeap) {
    Partition p;
    Handle pool = p.CreatePool(64, 3);  // 3 * (64 + 136 + 32) + 64 = 760 bytes
    const PoolHeader& h = *reinterpret_cast<PoolHeader*>(*pool);
    EXPECT_EQ(p.GetHandleSize(pool), 760u);
    EXPECT_EQ(reinterpret_cast<char*>(h.firstBlock), *pool + 64 + 3 * 32);
    EXPECT_EQ(Linked(p.blockCounts), 1u) << "only the storage block is registered";
    p.SetCurrentPool(pool);
    std::vector<Handle> got = {p.NewHandle(16)};  // pooling is off: the heap
    p.SetPoolEnabled(true);
    for (size_t size : {0, 32, 64, 8, 65}) got.push_back(p.NewHandle(size));  // three fit, then exhausted, too big
    const Handle first = reinterpret_cast<Handle>(h.firstBlock);
    EXPECT_EQ(got, (std::vector<Handle>{got[0], first, first + 25, first + 50, got[4], got[5]})) << "200 bytes apart";
    EXPECT_EQ(p.numpoolHits, 3);
    EXPECT_EQ(p.bytesAllocated, 760 + 16 + 32 + 64 + 8 + 65);
    p.DisposeHandle(got[3]);
    p.DisposeHandle(got[1]);
    EXPECT_EQ(p.NewHandle(1), got[1]);
    EXPECT_EQ(p.NewHandle(1), got[3]);
    EXPECT_EQ(p.CreatePool(64, SIZE_MAX / 200), nullptr);
    EXPECT_EQ(p.numCalls, 9) << "a size that cannot exist never reaches Allocate";
}

} // namespace
