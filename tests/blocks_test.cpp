// blocks_test.cpp - what a block is made of and how it changes: exact heap
// requests, the keep-or-move rules of every resize entry point, the handle
// and data operations at their edges, object nodes, and pools.
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
        const bool detached = size >= KRMM::kInlineDataLimit;
        EXPECT_EQ(p == reinterpret_cast<const char*>(b) + sizeof *b, !detached);
        EXPECT_EQ(b->flags, detached ? KRMM::kBlockFlagDetached : 0);
        EXPECT_EQ(b->capacity, std::max<size_t>(size, 8));
        EXPECT_EQ(b->resFile, -1);
        EXPECT_EQ(b->magic, KRMM::kBlockMagic);
        EXPECT_EQ(b->blockLink, b);
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

TEST(HandleOps, ClearedBytesLockFlagAndOversizeRules) {
    Partition part;
    Handle h = part.NewHandleClear(100), empty = part.NewHandleClear(0);
    KRMM::Ptr p = part.NewPtrClear(6000);
    EXPECT_EQ(std::string(*h, 100), std::string(100, '\0'));
    EXPECT_EQ(std::string(p, 6000), std::string(6000, '\0'));
    EXPECT_EQ(part.GetHandleMaxSize(empty), 8u);
    EXPECT_TRUE(part.HLock(h));
    EXPECT_TRUE(part.SetHandleSize(h, 7000)) << "the lock flag never pins the data";
    EXPECT_EQ(static_cast<uint32_t>(int32_t{part.HGetState(h)}), 0xFFFFFF80u);
    EXPECT_TRUE(part.HUnlock(h));
    EXPECT_EQ(part.HGetState(h), 0);
    const unsigned steps[][3] = {{100, 0, 100}, {50, 0, 100}, {100, 0, 100}, {50, 1, 50}, {0, 1, 0}, {100, 0, 100}};
    for (const auto& [value, force, after] : steps) {
        part.SetHandleOversize(h, value, force != 0);
        EXPECT_EQ(part.GetHandleOversize(h), after) << value << (force ? " forced" : "");
    }
    ASSERT_TRUE(part.SetHandleSize(h, 20000));
    EXPECT_EQ(part.GetHandleMaxSize(h), 20100u);
}

TEST(DataOps, EdgesOfAppendInsertAndCopies) {
    Partition part;
    Handle h = nullptr, empty = nullptr;
    char src[] = "xyz";
    part.PtrToHand("\x01\x02\x03", h, 3);
    const auto bytes = [&](Handle x) { return std::string(*x, part.GetHandleSize(x)); };
    ASSERT_TRUE(part.HandAndHand(h, h)) << "one handle doubles";
    ASSERT_TRUE(part.InsertData(h, 0, src, 2));
    ASSERT_TRUE(part.InsertData(h, 8, src + 2, 1)) << "at the size";
    EXPECT_FALSE(part.InsertData(h, 10, src, 1)) << "one past the size";
    EXPECT_TRUE(part.InsertData(h, 99, src, 0));
    EXPECT_TRUE(part.PtrAndHand(src, h, 0));
    EXPECT_EQ(bytes(h), "xy\x01\x02\x03\x01\x02\x03z");
    ASSERT_NE(part.PtrToHand(nullptr, empty, 0), nullptr);
    Handle copy = empty;
    ASSERT_TRUE(part.HandToHand(copy));
    EXPECT_NE(copy, empty);
    EXPECT_EQ(part.GetHandleSize(copy), 0u);
    // A copy has the data and a fresh header: not locked, no slack, no user data, not instantiated.
    std::tie(Hdr(h)->locked, Hdr(h)->oversize, Hdr(h)->userData, Hdr(h)->instantiated) = make_tuple(true, 64, h, true);
    const MemoryBlock* dup = Hdr(part.DuplicateHandle(h));
    EXPECT_EQ(bytes(AsHandle(dup)), bytes(h));
    EXPECT_EQ(make_tuple(dup->capacity, dup->locked, dup->oversize, dup->userData, dup->instantiated),
              make_tuple(size_t{9}, false, 0u, static_cast<void*>(nullptr), false));
    EXPECT_TRUE(part.PtrToXHand(nullptr, h, 0));
    EXPECT_EQ(part.GetHandleSize(h), 0u);
}

