// refusal_sweep_test.cpp - every heap request of a realistic session refused
// in turn.
//
// The session (handles inline and detached, moves, every data operation, a
// pool with pooling on, call-stack records, a resource block, untracked
// string memory, releases) runs once to count its heap requests, N. Then it
// runs N more times, refusing request 1, 2, ..., N. While it runs, each step
// writes what it saw into fixed arrays (nothing may allocate while the heap
// is being refused, and gtest allocates on failure); the checks come after:
// the step that met the refusal returned its failure result, the callbacks
// heard it once with the size asked for (TXStringAllocate tells nobody), the
// one report names it, every other step succeeded, the counters followed the
// counting rules after every step, the partition still works afterwards,
// and once it is destroyed the heap holds nothing it allocated.
#include <array>

#include "krmm_test.h"

namespace {

using namespace krmm_test;

constexpr const char* kHeaderRefused = "Allocate new failed (exception)";
constexpr const char* kStorageRefused = "Allocate(disconnected data) new failed (exception)";
constexpr const char* kResizeRefused = "Resize new failed (exception)";
// A call-stack record is a vector object and its 59-slot array; refusing
// either leaves the block without a record but does not fail the request.
constexpr size_t kRecordSizes[] = {sizeof(std::vector<void*>), 59 * sizeof(void*)};

enum class Kind { Allocate, Resize, Resource, TXString, None };
enum class Result { Done, Failed, NullInput };

// What the callbacks heard during one step.
struct Notified {
    size_t count = 0;
    int event = 0;
    size_t size = 0;
};

// The session's state and the counters as the counting rules predict them.
struct Session {
    Partition& p;
    Handle h[8] = {};
    char* ptr = nullptr;
    Handle pool = nullptr;
    Handle pooled[4] = {};
    Handle resource = nullptr;
    void* text = nullptr;
    void* hostData[1] = {nullptr};
    char hostBytes[96] = {};
    char source[6000] = {};
    size_t failSize = 0;  // what the callbacks hear if the step fails
    int32_t calls = 0;
    int64_t blocks = 0, bytes = 0;

