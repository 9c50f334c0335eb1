// Allocation, resizing and release: exact heap requests, the header a block
// starts with, the keep-or-move rules of Resize, the counters, and every heap
// refusal (result, nothing leaked, callbacks told once).
#include <random>

#include "krmm_test.h"

using namespace krmm_test;

TEST(Allocate, RequestsTakeExactHeapSizesAndStartWithAFreshHeader) {
    Partition partition;
    const std::pair<size_t, std::vector<size_t>> cases[] = {
        {0, {144}}, {7, {144}}, {8, {144}}, {64, {200}}, {4999, {5135}}, {5000, {144, 5008}}};
    for (const auto& [size, requests] : cases) {
        std::vector<size_t> sizes;  // outlives the recording, so that freeing it is not counted
        HeapRefusal heap = HeapRefusal::RecordOnly();
        char* p = partition.Allocate(size);
        sizes = heap.Sizes();
        EXPECT_EQ(sizes, requests) << size;
        MemoryBlock* b = Hdr(partition.GetHandle(p));
        const bool detached = size >= KRMM::kInlineDataLimit;
        EXPECT_EQ(make_tuple(p == reinterpret_cast<char*>(b) + 136, partition.blockBuckets[b->bucket], b->memSize,
                             b->capacity, b->flags, b->oversize, b->pool, b->qtResource, b->resFile, b->stackTrace,
                             b->locked, b->userData, b->instantiated, b->destructor, b->magic, b->blockLink),
                  make_tuple(!detached, b, size, std::max<size_t>(size, 8), uint16_t{detached}, 0u, Handle{},
                             static_cast<void**>(nullptr), int16_t{-1}, static_cast<std::vector<void*>*>(nullptr),
                             false, static_cast<void*>(nullptr), false, KRMM::BlockDestructorProc{}, KRMM::kBlockMagic,
                             b)) << size;
        partition.Deallocate(p);
        EXPECT_EQ(heap.LiveDelta(), 0) << size;
    }
}

// Each row also passes a copy procedure, which must run only when the data moves.
TEST(Resize, KeepsOrMovesByCapacityAndShrinkTolerance) {
    const struct { size_t from; unsigned oversize; size_t to; bool moves; size_t capacity; } cases[] = {
        {100, 0, 50, false, 100}, {100, 0, 100, false, 100}, {100, 0, 101, true, 117}, {10000, 0, 5000, false, 10000},
        {10000, 0, 4999, true, 5015}, {100, 100, 101, true, 201}, {10000, 100, 4900, false, 10000},
        {10000, 100, 4899, true, 4999}};
    for (const auto& c : cases) {
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
        // A move asks for newSize + max(oversize, 16) + the link word and frees old detached storage.
        const std::vector<size_t> expected = c.moves ? std::vector<size_t>{c.capacity + 8} : std::vector<size_t>{};
        std::vector<size_t> sizes;  // outlives the recording, so that freeing it is not counted
        HeapRefusal heap = HeapRefusal::RecordOnly();
        ASSERT_TRUE(partition.Resize(h, c.to, copy));
        sizes = heap.Sizes();
        EXPECT_EQ(sizes, expected);
        EXPECT_EQ(make_tuple(*h != before, Hdr(h)->capacity, Hdr(h)->memSize, partition.GetHandle(*h),
                             heap.LiveDelta(), partition.bytesAllocated, copied),
                  make_tuple(c.moves, c.capacity, c.to, h, c.moves && c.from < 5000 ? 1L : 0L, int64_t(c.to),
                             c.moves ? make_tuple(before, c.from, static_cast<void*>(*h), c.to) : decltype(copied){}))
            << c.from << " -> " << c.to << " with oversize " << c.oversize;
        EXPECT_TRUE(Holds(*h, std::min(c.from, c.to), 3));
    }
}

