// Block enumeration and list subtraction: order, capacity limits, null-ended
// lists and vectors that are never shortened.
#include <algorithm>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/KRMM.h>

using KRMM::Handle;
using KRMM::MemoryBlock;
using KRMM::Partition;

namespace {
const void* const kStale = reinterpret_cast<const void*>(0x5a5a);
const void* A = reinterpret_cast<const void*>(0x1000);
const void* B = reinterpret_cast<const void*>(0x2000);
const void* C = reinterpret_cast<const void*>(0x3000);
const void* X = reinterpret_cast<const void*>(0x4000);
} // namespace

TEST(BlockEnumeration, ListsBucketOrderNewestFirstWithinLimits) {
    Partition partition;
    const void* array[8];
    std::fill(std::begin(array), std::end(array), kStale);
    EXPECT_EQ(partition.GetBlockCount(), 0u);
    EXPECT_EQ(partition.GetAllBlocks(array, 8), 0u);
    for (const void* entry : array) EXPECT_EQ(entry, nullptr);

    std::mt19937 rng(42);
    std::vector<Handle> made;
    for (int i = 0; i < 300; ++i) made.push_back(partition.NewHandle(rng() % 6000));
    // Expected order: ascending bucket, then the most recently made first.
    std::vector<const void*> expected;
    for (unsigned bucket = 0; bucket < 1024; ++bucket)
        for (auto it = made.rbegin(); it != made.rend(); ++it)
            if (reinterpret_cast<MemoryBlock*>(*it)->bucket == bucket) expected.push_back(*it);

    std::vector<const void*> listed;
    EXPECT_EQ(partition.GetAllBlocks(listed), made.size());
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(partition.GetBlockCount(), made.size());

    std::fill(std::begin(array), std::end(array), kStale);
    EXPECT_EQ(partition.GetAllBlocks(array, 2), 2u);
    EXPECT_EQ(array[0], expected[0]);
    EXPECT_EQ(array[1], expected[1]);
    EXPECT_EQ(array[2], kStale);  // past maxBlocks nothing is written
    EXPECT_EQ(partition.GetAllBlocks(array, 0), 0u);
    EXPECT_EQ(array[0], expected[0]);

    for (size_t i = 3; i < made.size(); ++i) partition.DisposeHandle(made[i]);
    EXPECT_EQ(partition.GetAllBlocks(array, 8), 3u);
    for (size_t k = 3; k < 8; ++k) EXPECT_EQ(array[k], nullptr);

    std::vector<const void*> old(10, kStale);
    EXPECT_EQ(partition.GetAllBlocks(old), 3u);
    ASSERT_EQ(old.size(), 10u);
    for (size_t k = 0; k < 3; ++k) EXPECT_NE(std::find(made.begin(), made.begin() + 3, old[k]), made.begin() + 3);
    for (size_t k = 3; k < 10; ++k) EXPECT_EQ(old[k], kStale);

    EXPECT_EQ(partition.GetBlockSize(nullptr), 0u);
    ASSERT_TRUE(partition.SetHandleSize(made[0], 12345));
    EXPECT_EQ(partition.GetBlockSize(made[0]), 12345u);
    for (size_t i = 0; i < 3; ++i) partition.DisposeHandle(made[i]);
    EXPECT_EQ(partition.GetBlockCount(), 0u);
}

TEST(BlockLists, ContainsStopsAtNullAndCount) {
    Partition partition;
    const void* list[] = {A, nullptr, B};
    EXPECT_TRUE(partition.BlockArrayContainsBlock(list, 3, A));
    EXPECT_FALSE(partition.BlockArrayContainsBlock(list, 3, B));
    EXPECT_FALSE(partition.BlockArrayContainsBlock(list, 3, nullptr));
    EXPECT_FALSE(partition.BlockArrayContainsBlock(list, 0, A));
    const void* full[] = {A, B, C};
    EXPECT_FALSE(partition.BlockArrayContainsBlock(full, 2, C));
    EXPECT_TRUE(partition.BlockArrayContainsBlock(full, 3, C));

    const std::vector<const void*> vec(std::begin(list), std::end(list));
    EXPECT_TRUE(partition.BlockArrayContainsBlock(vec, A));
    EXPECT_FALSE(partition.BlockArrayContainsBlock(vec, B));
    EXPECT_FALSE(partition.BlockArrayContainsBlock(vec, nullptr));
    EXPECT_FALSE(partition.BlockArrayContainsBlock(std::vector<const void*>{}, A));
}

