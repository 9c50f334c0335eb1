// Memory callbacks: counted registration, the 128-slot table, slot reuse and
// the notification of every heap refusal.
#include <array>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

#include <gtest/gtest.h>

#include <KRMM/KRMM.h>

#include "assert_log.h"
#include "heap_refusal.h"

using krmm_test::AssertLog;
using krmm_test::HeapRefusal;

namespace {

// A fixed log, so that recording never touches the heap under a HeapRefusal.
struct Call {
    int id;
    int event;
    size_t size;
    void* userData;
};
Call g_calls[512];
size_t g_callCount = 0;

template <int Id>
void Callback(int event, size_t size, void* userData) {
    if (g_callCount < std::size(g_calls)) g_calls[g_callCount] = Call{Id, event, size, userData};
    ++g_callCount;
}

template <size_t... I>
constexpr std::array<KRMM::MemoryCallbackProc, sizeof...(I)> MakeCallbacks(std::index_sequence<I...>) {
    return {&Callback<static_cast<int>(I)>...};
}
// 129 distinct functions: one more than the table holds.
constexpr auto kCallbacks = MakeCallbacks(std::make_index_sequence<129>{});

struct Thrown : std::runtime_error {
    Thrown() : std::runtime_error("from callback") {}
};
void ThrowingCallback(int event, size_t size, void* userData) {
    Callback<1000>(event, size, userData);
    throw Thrown();
}

class Callbacks : public ::testing::Test {
protected:
    void SetUp() override { g_callCount = 0; }
    std::unique_ptr<KRMM::Partition> part = std::make_unique<KRMM::Partition>();
    int tagA = 0, tagB = 0;
};

TEST_F(Callbacks, RegistrationIsCountedAndKeepsLatestUserData) {
    auto f = kCallbacks[0];
    ASSERT_TRUE(part->RegisterMemoryCallbackFunction(f, &tagA));
    ASSERT_TRUE(part->RegisterMemoryCallbackFunction(f, &tagB));
    const int slot = part->GetMemoryCallbackFunctionIndex(f);
    ASSERT_EQ(slot, 0);
    EXPECT_EQ(part->callbackRefCounts[0], 2);
    EXPECT_EQ(part->GetFreeMemoryCallbackFunctionSlot(), 1);

    part->InvokeCallbacks(1, 42);
    ASSERT_EQ(g_callCount, 1u);  // once per event, whatever the count
    EXPECT_EQ(g_calls[0].event, 1);
    EXPECT_EQ(g_calls[0].size, 42u);
    EXPECT_EQ(g_calls[0].userData, &tagB);

    EXPECT_TRUE(part->UnregisterMemoryCallbackFunction(f));
    EXPECT_EQ(part->callbackRefCounts[0], 1);
    part->InvokeCallbacks(1, 7);
    EXPECT_EQ(g_callCount, 2u);

    EXPECT_TRUE(part->UnregisterMemoryCallbackFunction(f));
    EXPECT_EQ(part->callbackRefCounts[0], 0);
    EXPECT_EQ(part->callbackProcs[0], nullptr);
    EXPECT_EQ(part->callbackUserData[0], nullptr);
    EXPECT_EQ(part->GetMemoryCallbackFunctionIndex(f), -1);
    EXPECT_FALSE(part->UnregisterMemoryCallbackFunction(f));
    part->InvokeCallbacks(1, 7);
    EXPECT_EQ(g_callCount, 2u);
}

TEST_F(Callbacks, FullTableRefusesNewFunctionsButCountsKnownOnes) {
    for (int i = 0; i < 128; ++i) ASSERT_TRUE(part->RegisterMemoryCallbackFunction(kCallbacks[i], nullptr)) << i;
    EXPECT_EQ(part->GetFreeMemoryCallbackFunctionSlot(), -1);
    EXPECT_FALSE(part->RegisterMemoryCallbackFunction(kCallbacks[128], nullptr));
    EXPECT_EQ(part->GetMemoryCallbackFunctionIndex(kCallbacks[128]), -1);
    EXPECT_TRUE(part->RegisterMemoryCallbackFunction(kCallbacks[77], &tagA));
    EXPECT_EQ(part->callbackRefCounts[77], 2);
    EXPECT_EQ(part->callbackUserData[77], &tagA);

    part->InvokeCallbacks(1, 3);
    ASSERT_EQ(g_callCount, 128u);
    for (int i = 0; i < 128; ++i) EXPECT_EQ(g_calls[i].id, i);
}

TEST_F(Callbacks, FreedSlotIsReusedFirstAndCalledInSlotOrder) {
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(part->RegisterMemoryCallbackFunction(kCallbacks[i], nullptr));
    ASSERT_TRUE(part->UnregisterMemoryCallbackFunction(kCallbacks[5]));
    EXPECT_EQ(part->GetFreeMemoryCallbackFunctionSlot(), 5);
    ASSERT_TRUE(part->RegisterMemoryCallbackFunction(kCallbacks[50], nullptr));
    EXPECT_EQ(part->GetMemoryCallbackFunctionIndex(kCallbacks[50]), 5);
    EXPECT_EQ(part->GetFreeMemoryCallbackFunctionSlot(), 10);

    part->InvokeCallbacks(1, 1);
    const int expected[] = {0, 1, 2, 3, 4, 50, 6, 7, 8, 9};
    ASSERT_EQ(g_callCount, std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(g_calls[i].id, expected[i]);
}

TEST_F(Callbacks, NullFunctionTakesASlotButIsNeverCalled) {
    ASSERT_TRUE(part->RegisterMemoryCallbackFunction(nullptr, &tagA));
    EXPECT_EQ(part->GetMemoryCallbackFunctionIndex(nullptr), 0);
    ASSERT_TRUE(part->RegisterMemoryCallbackFunction(kCallbacks[1], nullptr));
    part->InvokeCallbacks(1, 5);
    ASSERT_EQ(g_callCount, 1u);
    EXPECT_EQ(g_calls[0].id, 1);
}

// A callback may use the table itself: it runs without the lock, and what it
// registers is heard from the next notification on.
void RegisteringCallback(int, size_t, void* partition) {
    static_cast<KRMM::Partition*>(partition)->RegisterMemoryCallbackFunction(kCallbacks[9], nullptr);
}

TEST_F(Callbacks, CallbackMayRegisterWithoutDeadlockAndSeesASnapshot) {
    ASSERT_TRUE(part->RegisterMemoryCallbackFunction(&RegisteringCallback, part.get()));
    part->InvokeCallbacks(1, 8);
    EXPECT_EQ(g_callCount, 0u);
    EXPECT_EQ(part->GetMemoryCallbackFunctionIndex(kCallbacks[9]), 1);
    part->InvokeCallbacks(1, 8);
    EXPECT_EQ(g_callCount, 1u);
}

// Every refusal path: one call per registered function, event 1, the size
// that was asked for, and nothing allocated by the notification itself.
TEST_F(Callbacks, EveryHeapRefusalNotifiesOncePerFunction) {
    part->RegisterMemoryCallbackFunction(kCallbacks[0], &tagA);
    part->RegisterMemoryCallbackFunction(kCallbacks[1], &tagB);
    part->RegisterMemoryCallbackFunction(kCallbacks[1], &tagB);
    auto expectNotified = [&](size_t size) {
        ASSERT_EQ(g_callCount, 2u);
        EXPECT_EQ(g_calls[0].id, 0);
        EXPECT_EQ(g_calls[1].id, 1);
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(g_calls[i].event, 1);
            EXPECT_EQ(g_calls[i].size, size);
        }
        EXPECT_EQ(g_calls[0].userData, &tagA);
        g_callCount = 0;
    };

    {   // the header (with inline data)
        AssertLog log;
        auto heap = HeapRefusal::FailNth(1);
        EXPECT_EQ(part->Allocate(64), nullptr);
        EXPECT_EQ(heap.Requests(), 1u);
        EXPECT_EQ(heap.LiveDelta(), 0);
        EXPECT_EQ(log.Failures(), std::vector<std::string>{"Allocate new failed (exception)"});
    }
    expectNotified(64);

    {   // the detached storage of a large request; the header goes back
        AssertLog log;
        auto heap = HeapRefusal::FailNth(2);
        EXPECT_EQ(part->Allocate(6000), nullptr);
        EXPECT_EQ(heap.Requests(), 2u);
        EXPECT_EQ(heap.LiveDelta(), 0);
        EXPECT_EQ(log.Failures(),
                  std::vector<std::string>{"Allocate(disconnected data) new failed (exception)"});
    }
    expectNotified(6000);

    KRMM::Handle h = part->NewHandle(100);
    ASSERT_NE(h, nullptr);
    std::memset(*h, 0x5A, 100);
    char* before = *h;
    {   // the new storage of a move
        AssertLog log;
        auto heap = HeapRefusal::FailNth(1);
        EXPECT_FALSE(part->Resize(h, 9000, KRMM::ResizeCopyProc()));
        EXPECT_EQ(heap.LiveDelta(), 0);
        EXPECT_EQ(log.Failures(), std::vector<std::string>{"Resize new failed (exception)"});
    }
    expectNotified(9000);
    EXPECT_EQ(*h, before);
    EXPECT_EQ(part->GetHandleSize(h), 100u);
    EXPECT_EQ(part->GetHandleMaxSize(h), 100u);
    for (int i = 0; i < 100; ++i) ASSERT_EQ((*h)[i], 0x5A);
    part->DisposeHandle(h);
}

TEST_F(Callbacks, NoRegistrationsMeansAPlainNullResult) {
    auto heap = HeapRefusal::FailNth(1);
    EXPECT_EQ(part->Allocate(10), nullptr);
    EXPECT_EQ(heap.Requests(), 1u);
}

TEST_F(Callbacks, ExceptionFromCallbackLeavesAllocateWithNothingLeaked) {
    part->RegisterMemoryCallbackFunction(&ThrowingCallback, nullptr);
    part->RegisterMemoryCallbackFunction(kCallbacks[3], nullptr);  // slot 1: never reached
    const int64_t blocks = part->numBlocks;
    for (size_t size : {size_t{64}, size_t{6000}}) {
        g_callCount = 0;
        auto heap = HeapRefusal::FailNth(size < KRMM::kInlineDataLimit ? 1 : 2);
        EXPECT_THROW(part->Allocate(size), Thrown);
        EXPECT_EQ(heap.LiveDelta(), 0);
        ASSERT_EQ(g_callCount, 1u);
        EXPECT_EQ(g_calls[0].id, 1000);
        EXPECT_EQ(g_calls[0].size, size);
    }
    size_t linked = 0;
    for (unsigned long count : part->blockCounts) linked += count;
    EXPECT_EQ(linked, 0u);
    EXPECT_EQ(part->numBlocks, blocks + 2);  // counted on entry, not taken back
}

TEST_F(Callbacks, ExceptionFromCallbackLeavesResizeWithBlockUnchanged) {
    KRMM::Handle h = part->NewHandle(6000);
    ASSERT_NE(h, nullptr);
    for (int i = 0; i < 6000; ++i) (*h)[i] = static_cast<char>(i * 7);
    char* data = *h;
    part->RegisterMemoryCallbackFunction(&ThrowingCallback, nullptr);
    {
        auto heap = HeapRefusal::FailNth(1);
        EXPECT_THROW(part->SetHandleSize(h, 20000), Thrown);
        EXPECT_EQ(heap.LiveDelta(), 0);
    }
    EXPECT_EQ(*h, data);
    EXPECT_EQ(part->GetHandleSize(h), 6000u);
    EXPECT_EQ(part->GetHandleMaxSize(h), 6000u);
    for (int i = 0; i < 6000; ++i) ASSERT_EQ((*h)[i], static_cast<char>(i * 7));
    part->DisposeHandle(h);
}

}  // namespace