TEST(MemMem, FindsTheLowestWholeMatchWithinTheBuffer) {
    const struct { const char* buf; unsigned long bufLen; const char* pat; unsigned long patLen; long at; } cases[] = {
        {"aaab", 4, "aab", 3, 1}, {"aaab", 4, "aaab", 4, 0}, {"aaab", 4, "aa", 2, 0}, {"aaab", 4, "b", 1, 3},
        {"aaab", 4, "", 0, -1}, {"aaab", 4, "aaabx", 5, -1}, {"aaab", 0, "a", 1, -1}, {"abcd", 3, "cd", 2, -1},
        {"aaab", 4, "ba", 2, -1}, {"xyzab", 5, "bcd", 3, -1}};  // first byte only in the last patLen - 1 bytes
    for (const auto& c : cases)
        EXPECT_EQ(Partition::MemMem(c.buf, c.bufLen, c.pat, c.patLen), c.at < 0 ? nullptr : c.buf + c.at) << c.pat;
}

// An instantiated block: disposal runs its destructor once, before the
// release; resizing through SetHandleSize and copying are refused (one
// report each, nothing changed); the other data operations proceed.
TEST(ObjectNodes, DestructorRunsOnceAndResizesAndCopiesAreRefused) {
    static Partition* part;
    static std::vector<std::pair<const void*, bool>> destroyed;  // data, still instantiated at the call
    Partition p;
    part = &p;
    const auto node = [&](size_t size) {
        Handle h = p.NewHandle(size);
        p.SetDestructor(*h, [](const void* data) { destroyed.emplace_back(data, part->GetInstantiatedState(data)); });
        p.SetInstantiatedState(*h, true);
        return h;
    };
    for (bool byHandle : {true, false}) {
        destroyed.clear();
        Handle h = node(32);
        const void* data = *h;
        byHandle ? p.DisposeHandle(h) : p.DisposePtr(*h);
        EXPECT_EQ(destroyed, (std::vector<std::pair<const void*, bool>>{{data, false}}));
    }
    Handle plain = p.NewHandle(32);
    p.SetDestructor(*plain, [](const void*) { ADD_FAILURE() << "not instantiated: never called"; });
    p.DisposeHandle(plain);

    Handle h = node(32), other = p.NewHandle(8), copy = h;
    bool copied = false;
    AssertLog log;
    EXPECT_FALSE(p.SetHandleSize(h, 64));
    EXPECT_FALSE(p.SetHandleSize(h, 64, [&](auto...) { copied = true; }));
    EXPECT_FALSE(p.HandToHand(copy));
    EXPECT_FALSE(p.HandAndHand(h, other));
    EXPECT_FALSE(p.HandAndHand(other, h));
    EXPECT_EQ(log.Failures(), 5u);
    EXPECT_FALSE(copied);
    EXPECT_EQ(copy, h);
    EXPECT_EQ(p.GetHandleSize(h), 32u);
    EXPECT_EQ(p.GetHandleSize(other), 8u);
    char c = 'c';
    EXPECT_TRUE(p.SetPtrSize(*h, 64));
    EXPECT_TRUE(p.PtrAndHand(&c, h, 1));
    EXPECT_TRUE(p.InsertData(h, 0, &c, 1));
    EXPECT_TRUE(p.PtrToXHand(&c, h, 1));
    EXPECT_EQ(log.Failures(), 5u);
    p.SetInstantiatedState(*h, false);
}

PoolHeader& PoolOf(Handle pool) { return *reinterpret_cast<PoolHeader*>(*pool); }

