// sanitizer_hooks_test.cpp - slack and free pool blocks are off limits under
// AddressSanitizer; everything the caller owns stays usable.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/KRMM.h>

#if defined(__SANITIZE_ADDRESS__)
#define KRMM_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KRMM_TEST_ASAN 1
#endif
#endif

#if defined(KRMM_TEST_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace {

using KRMM::Partition;

// Writes a pattern over [0, size) and checks it, byte by byte: under ASan
// any poisoned byte inside the caller's data would end the test.
void FillAndCheck(char* data, size_t size, unsigned seed) {
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(seed + i * 7);
    for (size_t i = 0; i < size; ++i) ASSERT_EQ(data[i], static_cast<char>(seed + i * 7)) << i;
}

// The caller's bytes are usable and the slack is not (checked only under ASan).
void ExpectBoundary(const char* data, size_t memSize, size_t capacity) {
#if defined(KRMM_TEST_ASAN)
    if (memSize != 0) EXPECT_EQ(__asan_region_is_poisoned(const_cast<char*>(data), memSize), nullptr);
    if (capacity > memSize) EXPECT_TRUE(__asan_address_is_poisoned(data + memSize));
#else
    static_cast<void>(data), static_cast<void>(memSize), static_cast<void>(capacity);
#endif
}

TEST(SanitizerHooks, CallerBytesStayUsableThroughEveryResize) {
    Partition partition;
    KRMM::Handle h = partition.NewHandle(100);
    FillAndCheck(*h, 100, 1);
    ASSERT_TRUE(partition.SetHandleSize(h, 10));  // in place, capacity 100
    ExpectBoundary(*h, 10, 100);
    ASSERT_TRUE(partition.SetHandleSize(h, 100));  // back within capacity
    ExpectBoundary(*h, 100, 100);
    FillAndCheck(*h, 100, 2);
    ASSERT_TRUE(partition.SetHandleSize(h, 200));  // moved: capacity 216
    EXPECT_EQ(partition.GetHandleMaxSize(h), 216u);
    for (size_t i = 0; i < 100; ++i) ASSERT_EQ((*h)[i], static_cast<char>(2 + i * 7)) << "copied " << i;
    ExpectBoundary(*h, 200, 216);
    FillAndCheck(*h, 200, 3);
    partition.DisposeHandle(h);

    KRMM::Ptr tiny = partition.NewPtr(3);  // capacity 8
    ExpectBoundary(tiny, 3, 8);
    FillAndCheck(tiny, 3, 4);
    partition.DisposePtr(tiny);
}

TEST(SanitizerHooks, PoolBlocksAreUsableOnlyWhileHandedOut) {
    Partition partition;
    KRMM::Handle pool = partition.CreatePool(64, 4);
    partition.SetCurrentPool(pool);
    partition.SetPoolEnabled(true);
    for (int round = 0; round < 3; ++round) {
        std::vector<KRMM::Ptr> blocks;
        for (size_t size : {64u, 16u, 0u, 40u}) {
            blocks.push_back(partition.NewPtr(size));
            ExpectBoundary(blocks.back(), size, 64);
            FillAndCheck(blocks.back(), size, static_cast<unsigned>(round));
        }
        ASSERT_TRUE(partition.SetPtrSize(blocks[1], 64));  // grows within the pool block
        FillAndCheck(blocks[1], 64, 9);
        ASSERT_TRUE(partition.SetHandleSize(partition.GetHandle(blocks[3]), 500));  // leaves the pool block
        FillAndCheck(*partition.GetHandle(blocks[3]), 500, 8);
        for (KRMM::Ptr p : blocks) partition.DisposePtr(partition.GetHandle(p)[0]);
#if defined(KRMM_TEST_ASAN)
        for (KRMM::Ptr p : blocks) EXPECT_TRUE(__asan_address_is_poisoned(p)) << "free pool block";
#endif
    }
    partition.DestroyPool(pool);
}

#if defined(KRMM_TEST_ASAN)

// Without the hooks both writes land inside live heap allocations and pass
// unnoticed.
TEST(SanitizerHooksDeathTest, WriteIntoSlackIsReported) {
    Partition partition;
    KRMM::Ptr p = partition.NewPtr(100);
    ASSERT_TRUE(partition.SetPtrSize(p, 10));
    EXPECT_DEATH(
        {
            volatile char* slack = p + 10;  // one byte past memSize, inside capacity
            *slack = 1;
        },
        "use-after-poison");
    partition.DisposePtr(p);
}

TEST(SanitizerHooksDeathTest, TouchingAFreePoolBlockIsReported) {
    Partition partition;
    KRMM::Handle pool = partition.CreatePool(64, 2);
    KRMM::MemoryBlock* block = partition.RequestPoolBlock(pool);
    char* data = block->masterPtr;
    data[0] = 1;
    partition.ReleasePoolBlock(pool, reinterpret_cast<KRMM::Handle>(block));
    EXPECT_DEATH(
        {
            volatile char* stale = data;
            *stale = 2;
        },
        "use-after-poison");
    partition.DestroyPool(pool);
}

#endif

} // namespace