TEST(BlockLists, SubtractArraysKeepsOrderAndLimits) {
    Partition partition;
    const void* first[] = {A, B, C};
    const void* minusB[] = {B};
    const void* result[4];
    auto reset = [&] { std::fill(std::begin(result), std::end(result), kStale); };

    reset();
    EXPECT_EQ(partition.SubtractBlockArrays(first, 3, minusB, 1, result, 4), 2u);
    EXPECT_EQ(result[0], A);
    EXPECT_EQ(result[1], C);
    EXPECT_EQ(result[2], kStale);  // no null is written after the result
    reset();
    EXPECT_EQ(partition.SubtractBlockArrays(first, 3, minusB, 1, result, 1), 1u);
    EXPECT_EQ(result[0], A);
    EXPECT_EQ(result[1], kStale);
    EXPECT_EQ(partition.SubtractBlockArrays(first, 3, nullptr, 0, result, 4), 3u);
    EXPECT_EQ(std::vector<const void*>(result, result + 3), (std::vector<const void*>{A, B, C}));
    reset();
    EXPECT_EQ(partition.SubtractBlockArrays(first, 3, nullptr, 0, result, 2), 2u);
    EXPECT_EQ(result[2], kStale);
    EXPECT_EQ(partition.SubtractBlockArrays(first, 0, minusB, 1, result, 4), 0u);
    EXPECT_EQ(partition.SubtractBlockArrays(first, 3, minusB, 1, result, 0), 0u);
    EXPECT_EQ(result[2], kStale);

    const void* withNull[] = {A, nullptr, C};
    const void* minusX[] = {X};
    EXPECT_EQ(partition.SubtractBlockArrays(withNull, 3, nullptr, 0, result, 4), 1u);
    EXPECT_EQ(partition.SubtractBlockArrays(withNull, 3, minusX, 1, result, 4), 1u);
    // A null in the second list hides what follows it; duplicates stay.
    const void* twice[] = {A, B, A};
    const void* hidden[] = {X, nullptr, B};
    reset();
    EXPECT_EQ(partition.SubtractBlockArrays(twice, 3, hidden, 3, result, 4), 3u);
    EXPECT_EQ(std::vector<const void*>(result, result + 3), (std::vector<const void*>{A, B, A}));
}

TEST(BlockLists, SubtractVectorsNeverShortensResult) {
    Partition partition;
    std::vector<const void*> result(5, kStale);
    EXPECT_EQ(partition.SubtractBlockArrays({A, B, C}, {B}, result), 2u);
    EXPECT_EQ(result, (std::vector<const void*>{A, C, kStale, kStale, kStale}));
    result = {kStale};
    EXPECT_EQ(partition.SubtractBlockArrays({A, nullptr, C}, {}, result), 1u);
    EXPECT_EQ(partition.SubtractBlockArrays({A, B, A}, {X}, result), 3u);
    EXPECT_EQ(result, (std::vector<const void*>{A, B, A}));
    EXPECT_EQ(partition.SubtractBlockArrays({}, {A}, result), 0u);
    EXPECT_EQ(result.size(), 3u);

    // Snapshots before and after: the difference is what appeared in between.
    Handle kept = partition.NewHandle(10);
    Handle gone = partition.NewHandle(20);
    std::vector<const void*> before, after, appeared;
    partition.GetAllBlocks(before);
    Handle fresh = partition.NewHandle(30);
    partition.DisposeHandle(gone);
    const size_t n = partition.GetAllBlocks(after);
    after.resize(n);
    EXPECT_EQ(partition.SubtractBlockArrays(after, before, appeared), 1u);
    EXPECT_EQ(appeared[0], fresh);
    partition.DisposeHandle(kept);
    partition.DisposeHandle(fresh);
}
