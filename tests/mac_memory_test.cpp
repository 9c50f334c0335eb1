// The classic interface (KRMM/MacMemory.h): zones, the handle life cycle with
// empty and purgeable handles, locked blocks, the data calls and Munger,
// errors and MemError per thread.
#include <KRMM/MacMemory.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/Diagnostics.h>
#include <KRMM/KRMM.h>

#include "heap_refusal.h"

namespace {

// Every test works in a zone of its own, so that counts start at 0.
class MacMemory : public ::testing::Test {
protected:
    void SetUp() override { SetZone(&zone); }
    void TearDown() override { SetZone(nullptr); }
    static std::string Text(Handle h) { return std::string(*h, static_cast<size_t>(GetHandleSize(h))); }
    static Handle HandleOf(const char* text) {
        Handle h = nullptr;
        PtrToHand(text, &h, static_cast<long>(std::strlen(text)));
        return h;
    }
    KRMM::Partition zone;
};

std::atomic<long> g_growZoneAsked{0};
std::atomic<int> g_growZoneCalls{0};
long GrowZoneFreeingOneByte(Size needed) {
    g_growZoneAsked = needed;
    return ++g_growZoneCalls, 1;
}
long GrowZoneFreeingNothing(Size needed) {
    g_growZoneAsked = needed;
    return ++g_growZoneCalls, 0;
}

// ---------------------------------------------------------------- zones

TEST(MacMemoryZones, ApplicationZoneIsMadeOnceFromManyThreads) {
    std::vector<THz> seen(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = ApplicationZone(); });
    for (auto& t : threads) t.join();
    for (THz zone : seen) EXPECT_EQ(zone, seen[0]);
    EXPECT_NE(seen[0], nullptr);
    EXPECT_EQ(SystemZone(), seen[0]);
}

TEST_F(MacMemory, CurrentZoneBelongsToTheCallingThread) {
    THz other = nullptr;
    std::thread([&other] { other = GetZone(); }).join();
    EXPECT_EQ(other, ApplicationZone());
}

TEST_F(MacMemory, OperationsOnABlockActInItsOwnZone) {
    Handle h = NewHandle(5000);
    Handle member = zone.NewHandle(10);  // made by the Partition itself
    SetZone(nullptr);
    EXPECT_EQ(PtrZone(*h), &zone);
    EXPECT_EQ(HandleZone(member), &zone);
    SetHandleSize(h, 20000);
    EXPECT_EQ(zone.bytesAllocated, 20010);
    DisposeHandle(h);
    DisposeHandle(member);
    EXPECT_EQ(zone.numBlocks, 0);
}

TEST(MacMemoryZones, DestroyedZoneFallsBackToTheApplicationZone) {
    {
        KRMM::Partition zone;
        SetZone(&zone);
        SetGrowZone(GrowZoneFreeingNothing);
        NewHandle(10);
    }
    EXPECT_EQ(GetZone(), ApplicationZone());
}

// ---------------------------------------------------------------- life cycle

// The data an emptied handle had, inline or elsewhere, is no pointer of the
// zone's any more; the data it gets again is.
TEST_F(MacMemory, EmptyHandleKeepsItsHandleAndZone) {
    for (Size size : {100, 8000}) {
        Handle h = NewHandle(size);
        const char* old = *h;
        EmptyHandle(h);
        EXPECT_EQ(*h, nullptr);
        EXPECT_EQ(GetHandleSize(h), 0);
        EXPECT_EQ(HandleZone(h), &zone);
        EXPECT_EQ(zone.bytesAllocated, 0);
        EXPECT_FALSE(zone.PointerBelongsToUs(old, true)) << size;
        ReallocateHandle(h, 50);
        EXPECT_EQ(MemError(), noErr);
        EXPECT_NE(*h, nullptr);
        EXPECT_EQ(GetHandleSize(h), 50);
        EXPECT_TRUE(zone.PointerBelongsToUs(*h, true)) << size;
        DisposeHandle(h);
        EXPECT_EQ(zone.numBlocks, 0);
        EXPECT_EQ(KRMM::diag::CheckPartition(zone).size(), 0u);
    }
}

TEST_F(MacMemory, DisposingEmptyHandlesReleasesEverything) {
    krmm_test::HeapRefusal heap;
    Handle fresh = NewEmptyHandle();
    Handle purged = NewHandle(20000);
    EmptyHandle(purged);
    EXPECT_EQ(*fresh, nullptr);
    EXPECT_EQ(KRMM::diag::CheckPartition(zone).size(), 0u);  // empty handles are sound blocks
    DisposeHandle(fresh);
    DisposeHandle(purged);
    EXPECT_EQ(heap.LiveDelta(), 0);
    EXPECT_EQ(zone.numBlocks, 0);
}

