// Counting inside critical sections, the pool's folded release, and the
// in-place resize of SetHandleSize / SetPtrSize: every result and counter
// must be what the separate steps would give.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/Diagnostics.h>
#include <KRMM/KRMM.h>

#include "assert_log.h"
#include "heap_refusal.h"

using KRMM::Handle;
using KRMM::MemoryBlock;
using KRMM::Partition;
using krmm_test::AssertLog;
using krmm_test::HeapRefusal;

namespace {

struct Snapshot {
    int32_t calls;
    int64_t blocks, bytes, hits;
    Snapshot(int32_t c, int64_t bl, int64_t by, int64_t h) : calls(c), blocks(bl), bytes(by), hits(h) {}
    explicit Snapshot(const Partition& p)
        : calls(p.numCalls), blocks(p.numBlocks), bytes(p.bytesAllocated), hits(p.numpoolHits) {}
    bool operator==(const Snapshot&) const = default;
};

void PrintTo(const Snapshot& s, std::ostream* os) {
    *os << "{calls " << s.calls << ", blocks " << s.blocks << ", bytes " << s.bytes << ", hits " << s.hits << "}";
}

// What a callback or an assertion observer sees of the partition at the moment it runs.
Partition* g_watched = nullptr;
std::vector<Snapshot> g_seen;
void RecordCounters(int, size_t, void*) { g_seen.emplace_back(*g_watched); }
void RecordCountersAtReport(bool, const char*) { g_seen.emplace_back(*g_watched); }

void Watch(Partition& p) {
    g_watched = &p;
    g_seen.clear();
    g_seen.reserve(16);  // recording must not allocate while the heap refuses
}

unsigned long Registered(const Partition& p) {
    unsigned long n = 0;
    for (unsigned long c : p.blockCounts) n += c;
    return n;
}

KRMM::PoolHeader* PoolOf(Handle pool) { return reinterpret_cast<KRMM::PoolHeader*>(*pool); }

void Fill(char* p, size_t n, uint32_t seed) {
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<char>(seed * 31 + i * 7);
}

::testing::AssertionResult Holds(const char* p, size_t n, uint32_t seed) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != static_cast<char>(seed * 31 + i * 7))
            return ::testing::AssertionFailure() << "byte " << i << " of " << n << " differs";
    return ::testing::AssertionSuccess();
}

} // namespace

TEST(Counting, RefusedRequestsAreCountedBeforeCallbacksHearOfThem) {
    Partition partition;
    Watch(partition);
    ASSERT_TRUE(partition.RegisterMemoryCallbackFunction(&RecordCounters, nullptr));
    {
        HeapRefusal refuse = HeapRefusal::FailNth(1);
        EXPECT_EQ(partition.Allocate(40), nullptr);
    }
    {
        HeapRefusal refuse = HeapRefusal::FailNth(2);  // the detached storage
        EXPECT_EQ(partition.Allocate(7000), nullptr);
    }
    {
        HeapRefusal refuse = HeapRefusal::FailNth(1);
        EXPECT_EQ(partition.AllocateFromExistingResource(&partition, 12), nullptr);
    }
    ASSERT_EQ(g_seen.size(), 3u);
    EXPECT_EQ(g_seen[0], (Snapshot{1, 1, 40, 0}));
    EXPECT_EQ(g_seen[1], (Snapshot{2, 2, 7040, 0}));
    EXPECT_EQ(g_seen[2], (Snapshot{3, 3, 7040, 0})) << "a resource request counts no bytes";
    EXPECT_EQ(Snapshot(partition), g_seen[2]);
    EXPECT_EQ(Registered(partition), 0u);
}

