// refusal_sweep_test.cpp - every heap request of a realistic session refused
// in turn.
//
// The session (handles inline and detached, moves, the data operations, a
// pool with pooling on, call-stack records, a resource block, untracked
// string memory) runs once to count its heap requests, N, then again
// refusing request 1, 2, ..., N; it stops at the first operation that fails
// and releases what it holds. While the heap is being refused nothing may
// allocate (gtest does on failure), so what the run sees is noted in plain
// fields and checked afterwards: the operation that failed is the one that
// met the refusal (only a call-stack record may be refused without failing
// its request), the callbacks heard it once with the size asked for
// (TXStringAllocate tells nobody), it made one report, the counters followed
// the counting rules after every operation, the partition still works, and
// once destroyed it holds nothing on the heap.
#include "krmm_test.h"

namespace {

using namespace krmm_test;

// The session's blocks, and the counters as the counting rules predict them:
// a request is counted on entry, whatever the heap then says.
struct Session {
    Partition& p;
    Handle h[12] = {}, pool = nullptr, resource = nullptr;  // h[8] to h[11]: pool blocks
    char *ptr = nullptr, hostBytes[96] = {}, source[6000] = {};
    void *text = nullptr, *hostData[1] = {hostBytes};
    int32_t calls = 0;
    int64_t blocks = 0, bytes = 0;
    size_t asked = 0;   // what the callbacks hear if the operation fails
    bool told = false;  // whether they hear it at all