TEST_F(MacMemory, PurgingASmallHandleReleasesItsStorage) {
    Handle h = NewHandle(100);
    HPurge(h);
    EXPECT_EQ(HGetState(h), 0x40);
    krmm_test::HeapRefusal heap;
    PurgeMem(0);
    EXPECT_EQ(*h, nullptr);
    EXPECT_EQ(heap.LiveDelta(), -1);
}

TEST_F(MacMemory, PurgeMemEmptiesOnlyUnlockedPurgeableHandles) {
    Handle locked = NewHandle(10), purgeable = NewHandle(10), kept = NewHandle(10);
    HPurge(locked);
    HLock(locked);
    HPurge(purgeable);
    PurgeMem(0);
    EXPECT_NE(*locked, nullptr);
    EXPECT_EQ(*purgeable, nullptr);
    EXPECT_NE(*kept, nullptr);
    EXPECT_EQ(static_cast<unsigned char>(HGetState(locked)), 0xC0);
}

TEST_F(MacMemory, RefusedRequestPurgesTheZoneAndRetries) {
    Handle purgeable = NewHandle(10);
    HPurge(purgeable);
    krmm_test::HeapRefusal heap(krmm_test::HeapPlan{1});
    Handle h = NewHandle(64);
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(*purgeable, nullptr);
}

TEST_F(MacMemory, RefusedRequestAsksTheGrowZoneFunction) {
    SetGrowZone(GrowZoneFreeingOneByte);
    g_growZoneCalls = 0;
    krmm_test::HeapRefusal heap(krmm_test::HeapPlan{1});
    EXPECT_NE(NewHandle(64), nullptr);
    EXPECT_EQ(g_growZoneCalls, 1);
    EXPECT_GE(g_growZoneAsked, 64);
}

TEST_F(MacMemory, GrowZoneFreeingNothingEndsInMemFullErr) {
    SetGrowZone(GrowZoneFreeingNothing);
    g_growZoneCalls = 0;
    krmm_test::HeapRefusal heap(krmm_test::HeapPlan{0, 1});
    EXPECT_EQ(NewHandle(64), nullptr);
    EXPECT_EQ(MemError(), memFullErr);
    EXPECT_EQ(g_growZoneCalls, 1);
}

// ---------------------------------------------------------------- locked

TEST_F(MacMemory, LockedHandleNeverMoves) {
    Handle h = HandleOf("0123456789");
    HLock(h);
    char* data = *h;
    SetHandleSize(h, 5000);
    EXPECT_EQ(MemError(), memFullErr);
    SetHandleSize(h, 4);
    SetHandleSize(h, 10);
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(*h, data);
    EXPECT_EQ(Text(h), "0123456789");
}

TEST_F(MacMemory, LockedDetachedHandleShrinksInPlace) {
    Handle h = NewHandle(20000);
    HLock(h);
    char* data = *h;
    SetHandleSize(h, 10);
    EXPECT_EQ(*h, data);
    HUnlock(h);
    zone.HLock(h);
    zone.SetHandleSize(h, 40000);  // the Partition member keeps its own rule
    EXPECT_NE(*h, data);
}

TEST_F(MacMemory, DataCallsCannotGrowALockedHandle) {
    Handle h = HandleOf("abcdefgh");
    Handle other = HandleOf("xyz");
    HLock(h);
    EXPECT_EQ(PtrAndHand("xyz", h, 3), memFullErr);
    EXPECT_EQ(HandAndHand(other, h), memFullErr);
    EXPECT_EQ(PtrToXHand("0123456789", h, 10), memFullErr);
    EXPECT_LT(Munger(h, 0, nullptr, 0, "123", 3), 0);
    EXPECT_EQ(MemError(), memFullErr);
    EXPECT_EQ(Text(h), "abcdefgh");
    EXPECT_EQ(Munger(h, 0, "cd", 2, "C", 1), 3);
    EXPECT_EQ(Text(h), "abCefgh");
}

TEST_F(MacMemory, LockedHandlesAndPointersStayPut) {
    Handle h = NewHandle(10);
    HLock(h);
    EmptyHandle(h);
    EXPECT_EQ(MemError(), memPurErr);
    MoveHHi(h);
    EXPECT_EQ(MemError(), memLockedErr);
    Ptr p = NewPtr(100);
    SetPtrSize(p, 200);
    EXPECT_EQ(MemError(), memFullErr);
    EXPECT_EQ(GetPtrSize(p), 100);
    SetPtrSize(p, 40);
    EXPECT_EQ(GetPtrSize(p), 40);
    SetHandleSize(RecoverHandle(p), 500);  // a pointer's block acts as locked
    EXPECT_EQ(MemError(), memFullErr);
}

// ---------------------------------------------------------------- data and Munger