TEST(Counting, PoolPathCountsHitsAndReleasesExactly) {
    for (bool tracing : {false, true}) {
        SCOPED_TRACE(tracing ? "tracing on" : "tracing off");
        Partition partition;
        partition.EnableStackTraceInfo(tracing);
        Handle pool = partition.CreatePool(64, 3);
        const Snapshot base(partition);
        partition.SetCurrentPool(pool);
        partition.SetPoolEnabled(true);

        const size_t sizes[] = {0, 64, 17, 65, 40};
        std::vector<char*> live;
        int64_t bytes = 0;
        for (size_t s : sizes) {
            live.push_back(partition.Allocate(s));
            ASSERT_NE(live.back(), nullptr);
            Fill(live.back(), s, static_cast<uint32_t>(s));
            bytes += static_cast<int64_t>(s);
        }
        // 0, 64 and 17 from the pool; 65 is too large; 40 finds the pool empty.
        EXPECT_EQ(PoolOf(pool)->freeCount, 0u);
        EXPECT_EQ(Snapshot(partition), (Snapshot{base.calls + 5, base.blocks + 5, base.bytes + bytes, 3}));
        EXPECT_EQ(partition.GetHandle(live[0]), reinterpret_cast<Handle>(PoolOf(pool)->firstBlock));
        EXPECT_EQ(partition.GetHandle(live[2])[0], live[2]);
        for (size_t i = 0; i < live.size(); ++i) EXPECT_TRUE(Holds(live[i], sizes[i], static_cast<uint32_t>(sizes[i])));

        for (char* p : live) partition.Deallocate(p);
        EXPECT_EQ(Snapshot(partition), (Snapshot{base.calls + 5, base.blocks, base.bytes, 3}));
        EXPECT_EQ(PoolOf(pool)->freeCount, 3u);
        EXPECT_EQ(Registered(partition), 1u) << "only the pool's storage block";
        partition.DestroyPool(pool);
    }
}

TEST(Counting, ResizeEntryPointsAgreeOnEveryStep) {
    struct Shape {
        const char* name;
        size_t size;
        unsigned oversize;
        bool pooled;
    };
    const Shape shapes[] = {{"inline", 300, 0, false},
                            {"detached", 9000, 0, false},
                            {"oversize", 6000, 3000, false},
                            {"pool", 96, 0, true}};
    std::mt19937 rng(2024);
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        Partition partition;
        Handle pool = nullptr;
        if (shape.pooled) {
            pool = partition.CreatePool(shape.size, 3);
            partition.SetCurrentPool(pool);
            partition.SetPoolEnabled(true);
        }
        Handle h[3];
        for (Handle& x : h) {
            x = partition.NewHandle(shape.size);
            ASSERT_NE(x, nullptr);
            partition.SetHandleOversize(x, shape.oversize, true);
            Fill(*x, shape.size, 5);
        }
        size_t valid = shape.size;  // bytes that hold the pattern in all three
        for (int step = 0; step < 300; ++step) {
            const size_t size = rng() % 4 == 0 ? rng() % 20000 : (rng() % 2 ? valid + rng() % 64 : valid / 2);
            int64_t delta[3];
            for (int i = 0; i < 3; ++i) {
                const int64_t before = partition.bytesAllocated;
                const bool ok = i == 0   ? partition.SetHandleSize(h[i], size)
                                : i == 1 ? partition.SetPtrSize(*h[i], size)
                                         : partition.Resize(h[i], size, KRMM::ResizeCopyProc());
                ASSERT_TRUE(ok) << "step " << step;
                delta[i] = partition.bytesAllocated - before;
            }
            valid = std::min(valid, size);
            const auto* ref = reinterpret_cast<const MemoryBlock*>(h[2]);
            for (int i = 0; i < 3; ++i) {
                const auto* b = reinterpret_cast<const MemoryBlock*>(h[i]);
                ASSERT_EQ(b->memSize, size);
                ASSERT_EQ(b->capacity, ref->capacity) << "step " << step;
                ASSERT_EQ(b->flags, ref->flags) << "step " << step;
                ASSERT_EQ(delta[i], delta[2]);
                ASSERT_EQ(partition.GetHandle(*h[i]), h[i]);
                ASSERT_TRUE(Holds(*h[i], valid, 5)) << "step " << step;
                Fill(*h[i], size, 5);
            }
            valid = size;
        }
        for (Handle x : h) partition.DisposeHandle(x);
        if (pool != nullptr) partition.DestroyPool(pool);
        EXPECT_EQ(partition.numBlocks, 0);
        EXPECT_EQ(partition.bytesAllocated, 0);
    }
}

TEST(Counting, ReleasesAreCountedBeforeTheirMagicIsReported) {
    Partition partition;
    char* p = partition.Allocate(30);
    MemoryBlock* resource = partition.AllocateFromExistingResource(&partition, 12);
    Watch(partition);
    // Damaged magic numbers, so that both releases report (and release all the same).
    reinterpret_cast<MemoryBlock*>(partition.GetHandle(p))->magic = 0;
    resource->magic = 0;
    const KRMM::diag::AssertObserver previous = KRMM::diag::SetAssertObserver(&RecordCountersAtReport);
    partition.Deallocate(p);
    partition.DeallocateResource(resource);
    KRMM::diag::SetAssertObserver(previous);
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_EQ(g_seen[0], (Snapshot{2, 1, 0, 0}));
    EXPECT_EQ(g_seen[1], (Snapshot{2, 0, 0, 0}));
}
