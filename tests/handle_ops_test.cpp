// Handle and pointer operations, object nodes, and the null results of every
// operation.
#include "krmm_test.h"

using namespace krmm_test;

namespace {
Partition* g_partition = nullptr;
std::vector<std::tuple<const void*, bool, int64_t>> g_destroyed;  // data, instantiated, numBlocks at the call
void RecordingDestructor(const void* data) {
    g_destroyed.emplace_back(data, g_partition->GetInstantiatedState(data), g_partition->numBlocks);
}
} // namespace

TEST(HandleOps, ClearedBytesLockFlagAndOversizeRules) {
    Partition part;
    Handle h = part.NewHandleClear(100), empty = part.NewHandleClear(0);
    KRMM::Ptr p = part.NewPtrClear(6000);
    EXPECT_TRUE(std::string(*h, 100) == std::string(100, '\0') && std::string(p, 6000) == std::string(6000, '\0') &&
                part.GetPtrSize(p) == 6000 && part.GetHandleSize(empty) == 0 && part.GetHandleMaxSize(empty) == 8);
    EXPECT_TRUE(part.HLock(h) && part.HLock(h) && part.SetHandleSize(h, 7000) && part.HandleIsLocked_Legacy(h))
        << "the lock flag never pins the data";
    EXPECT_EQ(static_cast<uint32_t>(int32_t{part.HGetState(h)}), 0xFFFFFF80u);
    EXPECT_TRUE(part.HUnlock(h) && part.HGetState(h) == 0);
    const unsigned steps[][3] = {{100, 0, 100}, {50, 0, 100}, {100, 0, 100}, {50, 1, 50}, {0, 1, 0}, {100, 0, 100}};
    for (const auto& [value, force, after] : steps) {
        part.SetHandleOversize(h, value, force != 0);
        EXPECT_EQ(part.GetHandleOversize(h), after) << value << (force ? " forced" : "");
    }
    EXPECT_TRUE(part.SetHandleSize(h, 20000) && part.GetHandleMaxSize(h) == 20100);
}

TEST(ObjectNodes, DisposalRunsTheDestructorOnceOnANoLongerInstantiatedBlock) {
    Partition part;
    g_partition = &part;
    for (bool byHandle : {true, false}) {
        g_destroyed.clear();
        Handle h = part.NewHandle(32);
        part.SetDestructor(*h, &RecordingDestructor);
        part.SetInstantiatedState(*h, true);
        const void* data = *h;
        byHandle ? part.DisposeHandle(h) : part.DisposePtr(*h);
        EXPECT_EQ(g_destroyed, (decltype(g_destroyed){{data, false, 1}})) << "once, before the release";
        EXPECT_EQ(part.numBlocks, 0);
    }
    Handle h = part.NewHandle(32);
    part.SetDestructor(*h, &RecordingDestructor);
    part.DisposeHandle(h);
    EXPECT_EQ(g_destroyed.size(), 1u) << "not instantiated: never called";
}

// Null handles, pointers and data give neutral results and change nothing.
TEST(NullArguments, EveryOperationGivesItsNeutralResult) {
    Partition p;
    MemoryBlock noData{};
    Handle var = nullptr;
    char src[4] = "abc";
    const auto noCopy = [](void*, unsigned long, void*, unsigned long) {};
    const std::pair<const char*, bool> cases[] = {
        {"SetHandleSize", !p.SetHandleSize(nullptr, 10) && !p.SetHandleSize(nullptr, 10, noCopy)},
        {"SetPtrSize", !p.SetPtrSize(nullptr, 10) && !p.Resize(nullptr, 10, {})},
        {"sizes", p.GetHandleSize(nullptr) + p.GetHandleMaxSize(nullptr) + p.GetKRMMHandleSize(nullptr) +
                      p.GetKRMMHandleMaxSize(nullptr) + p.GetPtrSize(nullptr) + p.GetHandleOversize(nullptr) +
                      p.GetBlockSize(nullptr) == 0},
        {"lock", !p.HLock(nullptr) && !p.HUnlock(nullptr) && !p.HandleIsLocked_Legacy(nullptr) &&
                     !p.SetHandleLockState_Legacy(nullptr, true) && p.HGetState(nullptr) == 0},
        {"disposal", (p.SetHandleOversize(nullptr, 5, true), p.DisposeHandle(nullptr), p.DisposePtr(nullptr),
                      p.Deallocate(nullptr), p.TXStringDeallocate(nullptr), true)},
        {"copies", !p.DuplicateHandle(nullptr) && !p.DuplicateHandle(&noData) && !p.HandToHand(var) && !var &&
                       !p.PtrToXHand(src, nullptr, 2) && !p.PtrAndHand(src, nullptr, 1)},
        {"HandAndHand", !p.HandAndHand(nullptr, nullptr) && !p.HandAndHand(AsHandle(&noData), nullptr)},
        {"InsertData", !p.InsertData(nullptr, 0, src, 1) && p.InsertData(nullptr, 99, nullptr, 0)},
        {"object nodes", (p.SetDestructor(nullptr, &RecordingDestructor), p.CallDestructor(nullptr),
                          p.ClearDestructor(nullptr), p.SetInstantiatedState(nullptr, true),
                          !p.GetInstantiatedState(nullptr))},
        {"resources", (p.DeallocateResource(nullptr), p.SetQTResourcePtr(nullptr, nullptr, 1),
                       !p.GetOriginalQTResource(nullptr) && !p.FindBlockWithQTResourceHandle(nullptr, 1) &&
                           !p.GetOrCreateHandleFromQTResourceHandle(nullptr, 8, 1) &&
                           !p.ConvertFromQTHandleToKRMMHandle(nullptr) &&
                           !p.ConvertFromKRMMHandleToQTHandle(nullptr))},
        {"validation", !p.HandleIsValid(nullptr, true) && !p.HandleBelongsToUs(nullptr) &&
                           !p.BlockIsResource(nullptr) &&
                           !p.GetVerifiedHandle(nullptr) && p.PointerIsValid(nullptr, true, false) &&
                           p.PointerIsValid(nullptr, true, true) && !p.IsHandleInUse(nullptr)},
        {"MemError", Partition::MemError() == 0}};
    for (const auto& [name, ok] : cases) EXPECT_TRUE(ok) << name;
    EXPECT_EQ(make_tuple(p.numCalls, p.numBlocks, p.bytesAllocated, p.GetBlockCount()),
              make_tuple(0, int64_t{0}, int64_t{0}, size_t{0}));
}