// Four blocks resized through both views, re-made and given new slack at
// random; the surviving bytes and the counters are checked after every step.
TEST(Resize, RandomModelKeepsDataAndCountersThroughEveryMove) {
    Partition p;
    std::mt19937 rng(42);
    Handle h[4] = {p.NewHandle(0), p.NewHandle(0), p.NewHandle(0), p.NewHandle(0)};
    size_t size[4] = {};
    int calls = 4;
    for (int step = 0; step < 800; ++step) {
        const unsigned i = rng() % 4;
        const size_t next = rng() % 4 == 0 ? rng() % 30000 : rng() % 700;
        size_t kept = std::min(size[i], next);
        switch (rng() % 4) {
        case 0: p.DisposeHandle(h[i]); h[i] = p.NewHandle(next); ++calls; kept = 0; break;
        case 1: p.SetHandleOversize(h[i], rng() % 3000, true); [[fallthrough]];
        case 2: ASSERT_TRUE(p.SetHandleSize(h[i], next)); break;
        default: ASSERT_TRUE(p.SetPtrSize(*h[i], next));
        }
        ASSERT_TRUE(Holds(*h[i], kept, i)) << "step " << step;
        Fill(*h[i], next, i);
        size[i] = next;
        ASSERT_TRUE(p.GetHandle(*h[i]) == h[i] && p.GetHandleSize(h[i]) == next && p.GetHandleMaxSize(h[i]) >= next);
        ASSERT_EQ(make_tuple(p.bytesAllocated, p.numBlocks, p.numCalls, Linked(p.blockCounts)),
                  make_tuple(int64_t(size[0] + size[1] + size[2] + size[3]), int64_t{4}, calls, 4ul)) << step;
    }
    for (Handle handle : h) p.DisposeHandle(handle);
    EXPECT_EQ(make_tuple(p.bytesAllocated, p.numBlocks, p.numCalls, Linked(p.blockCounts)),
              make_tuple(int64_t{0}, int64_t{0}, calls, 0ul));
}

// Each row refuses one heap request (failNth; 0: a size no request can hold)
// on a partition holding one 100-byte handle h, which must not change; `told`
// is the size the callback hears (0: no callback), the rest counter deltas.
TEST(Refusal, EveryRefusedRequestFailsCleanlyAndIsToldOnce) {
    const struct { const char* name; size_t failNth; std::function<bool(Partition&, Handle)> failed; size_t told;
                   int64_t calls, blocks, bytes; } cases[] = {
        {"Allocate header", 1, [](auto& p, auto) { return !p.Allocate(64); }, 64, 1, 1, 64},
        {"Allocate storage", 2, [](auto& p, auto) { return !p.Allocate(6000); }, 6000, 1, 1, 6000},
        {"Allocate link word", 0, [](auto& p, auto) { return !p.Allocate(SIZE_MAX - 7); }, SIZE_MAX - 7, 1, 1, -8},
        {"NewPtrClear", 2, [](auto& p, auto) { return !p.NewPtrClear(6000); }, 6000, 1, 1, 6000},
        {"Resize", 1, [](auto& p, auto h) { return !p.Resize(h, 9000, {}); }, 9000, 0, 0, 8900},
        {"Resize slack", 0, [](auto& p, auto h) { return !p.SetHandleSize(h, SIZE_MAX - 23); }, SIZE_MAX - 23, 0, 0,
         -124},
        {"DuplicateHandle", 1, [](auto& p, auto h) { return !p.DuplicateHandle(h); }, 100, 1, 1, 100},
        {"CreatePool", 1, [](auto& p, auto) { return !p.CreatePool(64, 4); }, 992, 1, 1, 992},
        {"AllocateFromExistingResource", 1, [](auto& p, auto h) { return !p.AllocateFromExistingResource(*h, 55); },
         55, 1, 1, 0},
        {"TXStringAllocate", 1, [](auto& p, auto) { return !p.TXStringAllocate(9); }, 0, 0, 0, 0}};
    for (const auto& c : cases) {
        Partition p;
        p.RegisterMemoryCallbackFunction(&Hear, &p);
        Handle h = p.NewHandle(100);
        Fill(*h, 100, 7);
        const auto block = make_tuple(*h, Hdr(h)->memSize, Hdr(h)->capacity);
        g_heardCount = 0;
        {
            HeapRefusal heap(HeapPlan{c.failNth});
            EXPECT_TRUE(c.failed(p, h)) << c.name;
            EXPECT_EQ(heap.LiveDelta(), 0) << c.name;
        }
        ASSERT_EQ(g_heardCount, c.told != 0 ? 1u : 0u) << c.name;
        if (c.told != 0) {
            EXPECT_EQ(make_tuple(g_heard[0].event, g_heard[0].size, g_heard[0].userData),
                      make_tuple(1, c.told, static_cast<void*>(&p))) << c.name;
        }
        EXPECT_EQ(make_tuple(p.numCalls, p.numBlocks, p.bytesAllocated, Linked(p.blockCounts),
                             Linked(p.resourceCounts)),
                  make_tuple(1 + c.calls, 1 + c.blocks, 100 + c.bytes, 1ul, 0ul)) << c.name;
        EXPECT_TRUE(make_tuple(*h, Hdr(h)->memSize, Hdr(h)->capacity) == block && Holds(*h, 100, 7)) << c.name;
    }
}
