// sanitizer_hooks_test.cpp - slack and free pool blocks are off limits under
// AddressSanitizer; everything the caller owns stays usable.
#include "krmm_test.h"

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

using namespace krmm_test;

// Without the hooks the writes of the death tests would land inside live heap
// allocations and pass unnoticed.
TEST(SanitizerHooksDeathTest, SlackAndFreePoolBlocksArePoisonedAndTheCallersBytesAreNot) {
#if !defined(KRMM_TEST_ASAN)
    GTEST_SKIP() << "built without AddressSanitizer";
#else
    // Writes and checks the caller's bytes (a poisoned one would end the
    // test); the first byte past them inside the capacity must be poisoned.
    const auto useAndCheck = [](char* data, size_t memSize, size_t capacity) {
        std::memset(data, 1, memSize);
        EXPECT_TRUE(capacity == memSize || __asan_address_is_poisoned(data + memSize)) << memSize << " of " << capacity;
    };
    Partition partition;
    char* shrunk = partition.NewPtr(100);
    ASSERT_TRUE(partition.SetPtrSize(shrunk, 10));  // in place, capacity 100
    useAndCheck(shrunk, 10, 100);
    Handle h = partition.NewHandle(10);
    ASSERT_TRUE(partition.SetHandleSize(h, 200));  // moved to detached storage, with slack
    useAndCheck(*h, 200, partition.GetHandleMaxSize(h));

    Handle pool = partition.CreatePool(64, 4);
    partition.SetCurrentPool(pool);
    partition.SetPoolEnabled(true);
    std::vector<char*> blocks;
    for (size_t size : {64, 0, 40}) blocks.push_back(partition.NewPtr(size)), useAndCheck(blocks.back(), size, 64);
    ASSERT_TRUE(partition.SetPtrSize(blocks[2], 64));  // grows within the pool block
    useAndCheck(blocks[2], 64, 64);
    ASSERT_TRUE(partition.SetHandleSize(partition.GetHandle(blocks[1]), 500));  // leaves the pool block
    std::memset(*partition.GetHandle(blocks[1]), 1, 500);
    for (char* b : blocks) partition.DisposePtr(*partition.GetHandle(b));
    for (char* b : blocks) EXPECT_TRUE(__asan_address_is_poisoned(b)) << "free pool block";
    EXPECT_DEATH(*static_cast<volatile char*>(shrunk + 10) = 1, "use-after-poison") << "one byte past memSize";
    EXPECT_DEATH(*static_cast<volatile char*>(blocks[0]) = 1, "use-after-poison") << "a free pool block";
#endif
}

} // namespace