TEST(Pool, FormatsInOneBlockAndHandsOutInAddressOrderThenLastReleasedFirst) {
    Partition p;
    Handle pool = p.CreatePool(64, 3);
    const PoolHeader& h = PoolOf(pool);
    EXPECT_EQ(p.GetHandleSize(pool), size_t{3 * (64 + 136 + 32) + 64});
    EXPECT_EQ(h.blockStride, 200u);
    EXPECT_EQ(reinterpret_cast<char*>(h.firstBlock), *pool + 64 + 3 * 32);
    EXPECT_EQ(Linked(p.blockCounts), 1u) << "only the storage block is registered";
    std::vector<char*> got;
    for (int i = 0; i < 4; ++i) got.push_back(reinterpret_cast<char*>(p.RequestPoolBlock(pool)));
    EXPECT_EQ(got, (std::vector<char*>{reinterpret_cast<char*>(h.firstBlock), got[0] + 200, got[0] + 400, nullptr}));
    EXPECT_EQ(Hdr(got[1])->magic, KRMM::kPoolBlockMagic);
    EXPECT_EQ(Hdr(got[1])->pool, pool);
    p.ReleasePoolBlock(pool, AsHandle(Hdr(got[2])));
    p.ReleasePoolBlock(pool, AsHandle(Hdr(got[0])));
    EXPECT_EQ(reinterpret_cast<char*>(p.RequestPoolBlock(pool)), got[0]);
    EXPECT_EQ(reinterpret_cast<char*>(p.RequestPoolBlock(pool)), got[2]);
    EXPECT_EQ(p.CreatePool(SIZE_MAX - 100, 1), nullptr);
    EXPECT_EQ(p.CreatePool(64, SIZE_MAX / 200), nullptr);
    EXPECT_EQ(p.numCalls, 1) << "a size that cannot exist never reaches Allocate";
    EXPECT_EQ(p.RequestPoolBlock(p.CreatePool(32, 0)), nullptr);
}

TEST(Pool, AllocateUsesTheCurrentPoolOnlyWhenEnabledAndFallsBackWhenExhausted) {
    Partition p;
    Handle pool = p.CreatePool(64, 3);  // 760 bytes
    p.SetCurrentPool(pool);
    std::vector<Handle> got = {p.NewHandle(16)};  // pooling is off: the heap
    p.SetPoolEnabled(true);
    for (size_t size : {0, 32, 64, 8, 65}) got.push_back(p.NewHandle(size));  // three fit, then exhausted, too big
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(Hdr(got[i])->pool, i >= 1 && i <= 3 ? pool : nullptr) << i;
    EXPECT_EQ(Hdr(got[2])->memSize, 32u);
    EXPECT_EQ(p.numpoolHits, 3);
    EXPECT_EQ(p.numCalls, 7);
    EXPECT_EQ(p.bytesAllocated, 760 + 16 + 32 + 64 + 8 + 65);
    p.DisposeHandle(got[2]);
    EXPECT_EQ(p.bytesAllocated, 760 + 16 + 64 + 8 + 65);
    EXPECT_EQ(p.numBlocks, 6);
    p.SetPoolEnabled(false);
    EXPECT_EQ(Hdr(p.NewHandle(8))->pool, nullptr) << "pooling off again";
    p.DestroyPool(pool);
    EXPECT_EQ(p.currentPool, nullptr);
}

TEST(Pool, ReleaseUndoesGrowthAndResetsTheHeaderForTheNextUser) {
    Partition partition;
    Handle pool = partition.CreatePool(64, 2), h = AsHandle(partition.RequestPoolBlock(pool));
    MemoryBlock* b = Hdr(h);
    std::tie(b->qtResource, b->resFile, b->userData, b->locked, b->oversize) = make_tuple(&b->userData, 12, h, true, 40);
    {
        HeapRefusal heap;
        ASSERT_TRUE(partition.SetHandleSize(h, 500));
        partition.ReleasePoolBlock(pool, h);
        EXPECT_EQ(heap.LiveDelta(), 0) << "detached storage freed";
    }
    EXPECT_EQ(make_tuple(b->masterPtr, b->flags, b->memSize, b->capacity, b->qtResource, b->resFile, b->userData),
              make_tuple(reinterpret_cast<char*>(b) + 136, KRMM::kBlockFlagPooled, size_t{64}, size_t{64},
                         static_cast<void**>(nullptr), int16_t{-1}, static_cast<void*>(nullptr)));
    EXPECT_EQ(make_tuple(b->locked, b->oversize), make_tuple(true, 40u)) << "stay as the last user left them";
    ASSERT_EQ(AsHandle(partition.RequestPoolBlock(pool)), h);
    b->resFile = 5;  // no resource: resFile survives the release
    partition.SetHandleSize(h, 10);
    partition.ReleasePoolBlock(pool, h);
    EXPECT_EQ(b->resFile, 5);
    EXPECT_EQ(b->memSize, 10u);
}

} // namespace