    explicit Session(Partition& partition) : p(partition) {
        for (size_t i = 0; i < sizeof source; ++i) source[i] = static_cast<char>(i * 7 + 1);
        hostData[0] = hostBytes;
    }
    // Counted on entry, whatever the heap says.
    void CountAllocate(size_t n) {
        ++calls;
        ++blocks;
        bytes += static_cast<int64_t>(n);
        failSize = n;
    }
    void CountResize(Handle handle, size_t n) {
        if (handle != nullptr) bytes += static_cast<int64_t>(n) - static_cast<int64_t>(p.GetHandleSize(handle));
        failSize = n;
    }
    void CountRelease(Handle handle) {
        if (handle == nullptr) return;
        --blocks;
        bytes -= static_cast<int64_t>(p.GetHandleSize(handle));
    }
    Result Made(const void* result) { return result != nullptr ? Result::Done : Result::Failed; }
    Result Grown(Handle handle, bool ok) {
        return handle == nullptr ? Result::NullInput : ok ? Result::Done : Result::Failed;
    }
    Result Alloc(Handle& slot, size_t n) {
        CountAllocate(n);
        slot = p.NewHandle(n);
        return Made(slot);
    }
    Result Resize(Handle handle, size_t n) {
        CountResize(handle, n);
        return Grown(handle, p.SetHandleSize(handle, n));
    }
    Result Release(Handle& slot) {
        CountRelease(slot);
        p.DisposeHandle(slot);
        slot = nullptr;
        return Result::Done;
    }
};

struct Step {
    const char* name;
    Kind kind;
    Result (*run)(Session&);
};

// The session. Sizes are chosen so that no request other than a record's is
// 24 or 472 bytes.
const Step kSteps[] = {
    {"NewHandle inline", Kind::Allocate, [](Session& s) { return s.Alloc(s.h[0], 64); }},
    {"NewHandle detached", Kind::Allocate, [](Session& s) { return s.Alloc(s.h[1], 6000); }},
    {"NewPtrClear", Kind::Allocate, [](Session& s) {
         s.CountAllocate(200);
         s.ptr = s.p.NewPtrClear(200);
         return s.Made(s.ptr);
     }},
    {"SetHandleSize moves", Kind::Resize, [](Session& s) { return s.Resize(s.h[0], 1000); }},
    {"SetHandleSize with oversize", Kind::Resize, [](Session& s) {
         s.p.SetHandleOversize(s.h[0], 100, false);
         return s.Resize(s.h[0], 1200);
     }},
    {"PtrAndHand", Kind::Resize, [](Session& s) {
         s.CountResize(s.h[1], s.p.GetHandleSize(s.h[1]) + 3000);
         return s.Grown(s.h[1], s.p.PtrAndHand(s.source, s.h[1], 3000));
     }},
    {"HandToHand", Kind::Allocate, [](Session& s) {
         if (s.h[0] == nullptr) return Result::NullInput;
         s.CountAllocate(s.p.GetHandleSize(s.h[0]));
         s.h[2] = s.h[0];
         return s.p.HandToHand(s.h[2]) ? Result::Done : Result::Failed;
     }},
    {"PtrToHand", Kind::Allocate, [](Session& s) {
         s.CountAllocate(300);
         return s.Made(s.p.PtrToHand(s.source, s.h[3], 300));
     }},
    {"InsertData", Kind::Resize, [](Session& s) {
         s.CountResize(s.h[3], s.p.GetHandleSize(s.h[3]) + 5000);
         return s.Grown(s.h[3], s.p.InsertData(s.h[3], 10, s.source, 5000));
     }},
    {"HandAndHand", Kind::Resize, [](Session& s) {
         if (s.h[0] == nullptr) return Result::NullInput;
         s.CountResize(s.h[2], s.p.GetHandleSize(s.h[2]) + s.p.GetHandleSize(s.h[0]));
         return s.Grown(s.h[2], s.p.HandAndHand(s.h[0], s.h[2]));
     }},
    {"CreatePool", Kind::Allocate, [](Session& s) {
         s.CountAllocate(4 * (64 + 136 + 32) + 64);
         s.pool = s.p.CreatePool(64, 4);
         s.p.SetCurrentPool(s.pool);
         s.p.SetPoolEnabled(true);
         return s.Made(s.pool);
     }},
    {"pooled NewHandles", Kind::Allocate, [](Session& s) {
         for (int i = 0; i < 3; ++i)
             if (s.Alloc(s.pooled[i], 32) == Result::Failed) return Result::Failed;
         return Result::Done;
     }},
    {"pool block grown", Kind::Resize, [](Session& s) { return s.Resize(s.pooled[0], 500); }},
    {"traced pool block", Kind::Allocate, [](Session& s) {
         s.p.EnableStackTraceInfo(true);
         return s.Alloc(s.pooled[3], 16);
     }},
    {"traced NewHandle past the pool", Kind::Allocate, [](Session& s) {
         const Result r = s.Alloc(s.h[5], 48);
         s.p.EnableStackTraceInfo(false);
         return r;
     }},
    {"resource block", Kind::Resource, [](Session& s) {
         ++s.calls;
         ++s.blocks;
         s.failSize = sizeof s.hostBytes;
         s.resource = s.p.GetOrCreateHandleFromQTResourceHandle(s.hostData, sizeof s.hostBytes, 3);
         return s.Made(s.resource);
     }},
    {"resource resized", Kind::Resize, [](Session& s) {
         s.CountResize(s.resource, 200);
         return s.Grown(s.resource, s.resource != nullptr && s.p.Resize(s.resource, 200, {}));
     }},
    {"TXStringAllocate", Kind::TXString, [](Session& s) {
         s.text = s.p.TXStringAllocate(100);
         return s.Made(s.text);
     }},
    {"NewHandleClear(0)", Kind::Allocate, [](Session& s) {
         s.p.SetPoolEnabled(false);
         s.CountAllocate(0);
         s.h[6] = s.p.NewHandleClear(0);
         return s.Made(s.h[6]);
     }},
    {"releases", Kind::None, [](Session& s) {
         s.Release(s.h[1]);
         s.CountRelease(s.ptr ? s.p.GetHandle(s.ptr) : nullptr);
         s.p.DisposePtr(s.ptr);
         if (s.resource != nullptr) --s.blocks;
         s.p.DeleteAllHandlesWithResourceFile(3);
         for (Handle& b : s.pooled) s.Release(b);
         for (Handle& b : s.h) s.Release(b);
         if (s.pool != nullptr) {
             s.CountRelease(s.pool);
             s.p.DestroyPool(s.pool);
         }
         s.p.TXStringDeallocate(s.text);
         return Result::Done;
     }},
};
constexpr size_t kStepCount = std::size(kSteps);

// What one step saw, written while the heap is armed.
struct Seen {
    size_t before, after, refusals;
    Result result;
    Notified heard;
    size_t failSize;
    bool countersHeld;
};

struct SessionRun {
    std::array<Seen, kStepCount> steps{};
    size_t requests = 0, refusals = 0;
    long liveAfterDestruction = 0;
    bool stillWorks = false;
    bool registryEmpty = false;
    std::vector<std::string> reports;
    std::vector<size_t> sizes;
};

// Runs the session under `plan`, then checks that the partition still makes,
// moves, copies and releases blocks, and destroys it.
SessionRun RunSession(HeapPlan plan) {
    SessionRun run;
    AssertLog log;
    {
        HeapRefusal heap(plan);
        {
            Partition partition;
            partition.RegisterMemoryCallbackFunction(&Hear, nullptr);
            Session s(partition);
            for (size_t i = 0; i < kStepCount; ++i) {
                Seen& seen = run.steps[i];
                g_heardCount = 0;
                seen.before = heap.Requests();
                const size_t refusalsBefore = heap.Refusals();
                seen.result = kSteps[i].run(s);
                seen.after = heap.Requests();
                seen.refusals = heap.Refusals() - refusalsBefore;
                seen.heard = Notified{g_heardCount, g_heard[0].event, g_heard[0].size};
                seen.failSize = s.failSize;
                seen.countersHeld = partition.numCalls == s.calls && partition.numBlocks == s.blocks &&
                                    partition.bytesAllocated == s.bytes;
            }
            unsigned long chained = 0;
            for (size_t b = 0; b < 1024; ++b) chained += partition.blockCounts[b] + partition.resourceCounts[b];
            run.registryEmpty = chained == 0;

            // Still works: every request after the refused one is granted.
            Handle a = partition.NewHandle(100);
            bool works = a != nullptr && partition.SetHandleSize(a, 7000);
            if (works) std::memset(*a, 0x5A, 7000);
            Handle b = a;
            works = works && partition.HandToHand(b) && partition.GetHandleSize(b) == 7000 &&
                    std::memcmp(*a, *b, 7000) == 0;
            partition.DisposeHandle(a);
            partition.DisposeHandle(b);
            run.stillWorks = works && partition.numBlocks == s.blocks && partition.bytesAllocated == s.bytes;
        }
        run.requests = heap.Requests();
        run.refusals = heap.Refusals();
        run.liveAfterDestruction = heap.LiveDelta();
        run.sizes = heap.Sizes();
    }
    run.reports = log.Failures();
    return run;
}

bool IsRecord(size_t size) {
    return size == kRecordSizes[0] || size == kRecordSizes[1];
}

TEST(RefusalSweep, EveryHeapRequestOfASessionRefusedInTurn) {
    const SessionRun clean = RunSession(HeapPlan{});
    ASSERT_EQ(clean.refusals, 0u);
    ASSERT_TRUE(clean.stillWorks && clean.registryEmpty);
    EXPECT_EQ(clean.liveAfterDestruction, 0);
    EXPECT_TRUE(clean.reports.empty());
    for (size_t i = 0; i < kStepCount; ++i) {
        EXPECT_EQ(clean.steps[i].result, Result::Done) << kSteps[i].name;
        EXPECT_TRUE(clean.steps[i].countersHeld) << kSteps[i].name;
    }
    // Requests of the session proper (the still-works check follows them): one
    // per inline block and per move, two per detached block, two per record.
    const size_t n = clean.steps[kStepCount - 1].after;
    ASSERT_EQ(n, 22u);

    size_t recordRefusals = 0;
    for (size_t k = 1; k <= n; ++k) {
        SCOPED_TRACE("refusing request " + std::to_string(k) + " of " + std::to_string(n));
        const SessionRun run = RunSession(HeapPlan{k, SIZE_MAX, false});
        ASSERT_EQ(run.refusals, 1u);
        EXPECT_EQ(run.liveAfterDestruction, 0) << "a refusal leaked";
        EXPECT_TRUE(run.stillWorks);
        EXPECT_TRUE(run.registryEmpty);
        const bool record = IsRecord(run.sizes.at(k - 1));
        recordRefusals += record;
        std::vector<std::string> expectedReports;
        for (size_t i = 0; i < kStepCount; ++i) {
            const Seen& seen = run.steps[i];
            const Step& step = kSteps[i];
            EXPECT_TRUE(seen.countersHeld) << step.name << ": counters broke the counting rules";
            if (seen.result == Result::NullInput) {
                EXPECT_EQ(seen.after, seen.before) << step.name;
            }
            if (seen.refusals == 0 || record) {
                EXPECT_NE(seen.result, Result::Failed) << step.name << " failed without a refusal";
                EXPECT_EQ(seen.heard.count, 0u) << step.name;
                continue;
            }
            EXPECT_EQ(seen.result, Result::Failed) << step.name << " hid a refusal";
            const bool storage = step.kind == Kind::Allocate && k - seen.before > 1;
            switch (step.kind) {
                case Kind::Resize: expectedReports.push_back(kResizeRefused); break;
                case Kind::Allocate: expectedReports.push_back(storage ? kStorageRefused : kHeaderRefused); break;
                default: expectedReports.push_back(kHeaderRefused); break;
            }
            if (step.kind == Kind::TXString) {
                EXPECT_EQ(seen.heard.count, 0u) << "TXStringAllocate tells no callback";
            } else {
                EXPECT_EQ(seen.heard.count, 1u) << step.name;
                EXPECT_EQ(seen.heard.event, 1) << step.name;
                EXPECT_EQ(seen.heard.size, seen.failSize) << step.name;
            }
        }
        EXPECT_EQ(run.reports, expectedReports);
    }
    EXPECT_EQ(recordRefusals, 4u) << "two traced hand-outs, two requests for each record";
    RecordProperty("requests_refused", static_cast<int>(n));
}

} // namespace
