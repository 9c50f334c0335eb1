// services_test.cpp - memory callbacks, resource-backed handles and the
// partition list. The fuzzer checks per-file release, resizes of resources
// and the membership of pointers and handles.
#include <array>
#include <memory>
#include <stdexcept>
#include <utility>

#include "krmm_test.h"

namespace {

using namespace krmm_test;

// Ids of the callbacks called, in order, in a fixed array: recording never
// touches the heap, which may be refusing.
int g_ids[256];
size_t g_count = 0;
std::vector<int> Called() { return std::vector<int>(g_ids, g_ids + std::min<size_t>(g_count, 256)); }
template <int Id>
void Callback(int, size_t, void*) {
    if (g_count < 256) g_ids[g_count] = Id;
    ++g_count;
}
template <size_t... I>
constexpr std::array<KRMM::MemoryCallbackProc, sizeof...(I)> MakeCallbacks(std::index_sequence<I...>) {
    return {&Callback<static_cast<int>(I)>...};
}
constexpr auto kCallbacks = MakeCallbacks(std::make_index_sequence<129>{});  // one more than the table holds

TEST(Callbacks, FullTableRefusesOnlyNewFunctionsAndFreedSlotsAreReusedInSlotOrder) {
    Partition part;
    int tag = 0;
    g_count = 0;
    for (int i = 0; i < 128; ++i) ASSERT_TRUE(part.RegisterMemoryCallbackFunction(kCallbacks[i], nullptr)) << i;
    EXPECT_FALSE(part.RegisterMemoryCallbackFunction(kCallbacks[128], nullptr));
    EXPECT_TRUE(part.RegisterMemoryCallbackFunction(kCallbacks[77], &tag)) << "a known function is counted";
    EXPECT_EQ(part.callbackRefCounts[77], 2);
    EXPECT_EQ(part.callbackUserData[77], &tag) << "the latest user data";
    ASSERT_TRUE(part.UnregisterMemoryCallbackFunction(kCallbacks[5]));
    ASSERT_TRUE(part.RegisterMemoryCallbackFunction(kCallbacks[128], nullptr));
    EXPECT_EQ(part.GetMemoryCallbackFunctionIndex(kCallbacks[128]), 5);
    EXPECT_TRUE(part.UnregisterMemoryCallbackFunction(kCallbacks[77]));
    part.InvokeCallbacks(1, 3);
    std::vector<int> expected;
    for (int i = 0; i < 128; ++i) expected.push_back(i == 5 ? 128 : i);
    EXPECT_EQ(Called(), expected) << "once per event, in slot order, whatever the count";
    EXPECT_TRUE(part.UnregisterMemoryCallbackFunction(kCallbacks[77]));
    EXPECT_FALSE(part.UnregisterMemoryCallbackFunction(kCallbacks[77]));
    EXPECT_EQ(part.GetFreeMemoryCallbackFunctionSlot(), 77);
}

// A callback that registers another: it must run outside the lock, and the
// new one is heard from the next notification on. A null function takes a
// slot and is never called.
TEST(Callbacks, MayRegisterCallbacksWhileBeingCalled) {
    Partition part;
    g_count = 0;
    ASSERT_TRUE(part.RegisterMemoryCallbackFunction(nullptr, nullptr));
    ASSERT_TRUE(part.RegisterMemoryCallbackFunction(
        [](int, size_t, void* p) { static_cast<Partition*>(p)->RegisterMemoryCallbackFunction(kCallbacks[9], nullptr); },
        &part));
    part.InvokeCallbacks(1, 8);  // would deadlock if callbacks ran under the lock
    EXPECT_TRUE(Called().empty());
    EXPECT_EQ(part.GetMemoryCallbackFunctionIndex(kCallbacks[9]), 2);
    part.InvokeCallbacks(1, 8);
    EXPECT_EQ(Called(), std::vector<int>{9});
}

// An exception from a callback or a copy procedure stops the walk and leaves
// the operation; nothing leaks, and the resized block is unchanged.
TEST(Callbacks, ExceptionFromACallbackOrCopyProcedurePassesOut) {
    struct Thrown {};
    Partition part;
    Handle h = part.NewHandle(6000);
    Fill(*h, 6000, 5);
    part.RegisterMemoryCallbackFunction([](int, size_t, void*) { throw Thrown(); }, nullptr);
    part.RegisterMemoryCallbackFunction(&Hear, nullptr);  // slot 1: never reached
    g_heardCount = 0;
    const std::pair<size_t, std::function<void()>> cases[] = {
        {1, [&] { part.Allocate(64); }}, {2, [&] { part.Allocate(6000); }}, {1, [&] { part.SetHandleSize(h, 20000); }},
        {0, [&] { part.SetHandleSize(h, 20000, [](auto...) { throw Thrown(); }); }}};
    for (const auto& [failNth, run] : cases) {
        HeapRefusal heap(HeapPlan{failNth});
        EXPECT_THROW(run(), Thrown);
        EXPECT_EQ(heap.LiveDelta(), 0) << failNth;
    }
    EXPECT_EQ(g_heardCount, 0u);
    EXPECT_EQ(part.GetHandleSize(h), 6000u);
    EXPECT_TRUE(Holds(*h, 6000, 5));
}

// A resource as the host keeps it: data, and a handle to its master pointer.
struct HostResource {
    char data[96];
    void* master = data;
    explicit HostResource(unsigned seed = 0) { Fill(data, sizeof data, seed); }
};

TEST(ResourceHandles, MatchByTheCurrentMasterPointerAndTheFile) {
    Partition p;
    HostResource resource(3), moved(3);
    Handle h = p.GetOrCreateHandleFromQTResourceHandle(&resource.master, 64, 7);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(*h, resource.data);
    EXPECT_EQ(p.GetOriginalQTResource(h), &resource.master);
    EXPECT_TRUE(p.BlockIsResource(Hdr(h)));
    // The same handle, or another holding the same master pointer, finds it, whatever size is asked for.
    void* sameData = resource.data;
    Handle other = p.GetOrCreateHandleFromQTResourceHandle(&resource.master, 64, 8);  // another file
    EXPECT_NE(other, h);
    EXPECT_EQ(p.GetOrCreateHandleFromQTResourceHandle(&resource.master, 64, 7), h);
    EXPECT_EQ(p.GetOrCreateHandleFromQTResourceHandle(&sameData, 32, 7), h);
    EXPECT_EQ(p.GetKRMMHandleSize(h), 64u);
    EXPECT_EQ(p.FindBlockWithQTResourceHandle(&sameData, 8), other);
    EXPECT_EQ(p.FindBlockWithQTResourceHandle(&sameData, 9), nullptr);
    // The host moves its data: its resource handle still finds the block, whose
    // masterPtr keeps the old address; the old address no longer matches.
    resource.master = moved.data;
    void* movedData = moved.data;
    EXPECT_EQ(p.FindBlockWithQTResourceHandle(&resource.master, 7), h);
    EXPECT_EQ(p.GetOrCreateHandleFromQTResourceHandle(&movedData, 64, 7), h);
    EXPECT_EQ(p.FindBlockWithQTResourceHandle(&sameData, 7), nullptr);
    EXPECT_EQ(*h, resource.data);
    EXPECT_TRUE(Holds(resource.data, sizeof resource.data, 3));
}

TEST(PartitionList, NewestFirstThroughConstructionRemovalAndAdding) {
    using At = std::tuple<Partition*, Partition*, Partition*>;  // list head, prevPartition, nextPartition
    const auto at = [](const Partition& p) { return At{Partition::partitionList, p.prevPartition, p.nextPartition}; };
    auto a = std::make_unique<Partition>(), b = std::make_unique<Partition>(), c = std::make_unique<Partition>();
    EXPECT_EQ(at(*b), At(c.get(), c.get(), a.get()));
    b.reset();  // the middle one
    EXPECT_EQ(at(*a), At(c.get(), c.get(), nullptr));
    c->RemoveThisFromList();
    c->RemoveThisFromList();  // not listed: nothing changes
    EXPECT_EQ(at(*c), At(a.get(), nullptr, nullptr));
    c->AddThisToList();
    EXPECT_EQ(at(*a), At(c.get(), c.get(), nullptr));
    c.reset(), a.reset();
    Partition* made = Partition::GetPartitionByIdentifier(std::string(200, 'n').c_str(), false);
    char name[128];
    made->GetIdentifier(name);
    EXPECT_EQ(std::string(name), std::string(127, 'n')) << "cut to 127 characters";
    EXPECT_EQ(Partition::GetPartitionByIdentifier("second", true), made) << "the head, whatever the name";
    Partition::FreeAllPartitions();
    EXPECT_EQ(Partition::GetPartitionListHead(), nullptr);
}

} // namespace
