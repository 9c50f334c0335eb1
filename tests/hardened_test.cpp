// hardened_test.cpp - the hardened build refuses misused arguments: a
// report of its own, the result of a null argument, and nothing changed.
#include <cstdlib>

#include <KRMM/Diagnostics.h>

#include "krmm_test.h"

namespace {

using namespace krmm_test;

// A partition with a live handle, a disposed one, a handle of another
// partition, a resource block and a pointer from malloc.
struct Scene {
    Partition p, other;
    Handle live = p.NewHandle(40), big = p.NewHandle(6000), disposed = p.NewHandle(40);
    Handle foreign = other.NewHandle(40);
    void* host = nullptr;
    Handle resource = reinterpret_cast<Handle>(p.AllocateFromExistingResource(&host, 8));
    char* heap = static_cast<char*>(std::malloc(64));
    Scene() { p.DisposeHandle(disposed); }
    ~Scene() { std::free(heap); }
};

TEST(Hardened, MisusedArgumentsAreReportedAndChangeNothing) {
    if (!KRMM::diag::HardenedChecks()) GTEST_SKIP() << "built without KRMM_HARDENED";
    char c = 'c';
    const struct {
        const char* what;
        std::function<bool(Scene&)> run;  // true when the result is the one for a null argument
    } rows[] = {
        {"second DisposeHandle", [](Scene& s) { s.p.DisposeHandle(s.disposed); return true; }},
        {"DisposePtr of malloc'd memory", [](Scene& s) { s.p.DisposePtr(s.heap); return true; }},
        {"GetPtrSize of malloc'd memory", [](Scene& s) { return s.p.GetPtrSize(s.heap) == 0; }},
        {"SetHandleSize of a disposed handle", [](Scene& s) { return !s.p.SetHandleSize(s.disposed, 100); }},
        {"SetHandleSize of another partition's handle", [](Scene& s) { return !s.p.SetHandleSize(s.foreign, 9); }},
        {"DisposeHandle of a data pointer", [](Scene& s) { s.p.DisposeHandle(reinterpret_cast<Handle>(*s.live)); return true; }},
        {"DisposePtr of a handle", [](Scene& s) { s.p.DisposePtr(reinterpret_cast<char*>(s.big)); return true; }},
        {"DisposePtr inside a block", [](Scene& s) { s.p.DisposePtr(*s.live + 8); return true; }},
        {"DisposeHandle of a resource block", [](Scene& s) { s.p.DisposeHandle(s.resource); return true; }},
        {"DeallocateResource of a heap block", [](Scene& s) { s.p.DeallocateResource(s.live); return true; }},
        {"GetHandleSize of a disposed handle", [](Scene& s) { return s.p.GetHandleSize(s.disposed) == 0; }},
        {"HLock of another partition's handle", [](Scene& s) { return !s.p.HLock(s.foreign); }},
        {"HandAndHand from a disposed handle", [](Scene& s) { return !s.p.HandAndHand(s.disposed, s.live); }},
        {"HandToHand of a data pointer", [](Scene& s) {
             Handle v = reinterpret_cast<Handle>(*s.big);
             return !s.p.HandToHand(v); }},
        {"PtrAndHand into a disposed handle", [&](Scene& s) { return !s.p.PtrAndHand(&c, s.disposed, 1); }},
        {"InsertData into another partition's handle", [&](Scene& s) { return !s.p.InsertData(s.foreign, 0, &c, 1); }},
        {"SetPtrSize of malloc'd memory", [](Scene& s) { return !s.p.SetPtrSize(s.heap, 10); }},
        {"Resize of a disposed handle", [](Scene& s) { return !s.p.Resize(s.disposed, 10, {}); }},
        {"SetUserData on a data pointer", [](Scene& s) { s.p.SetUserData(&s, *s.big); return s.p.GetUserData(s.big) == nullptr; }},
        {"SetInstantiatedState of a handle", [](Scene& s) {
             s.p.SetInstantiatedState(s.live, true);
             return !s.p.GetInstantiatedState(*s.live); }},
        {"ReleasePoolBlock of a heap block", [](Scene& s) {
             Handle pool = s.p.CreatePool(16, 2);
             s.p.ReleasePoolBlock(pool, s.live);
             s.p.DestroyPool(pool);
             return true; }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Scene s;
        const auto state = [&] {
            return make_tuple(s.p.numBlocks, s.p.bytesAllocated, s.p.GetBlockCount(), Linked(s.p.resourceCounts),
                              s.other.numBlocks, s.p.GetHandleSize(s.live), s.p.GetHandleSize(s.big));
        };
        const auto before = state();
        HeapRefusal heap;
        AssertLog log;
        EXPECT_TRUE(row.run(s));
        ASSERT_EQ(log.Failures(), 1u);
        EXPECT_EQ(log.LastFailure().rfind("KRMM hardened: ", 0), 0u) << log.LastFailure();
        EXPECT_EQ(state(), before);
        EXPECT_EQ(heap.LiveDelta(), 0);
        EXPECT_EQ(KRMM::diag::CheckPartition(s.p), std::vector<std::string>{});
        EXPECT_EQ(KRMM::diag::CheckPartition(s.other), std::vector<std::string>{});
    }
}

} // namespace
