// Memory callbacks: counted registration, the 128-slot table, slot order and
// reuse, and exceptions thrown by a callback or a copy procedure. What each
// heap refusal tells the callbacks is checked in allocation_test.cpp.
#include <array>
#include <stdexcept>
#include <utility>

#include "krmm_test.h"

using namespace krmm_test;

namespace {

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

struct Thrown : std::runtime_error {
    Thrown() : std::runtime_error("thrown") {}
};
void Throwing(int, size_t, void*) { Callback<1000>(0, 0, nullptr); throw Thrown(); }
void RegisteringCallback(int, size_t, void* partition) {
    static_cast<Partition*>(partition)->RegisterMemoryCallbackFunction(kCallbacks[9], nullptr);
}

class Callbacks : public ::testing::Test {
protected:
    void SetUp() override { g_count = 0; g_heardCount = 0; }
    Partition part;
    int tagA = 0, tagB = 0;
};

TEST_F(Callbacks, RegistrationIsCountedAndKeepsTheLatestUserData) {
    const auto slot0 = [&] {
        part.InvokeCallbacks(1, 42);
        return make_tuple(part.callbackRefCounts[0], part.callbackProcs[0], part.callbackUserData[0],
                          part.GetMemoryCallbackFunctionIndex(&Hear), part.GetFreeMemoryCallbackFunctionSlot());
    };
    ASSERT_TRUE(part.RegisterMemoryCallbackFunction(&Hear, &tagA) && part.RegisterMemoryCallbackFunction(&Hear, &tagB));
    EXPECT_EQ(slot0(), make_tuple(2, &Hear, static_cast<void*>(&tagB), 0, 1));
    EXPECT_TRUE(g_heardCount == 1 && g_heard[0].userData == &tagB) << "once per event, whatever the count";
    EXPECT_TRUE(part.UnregisterMemoryCallbackFunction(&Hear));
    EXPECT_EQ(slot0(), make_tuple(1, &Hear, static_cast<void*>(&tagB), 0, 1));
    EXPECT_TRUE(part.UnregisterMemoryCallbackFunction(&Hear) && !part.UnregisterMemoryCallbackFunction(&Hear));
    EXPECT_EQ(slot0(), make_tuple(0, KRMM::MemoryCallbackProc{}, static_cast<void*>(nullptr), -1, 0));
    EXPECT_EQ(g_heardCount, 2u) << "a free slot is not called";
}

TEST_F(Callbacks, FullTableRefusesOnlyNewFunctionsAndFreedSlotsAreReusedInSlotOrder) {
    for (int i = 0; i < 128; ++i) ASSERT_TRUE(part.RegisterMemoryCallbackFunction(kCallbacks[i], nullptr)) << i;
    EXPECT_EQ(part.GetFreeMemoryCallbackFunctionSlot(), -1);
    EXPECT_FALSE(part.RegisterMemoryCallbackFunction(kCallbacks[128], nullptr));
    EXPECT_EQ(part.GetMemoryCallbackFunctionIndex(kCallbacks[128]), -1);
    EXPECT_TRUE(part.RegisterMemoryCallbackFunction(kCallbacks[77], &tagA));
    EXPECT_TRUE(part.callbackRefCounts[77] == 2 && part.callbackUserData[77] == &tagA);
    ASSERT_TRUE(part.UnregisterMemoryCallbackFunction(kCallbacks[5]));
    EXPECT_EQ(part.GetFreeMemoryCallbackFunctionSlot(), 5);
    ASSERT_TRUE(part.RegisterMemoryCallbackFunction(kCallbacks[128], nullptr));
    EXPECT_EQ(part.GetMemoryCallbackFunctionIndex(kCallbacks[128]), 5);
    part.InvokeCallbacks(1, 3);
    std::vector<int> expected;
    for (int i = 0; i < 128; ++i) expected.push_back(i == 5 ? 128 : i);
    EXPECT_EQ(Called(), expected);
}

TEST_F(Callbacks, NullFunctionTakesASlotButIsNeverCalledAndCallbacksMayRegister) {
    ASSERT_TRUE(part.RegisterMemoryCallbackFunction(nullptr, &tagA));
    ASSERT_TRUE(part.RegisterMemoryCallbackFunction(&RegisteringCallback, &part));
    EXPECT_EQ(part.GetMemoryCallbackFunctionIndex(nullptr), 0);
    part.InvokeCallbacks(1, 8);  // would deadlock if callbacks ran under the lock
    EXPECT_TRUE(Called().empty() && part.GetMemoryCallbackFunctionIndex(kCallbacks[9]) == 2);
    part.InvokeCallbacks(1, 8);
    EXPECT_EQ(Called(), std::vector<int>{9}) << "heard from the next notification on";
}

// The exception stops the walk and leaves the failing operation; nothing is
// leaked, the counts taken on entry stay, and the resized block is unchanged.
TEST_F(Callbacks, ExceptionFromACallbackOrCopyProcedurePassesOut) {
    Handle h = part.NewHandle(6000);
    Fill(*h, 6000, 5);
    const auto block = make_tuple(*h, Hdr(h)->memSize, Hdr(h)->capacity, Hdr(h)->flags);
    part.RegisterMemoryCallbackFunction(&Throwing, nullptr);
    part.RegisterMemoryCallbackFunction(kCallbacks[3], nullptr);  // slot 1: never reached
    const std::pair<size_t, std::function<void()>> cases[] = {
        {1, [&] { part.Allocate(64); }}, {2, [&] { part.Allocate(6000); }},
        {1, [&] { part.AllocateFromExistingResource(*h, 8); }}, {1, [&] { part.SetHandleSize(h, 20000); }},
        {0, [&] { part.SetHandleSize(h, 20000, [](auto...) { Throwing(0, 0, nullptr); }); }},
    };
    for (const auto& [failNth, run] : cases) {
        g_count = 0;
        HeapRefusal heap(HeapPlan{failNth});
        EXPECT_THROW(run(), Thrown);
        EXPECT_TRUE(heap.LiveDelta() == 0 && Called() == std::vector<int>{1000}) << failNth;
    }
    EXPECT_EQ(make_tuple(part.numCalls, part.numBlocks, Linked(part.blockCounts) + Linked(part.resourceCounts)),
              make_tuple(4, int64_t{4}, 1ul));
    EXPECT_TRUE(make_tuple(*h, Hdr(h)->memSize, Hdr(h)->capacity, Hdr(h)->flags) == block && Holds(*h, 6000, 5));
}

} // namespace