    bool Make(size_t n, size_t counted) { return ++calls, ++blocks, bytes += counted, asked = n, told = true; }
    bool New(Handle& slot, size_t n) { return Make(n, n) && (slot = p.NewHandle(n)); }
    bool Grow(Handle b, size_t n) { return bytes += n - p.GetHandleSize(b), asked = n, told = true; }
    bool Resize(Handle b, size_t n) { return Grow(b, n) && p.SetHandleSize(b, n); }
    void Release(Handle& b) {
        if (b != nullptr) --blocks, bytes -= p.GetHandleSize(b), p.DisposeHandle(b), b = nullptr;
    }
};

// The session, in order. It stops at its first failure, so each operation
// knows the sizes the earlier ones left (h[0] is 1200 bytes after the moves).
// Sizes are chosen so that no request other than a record's is 24 or 472 bytes.
const struct Operation {
    const char* name;
    bool (*run)(Session&);
} kSession[] = {
    {"NewHandle inline", [](Session& s) { return s.New(s.h[0], 64); }},
    {"NewHandle detached", [](Session& s) { return s.New(s.h[1], 6000); }},
    {"NewPtrClear", [](Session& s) { return s.Make(200, 200) && (s.ptr = s.p.NewPtrClear(200)); }},
    {"SetHandleSize moves", [](Session& s) { return s.Resize(s.h[0], 1000); }},
    {"SetHandleSize with oversize",
     [](Session& s) { return s.p.SetHandleOversize(s.h[0], 100, false), s.Resize(s.h[0], 1200); }},
    {"PtrAndHand", [](Session& s) { return s.Grow(s.h[1], 9000) && s.p.PtrAndHand(s.source, s.h[1], 3000); }},
    {"HandToHand", [](Session& s) { return s.Make(1200, 1200) && s.p.HandToHand(s.h[2] = s.h[0]); }},
    {"PtrToHand", [](Session& s) { return s.Make(300, 300) && s.p.PtrToHand(s.source, s.h[3], 300); }},
    {"InsertData", [](Session& s) { return s.Grow(s.h[3], 5300) && s.p.InsertData(s.h[3], 10, s.source, 5000); }},
    {"HandAndHand", [](Session& s) { return s.Grow(s.h[2], 2400) && s.p.HandAndHand(s.h[0], s.h[2]); }},
    {"CreatePool", [](Session& s) { return s.Make(992, 992) && (s.pool = s.p.CreatePool(64, 4)); }},
    {"pooled NewHandles", [](Session& s) {
         s.p.SetCurrentPool(s.pool), s.p.SetPoolEnabled(true);
         return s.New(s.h[8], 32) && s.New(s.h[9], 32) && s.New(s.h[10], 32);
     }},
    {"pool block grown", [](Session& s) { return s.Resize(s.h[8], 500); }},
    {"traced pool block", [](Session& s) { return s.p.EnableStackTraceInfo(true), s.New(s.h[11], 16); }},
    {"traced NewHandle past the pool", [](Session& s) { return s.New(s.h[5], 48); }},
    {"resource block", [](Session& s) {
         return s.p.EnableStackTraceInfo(false), s.Make(96, 0) &&
                (s.resource = s.p.GetOrCreateHandleFromQTResourceHandle(s.hostData, 96, 3));
     }},
    {"resource resized", [](Session& s) { return s.Grow(s.resource, 200) && s.p.Resize(s.resource, 200, {}); }},
    {"TXStringAllocate", [](Session& s) { return s.told = false, (s.text = s.p.TXStringAllocate(100)) != nullptr; }},
    {"NewHandleClear(0)",
     [](Session& s) { return s.p.SetPoolEnabled(false), s.Make(0, 0) && (s.h[6] = s.p.NewHandleClear(0)); }},
};

// Releases everything the session holds, counting it out (a resource block's
// bytes stay counted).
void ReleaseAll(Session& s) {
    if (s.ptr != nullptr) s.h[4] = s.p.GetHandle(s.ptr);
    s.blocks -= s.resource != nullptr;
    s.p.DeleteAllHandlesWithResourceFile(3);
    for (Handle& b : s.h) s.Release(b);
    if (s.pool != nullptr) --s.blocks, s.bytes -= s.p.GetHandleSize(s.pool);
    s.p.DestroyPool(s.pool);
    s.p.TXStringDeallocate(s.text);
}

TEST(RefusalSweep, EveryHeapRequestOfASessionRefusedInTurn) {
    size_t n = 0, recordRefusals = 0;
    for (size_t k = 0; k <= n; ++k) {  // k = 0 refuses nothing and counts the session's requests
        SCOPED_TRACE("refusing request " + std::to_string(k) + " of " + std::to_string(n));
        // What the run sees, noted in plain variables while the heap is being refused.
        size_t failed = std::size(kSession), refusalsBefore = 0, asked = 0, heard = 0, refusals = 0, requests = 0,
               refused = 0;
        Heard first{};
        bool told = false, countersHeld = true, stillWorks = false;
        long live = 0;
        AssertLog log;
        {
            HeapRefusal heap(HeapPlan{k});
            {
                Partition partition;
                partition.RegisterMemoryCallbackFunction(&Hear, nullptr);
                Session s{partition};
                auto counted = [&] {
                    return make_tuple(partition.numCalls, partition.numBlocks, partition.bytesAllocated) ==
                           make_tuple(s.calls, s.blocks, s.bytes);
                };
                g_heardCount = 0;
                for (size_t i = 0; i < std::size(kSession) && failed == std::size(kSession); ++i) {
                    refusalsBefore = heap.Refusals();
                    if (!kSession[i].run(s)) failed = i, asked = s.asked, told = s.told;
                    countersHeld = countersHeld && counted();
                }
                requests = heap.Requests();
                heard = g_heardCount, first = g_heard[0];
                ReleaseAll(s);
                countersHeld = countersHeld && counted();
                // The registry is empty, and the partition still makes, moves, copies and releases.
                const bool empty = Linked(partition.blockCounts) + Linked(partition.resourceCounts) == 0;
                Handle a = partition.NewHandle(100), b = nullptr;
                stillWorks = empty && partition.SetHandleSize(a, 7000) && partition.HandToHand(b = a) &&
                             partition.GetHandleSize(b) == 7000;  // noted while the heap refuses: no gtest here
                partition.DisposeHandle(a);
                partition.DisposeHandle(b);
            }
            refusals = heap.Refusals(), live = heap.LiveDelta(), refused = k > 0 ? heap.Sizes().at(k - 1) : 0;
        }
        if (k == 0) n = requests;
        // One request per inline block and per move, two per detached block and per record.
        ASSERT_EQ(n, 22u);
        ASSERT_EQ(refusals, k == 0 ? 0u : 1u);
        EXPECT_EQ(live, 0) << "a refusal leaked";
        EXPECT_TRUE(countersHeld) << "the counters broke the counting rules";
        EXPECT_TRUE(stillWorks) << "the partition no longer makes, moves and copies";
        // A refused call-stack record leaves the block without one; the request succeeds.
        const bool record = refused == sizeof(std::vector<void*>) || refused == 59 * sizeof(void*);
        recordRefusals += record;
        const bool hasFailed = failed < std::size(kSession);
        ASSERT_EQ(hasFailed, k > 0 && !record) << (hasFailed ? kSession[failed].name : "no operation") << " failed";
        EXPECT_EQ(log.Failures(), hasFailed ? 1u : 0u) << "one report per failed request";
        if (!hasFailed || !told) {
            EXPECT_EQ(heard, 0u) << "no callback hears TXStringAllocate or a refused record";
            continue;
        }
        SCOPED_TRACE(kSession[failed].name);
        EXPECT_EQ(refusalsBefore, 0u) << "the refusal came before the operation that failed";
        EXPECT_EQ(heard, 1u);
        EXPECT_EQ(first.event, 1);
        EXPECT_EQ(first.size, asked);
    }
    EXPECT_EQ(recordRefusals, 4u) << "two traced hand-outs, two requests for each record";
}

} // namespace