TEST_F(MacMemory, MungerReplacesTheFoundTarget) {
    Handle h = HandleOf("one two two");
    EXPECT_EQ(Munger(h, 0, "two", 3, "2", 1), 5);
    EXPECT_EQ(Text(h), "one 2 two");
    EXPECT_EQ(Munger(h, 5, "two", 3, "three", 5), 11);
    EXPECT_EQ(Text(h), "one 2 three");
    EXPECT_LT(Munger(h, 0, "four", 4, "4", 1), 0);
    EXPECT_LT(Munger(h, 12, nullptr, 0, "x", 1), 0);
    EXPECT_EQ(Text(h), "one 2 three");
}

TEST_F(MacMemory, MungerSpecialCases) {
    Handle h = HandleOf("abcdef");
    EXPECT_EQ(Munger(h, 1, nullptr, 2, "XYZ", 3), 4);  // replace len1 bytes at offset
    EXPECT_EQ(Text(h), "aXYZdef");
    EXPECT_EQ(Munger(h, 0, "ignored", 0, "<", 1), 1);  // len1 0 inserts
    EXPECT_EQ(Text(h), "<aXYZdef");
    EXPECT_EQ(Munger(h, 0, "Z", 1, nullptr, 0), 4);  // search only
    EXPECT_EQ(Munger(h, 0, "XYZ", 3, "", 0), 2);  // len2 0 deletes
    EXPECT_EQ(Text(h), "<adef");
    EXPECT_EQ(Munger(h, 2, nullptr, -1, "!", 1), 3);  // negative len1: to the end
    EXPECT_EQ(Text(h), "<a!");
}

TEST_F(MacMemory, CopiesAndAppends) {
    Handle h = HandleOf("123");
    Handle original = h;
    EXPECT_EQ(HandToHand(&h), noErr);
    EXPECT_NE(h, original);
    EXPECT_EQ(Text(h), "123");
    EXPECT_EQ(HandAndHand(h, h), noErr);
    EXPECT_EQ(Text(h), "123123");
    EXPECT_EQ(PtrAndHand(*h + 1, h, 2), noErr);  // a source inside the handle itself
    EXPECT_EQ(Text(h), "12312323");
    EXPECT_EQ(PtrToXHand("xy", original, 2), noErr);
    EXPECT_EQ(Text(original), "xy");
}

TEST_F(MacMemory, RecoverHandleFollowsTheData) {
    Handle h = NewHandle(10);
    SetHandleSize(h, 10000);  // moves the data
    EXPECT_EQ(RecoverHandle(*h), h);
    std::vector<char> notABlock(128);
    EXPECT_EQ(RecoverHandle(notABlock.data() + 64), nullptr);
    EXPECT_EQ(MemError(), memAdrErr);
}

// ---------------------------------------------------------------- errors

TEST_F(MacMemory, NegativeSizesFailAndChangeNothing) {
    Handle h = HandleOf("abc");
    EXPECT_EQ(NewHandle(-1), nullptr);
    EXPECT_EQ(MemError(), memSCErr);
    SetHandleSize(h, -1);
    EXPECT_EQ(MemError(), memSCErr);
    ReallocateHandle(h, -1);
    EXPECT_EQ(PtrAndHand("x", h, -1), memSCErr);
    EXPECT_EQ(Text(h), "abc");
    EXPECT_EQ(zone.numBlocks, 1);
}

TEST_F(MacMemory, NullArgumentsGiveErrorsNotCrashes) {
    DisposeHandle(nullptr);
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(GetHandleSize(nullptr), 0);
    EXPECT_EQ(MemError(), nilHandleErr);
    EXPECT_EQ(HandAndHand(nullptr, nullptr), nilHandleErr);
    EXPECT_EQ(GetPtrSize(nullptr), 0);
    EXPECT_EQ(MemError(), memAdrErr);
    Handle empty = NewEmptyHandle();
    EXPECT_EQ(PtrAndHand("a", empty, 1), nilHandleErr);
    DisposeHandle(empty);
    DisposeHandle(empty);  // no longer a block: found out, not touched
    EXPECT_EQ(MemError(), memAdrErr);
}

TEST_F(MacMemory, MemErrorBelongsToTheCallingThread) {
    EXPECT_NE(NewHandle(1), nullptr);
    OSErr inThread = noErr;
    std::thread([&inThread] {
        NewHandle(-1);
        inThread = MemError();
    }).join();
    EXPECT_EQ(inThread, memSCErr);
    EXPECT_EQ(MemError(), noErr);
}

TEST_F(MacMemory, HeapQueriesAgree) {
    const long before = FreeMem();
    Handle h = NewHandle(1 << 20);
    HPurge(h);
    EXPECT_EQ(FreeMem(), before - (1 << 20));
    EXPECT_LE(MaxBlock(), FreeMem());
    long total = 0, contig = 0;
    PurgeSpace(&total, &contig);
    EXPECT_LE(contig, total);
    EXPECT_EQ(total, FreeMem() + (1 << 20));
    EXPECT_GE(MaxMem(nullptr), MaxBlock());  // purges first
    EXPECT_EQ(*h, nullptr);
}

} // namespace
