// Handle and pointer operations, object nodes and the QTMM entry points.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>

#include <gtest/gtest.h>

#include <KRMM/KRMM.h>
#include <KRMM/QTMM.h>

#include "assert_log.h"
#include "heap_refusal.h"

using krmm_test::AssertLog;
using krmm_test::HeapRefusal;

namespace {

const char kRefuse1[] =
    "Partition::SetHandleSize - 1 - called for instantiated object node. Evaluate/remove the call to this.";
const char kRefuse2[] =
    "Partition::SetHandleSize - 2 - called for instantiated object node. Evaluate/remove the call to this.";

char PatternByte(size_t i, unsigned seed) { return static_cast<char>((i * 131 + seed) & 0xFF); }
void Fill(char* p, size_t n, unsigned seed) {
    for (size_t i = 0; i < n; ++i) p[i] = PatternByte(i, seed);
}
// Index of the first byte that breaks the pattern, or n.
size_t Intact(const char* p, size_t n, unsigned seed) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != PatternByte(i, seed)) return i;
    return n;
}

class HandleOps : public ::testing::Test {
protected:
    std::unique_ptr<KRMM::Partition> part = std::make_unique<KRMM::Partition>();
};

TEST_F(HandleOps, ClearingConstructorsZeroExactlyTheRequestedBytes) {
    KRMM::Handle h = part->NewHandleClear(100);
    ASSERT_NE(h, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_EQ((*h)[i], 0);
    KRMM::Ptr p = part->NewPtrClear(6000);
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 6000; ++i) ASSERT_EQ(p[i], 0);
    EXPECT_EQ(part->GetPtrSize(p), 6000u);
    EXPECT_EQ(part->GetHandleSize(part->GetHandle(p)), 6000u);
    KRMM::Handle empty = part->NewHandleClear(0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(part->GetHandleSize(empty), 0u);
    EXPECT_EQ(part->GetHandleMaxSize(empty), 8u);
    {
        auto heap = HeapRefusal::FailAtLeast(1);
        EXPECT_EQ(part->NewHandleClear(64), nullptr);
        EXPECT_EQ(part->NewPtrClear(64), nullptr);
    }
    EXPECT_EQ(KRMM::Partition::MemError(), 0);
    part->DisposeHandle(h);
    part->DisposeHandle(empty);
    part->DisposePtr(p);
}

TEST_F(HandleOps, InstantiatedBlockRefusesHandleResizeButNotPointerResize) {
    KRMM::Handle h = part->NewHandle(40);
    Fill(*h, 40, 1);
    part->SetInstantiatedState(*h, true);
    {
        AssertLog log;
        EXPECT_FALSE(part->SetHandleSize(h, 4000));
        bool copied = false;
        EXPECT_FALSE(part->SetHandleSize(h, 4000, [&](void*, unsigned long, void*, unsigned long) { copied = true; }));
        EXPECT_FALSE(copied);
        EXPECT_EQ(log.Failures(), (std::vector<std::string>{kRefuse1, kRefuse2}));
    }
    EXPECT_EQ(part->GetHandleSize(h), 40u);
    EXPECT_EQ(Intact(*h, 40, 1), 40u);

    EXPECT_TRUE(part->SetPtrSize(*h, 4000));
    EXPECT_EQ(part->GetHandleSize(h), 4000u);
    EXPECT_EQ(Intact(*h, 40, 1), 40u);
    part->SetInstantiatedState(*h, false);
    EXPECT_TRUE(part->SetHandleSize(h, 10));
    part->DisposeHandle(h);
}

// Functor that counts its copies, to see how many the overload makes.
struct CountingCopy {
    int* copies;
    int* calls;
    CountingCopy(int* c, int* k) : copies(c), calls(k) {}
    CountingCopy(const CountingCopy& o) : copies(o.copies), calls(o.calls) { ++*copies; }
    CountingCopy(CountingCopy&& o) noexcept = default;
    void operator()(void* from, unsigned long fromSize, void* to, unsigned long toSize) const {
        ++*calls;
        std::memcpy(to, from, fromSize < toSize ? fromSize : toSize);
    }
};

TEST_F(HandleOps, CopyProcedureIsCopiedOnceAndCalledOnlyOnAMove) {
    KRMM::Handle h = part->NewHandle(100);
    Fill(*h, 100, 2);
    int copies = 0, calls = 0;
    KRMM::ResizeCopyProc proc = CountingCopy(&copies, &calls);
    copies = 0;
    EXPECT_TRUE(part->SetHandleSize(h, 50, std::move(proc)));  // in place
    EXPECT_EQ(copies, 1);
    EXPECT_EQ(calls, 0);

    copies = 0;
    const char* before = *h;
    std::function<void(void*, unsigned long, void*, unsigned long)> probe =
        [&](void* from, unsigned long fromSize, void* to, unsigned long toSize) {
            EXPECT_EQ(from, before);
            EXPECT_EQ(fromSize, 50u);
            EXPECT_EQ(toSize, 300u);
            std::memcpy(to, from, fromSize);
            ++calls;
        };
    EXPECT_TRUE(part->SetHandleSize(h, 300, probe));
    EXPECT_EQ(calls, 1);
    EXPECT_NE(*h, before);
    EXPECT_EQ(Intact(*h, 50, 2), 50u);
    part->DisposeHandle(h);
}

TEST_F(HandleOps, PlainResizeAllocatesNothingWhenItFits) {
    KRMM::Handle h = part->NewHandle(100);
    auto heap = HeapRefusal::RecordOnly();
    EXPECT_TRUE(part->SetHandleSize(h, 60));
    EXPECT_TRUE(part->SetPtrSize(*h, 100));
    EXPECT_EQ(heap.Requests(), 0u);
    EXPECT_TRUE(part->SetHandleSize(h, 101));
    const std::vector<size_t> sizes = heap.Sizes();
    EXPECT_EQ(sizes, std::vector<size_t>{101 + 16 + 8});
    part->DisposeHandle(h);
}

TEST_F(HandleOps, ExceptionFromCopyProcedureLeavesBlockUnchanged) {
    KRMM::Handle h = part->NewHandle(64);
    Fill(*h, 64, 3);
    char* data = *h;
    auto heap = HeapRefusal::RecordOnly();
    EXPECT_THROW(part->SetHandleSize(h, 9000,
                                     [](void*, unsigned long, void*, unsigned long) { throw std::logic_error("x"); }),
                 std::logic_error);
    EXPECT_EQ(heap.LiveDelta(), 0);
    EXPECT_EQ(*h, data);
    EXPECT_EQ(part->GetHandleSize(h), 64u);
    EXPECT_EQ(Intact(*h, 64, 3), 64u);
    part->DisposeHandle(h);
}

// Random growth and shrinkage across inline, detached, in-place and moving
// cases, through both handle and pointer resizes, with the pattern checked
// after every step.
TEST_F(HandleOps, ResizingKeepsThePrefixAcrossMoves) {
    std::mt19937 rng(20240611);
    KRMM::Handle h = part->NewHandle(16);
    Fill(*h, 16, 4);
    size_t size = 16;
    for (int step = 0; step < 400; ++step) {
        const size_t newSize = rng() % 3 == 0 ? rng() % 64 : rng() % 20000;
        if (step % 50 == 0) part->SetHandleOversize(h, rng() % 3000, true);
        const bool ok = step % 2 ? part->SetHandleSize(h, newSize) : part->SetPtrSize(*h, newSize);
        ASSERT_TRUE(ok);
        ASSERT_EQ(part->GetHandleSize(h), newSize);
        ASSERT_GE(part->GetHandleMaxSize(h), newSize);
        ASSERT_EQ(part->GetHandle(*h), h);
        const size_t kept = std::min(size, newSize);
        ASSERT_EQ(Intact(*h, kept, 4), kept) << "step " << step;
        Fill(*h, newSize, 4);
        size = newSize;
    }
    part->DisposeHandle(h);
    EXPECT_EQ(part->bytesAllocated, 0);
    EXPECT_EQ(part->numBlocks, 0);
}

TEST_F(HandleOps, LockStateAndOversizeRules) {
    KRMM::Handle h = part->NewHandle(10);
    EXPECT_EQ(part->HGetState(h), 0);
    EXPECT_TRUE(part->HLock(h));
    EXPECT_TRUE(part->HLock(h));
    EXPECT_EQ(part->HGetState(h), -128);
    EXPECT_EQ(static_cast<uint32_t>(int32_t{part->HGetState(h)}), 0xFFFFFF80u);
    EXPECT_TRUE(part->SetHandleSize(h, 7000));  // the flag never pins the data
    EXPECT_TRUE(part->HandleIsLocked_Legacy(h));
    EXPECT_TRUE(part->HUnlock(h));
    EXPECT_EQ(part->HGetState(h), 0);

    const struct { unsigned value; bool force; unsigned expect; } steps[] = {
        {100, false, 100}, {50, false, 100}, {100, false, 100}, {50, true, 50}, {0, true, 0}};
    for (const auto& s : steps) {
        part->SetHandleOversize(h, s.value, s.force);
        EXPECT_EQ(part->GetHandleOversize(h), s.expect);
    }
    part->SetHandleOversize(h, 100, false);
    ASSERT_TRUE(part->SetHandleSize(h, 20000));
    EXPECT_EQ(part->GetHandleMaxSize(h), 20100u);
    part->DisposeHandle(h);
}

TEST_F(HandleOps, NullArgumentsGiveNeutralResults) {
    EXPECT_FALSE(part->SetHandleSize(nullptr, 10));
    EXPECT_FALSE(part->SetHandleSize(nullptr, 10, [](void*, unsigned long, void*, unsigned long) {}));
    EXPECT_FALSE(part->SetPtrSize(nullptr, 10));
    EXPECT_EQ(part->GetHandleSize(nullptr), 0u);
    EXPECT_EQ(part->GetHandleMaxSize(nullptr), 0u);
    EXPECT_EQ(part->GetKRMMHandleSize(nullptr), 0u);
    EXPECT_EQ(part->GetKRMMHandleMaxSize(nullptr), 0u);
    EXPECT_EQ(part->GetPtrSize(nullptr), 0u);
    EXPECT_EQ(part->GetHandleOversize(nullptr), 0u);
    EXPECT_FALSE(part->HLock(nullptr));
    EXPECT_FALSE(part->HUnlock(nullptr));
    EXPECT_FALSE(part->HandleIsLocked_Legacy(nullptr));
    EXPECT_FALSE(part->SetHandleLockState_Legacy(nullptr, true));
    EXPECT_EQ(part->HGetState(nullptr), 0);
    part->SetHandleOversize(nullptr, 5, true);
    part->DisposeHandle(nullptr);
    part->DisposePtr(nullptr);
    EXPECT_EQ(part->numCalls, 0);
    EXPECT_EQ(part->bytesAllocated, 0);
}

// --- Object nodes -----------------------------------------------------------

KRMM::Partition* g_part = nullptr;
const void* g_destroyed[4];
int g_destructorCalls = 0;
bool g_sawInstantiated = true;

void RecordingDestructor(const void* data) {
    if (g_destructorCalls < 4) g_destroyed[g_destructorCalls] = data;
    ++g_destructorCalls;
    g_sawInstantiated = g_part->GetInstantiatedState(data);
    EXPECT_EQ(g_part->numBlocks, 1);  // not yet released
}
void OtherDestructor(const void*) {}

class ObjectNodes : public HandleOps {
protected:
    void SetUp() override {
        g_part = part.get();
        g_destructorCalls = 0;
        g_sawInstantiated = true;
    }
};

TEST_F(ObjectNodes, DisposalRunsDestructorOnceOnANoLongerInstantiatedBlock) {
    for (bool byHandle : {true, false}) {
        g_destructorCalls = 0;
        KRMM::Handle h = part->NewHandle(32);
        part->SetDestructor(*h, &RecordingDestructor);
        part->SetInstantiatedState(*h, true);
        const char* data = *h;
        if (byHandle) part->DisposeHandle(h);
        else part->DisposePtr(*h);
        ASSERT_EQ(g_destructorCalls, 1);
        EXPECT_EQ(g_destroyed[0], data);
        EXPECT_FALSE(g_sawInstantiated);
        EXPECT_EQ(part->numBlocks, 0);
    }
    // A destructor without the instantiated mark is never called.
    g_destructorCalls = 0;
    KRMM::Handle h = part->NewHandle(32);
    part->SetDestructor(*h, &RecordingDestructor);
    part->DisposeHandle(h);
    EXPECT_EQ(g_destructorCalls, 0);
}

TEST_F(ObjectNodes, AccessorsIgnoreNullAndKeepTheirFields) {
    KRMM::Handle h = part->NewHandle(8);
    part->SetDestructor(*h, &RecordingDestructor);
    {
        AssertLog log;
        part->SetDestructor(*h, nullptr);
        EXPECT_EQ(log.Failures(), std::vector<std::string>{"Partition::SetDestructor was passed a null pointer."});
    }
    part->CallDestructor(*h);
    part->CallDestructor(*h);
    EXPECT_EQ(g_destructorCalls, 2);  // calling changes nothing
    EXPECT_FALSE(part->GetInstantiatedState(*h));
    part->ClearDestructor(*h);
    part->CallDestructor(*h);
    EXPECT_EQ(g_destructorCalls, 2);

    part->SetDestructor(nullptr, &OtherDestructor);
    part->CallDestructor(nullptr);
    part->ClearDestructor(nullptr);
    part->SetInstantiatedState(nullptr, true);
    EXPECT_FALSE(part->GetInstantiatedState(nullptr));

    int tag = 0;
    EXPECT_EQ(part->GetUserData(h), nullptr);
    part->SetUserData(&tag, h);
    EXPECT_EQ(part->GetUserData(h), &tag);
    part->DisposeHandle(h);
}

// --- QTMM -------------------------------------------------------------------

TEST(Qtmm, EveryEntryPointIsInertAndLeavesItsArgumentsAlone) {
    char byte = 'q';
    char* data = &byte;
    char** handle = &data;
    char** variable = handle;
    for (long size : {0L, 1L, 100000L}) {
        EXPECT_EQ(QTMM::NewHandle(size), nullptr);
        EXPECT_EQ(QTMM::NewHandleClear(size), nullptr);
        EXPECT_EQ(QTMM::NewPtr(size), nullptr);
        EXPECT_EQ(QTMM::NewPtrClear(size), nullptr);
    }
    EXPECT_EQ(QTMM::HandToHand(&variable), 0);
    EXPECT_EQ(QTMM::PtrToHand("abc", &variable, 3), 0);
    EXPECT_EQ(variable, handle);
    EXPECT_EQ(QTMM::PtrToXHand("abc", handle, 3), 0);
    EXPECT_EQ(QTMM::HandAndHand(handle, handle), 0);
    EXPECT_EQ(QTMM::PtrAndHand("abc", handle, 3), 0);
    EXPECT_EQ(QTMM::InsertData(handle, 0, &byte, 1), 0);
    EXPECT_EQ(QTMM::GetHandleSize(handle), 0);
    EXPECT_EQ(QTMM::GetHandleSize(nullptr), 0);
    EXPECT_EQ(QTMM::HGetState(handle), 0);
    EXPECT_EQ(QTMM::MemError(), 0);
    QTMM::SetHandleSize(handle, 10);
    QTMM::SetPtrSize(data, 10);
    QTMM::HLock(handle);
    QTMM::HUnlock(nullptr);
    QTMM::DisposeHandle(handle);
    QTMM::DisposeHandle(nullptr);
    QTMM::DisposePtr(data);
    EXPECT_EQ(data, &byte);
    EXPECT_EQ(byte, 'q');
}

}  // namespace
