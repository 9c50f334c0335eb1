// Block enumeration and list subtraction: order, capacity limits, null-ended
// lists and vectors that are never shortened.
#include <iterator>
#include <random>

#include "krmm_test.h"

using namespace krmm_test;
using List = std::vector<const void*>;

namespace {
const void *const kStale = reinterpret_cast<void*>(0x5a5a), *const A = reinterpret_cast<void*>(0x1000),
                  *const B = reinterpret_cast<void*>(0x2000), *const C = reinterpret_cast<void*>(0x3000),
                  *const X = reinterpret_cast<void*>(0x4000);
} // namespace

TEST(BlockEnumeration, ListsBucketOrderNewestFirstWithinLimits) {
    Partition partition;
    List array(9, kStale);  // entry 8 is never written
    EXPECT_EQ(partition.GetAllBlocks(array.data(), 8) + partition.GetBlockCount(), 0u);
    EXPECT_EQ(std::count(array.begin(), array.end(), nullptr), 8);
    std::mt19937 rng(42);
    std::vector<Handle> made;
    for (int i = 0; i < 300; ++i) made.push_back(partition.NewHandle(rng() % 6000));
    List expected, listed;  // ascending bucket, the most recently made first within one
    for (unsigned bucket = 0; bucket < 1024; ++bucket)
        for (auto it = made.rbegin(); it != made.rend(); ++it)
            if (Hdr(*it)->bucket == bucket) expected.push_back(*it);
    EXPECT_TRUE(partition.GetAllBlocks(listed) == 300 && partition.GetBlockCount() == 300 && listed == expected);
    std::fill(array.begin(), array.end(), kStale);
    EXPECT_EQ(partition.GetAllBlocks(array.data(), 2) + partition.GetAllBlocks(array.data(), 0), 2u);
    EXPECT_EQ(List(array.begin(), array.begin() + 3), (List{expected[0], expected[1], kStale})) << "nothing past max";

    for (size_t i = 3; i < made.size(); ++i) partition.DisposeHandle(made[i]);
    List old(10, kStale);
    EXPECT_TRUE(partition.GetAllBlocks(array.data(), 8) == 3 && partition.GetAllBlocks(old) == 3 &&
                std::is_permutation(array.begin(), array.begin() + 3, made.begin()));
    EXPECT_EQ(array, (List{array[0], array[1], array[2], nullptr, nullptr, nullptr, nullptr, nullptr, kStale}));
    EXPECT_EQ(old, (List{array[0], array[1], array[2], kStale, kStale, kStale, kStale, kStale, kStale, kStale}));
}

TEST(BlockLists, ContainsStopsAtTheFirstNullAndTheCount) {
    Partition p;
    const List list = {A, nullptr, B}, full = {A, B, C};
    EXPECT_EQ((std::vector<bool>{p.BlockArrayContainsBlock(list, A), p.BlockArrayContainsBlock(full.data(), 3, C),
                                 p.BlockArrayContainsBlock(list.data(), 3, B), p.BlockArrayContainsBlock(list, B),
                                 p.BlockArrayContainsBlock(list.data(), 3, nullptr),
                                 p.BlockArrayContainsBlock(list, nullptr), p.BlockArrayContainsBlock(list.data(), 0, A),
                                 p.BlockArrayContainsBlock(full.data(), 2, C), p.BlockArrayContainsBlock(List{}, A)}),
              (std::vector<bool>{true, true, false, false, false, false, false, false, false}));
}

TEST(BlockLists, SubtractArraysKeepsOrderAndLimits) {
    Partition p;
    const List abc = {A, B, C}, b = {B}, aNullC = {A, nullptr, C}, x = {X}, aba = {A, B, A}, none;
    const List xNullB = {X, nullptr, B};
    const struct { const List& first; size_t firstCount; const List& second; size_t max; List want; } cases[] = {
        {abc, 3, b, 4, {A, C}}, {abc, 3, b, 1, {A}}, {abc, 3, none, 4, {A, B, C}}, {abc, 3, none, 2, {A, B}},
        {abc, 0, b, 4, {}}, {abc, 3, b, 0, {}}, {aNullC, 3, none, 4, {A}}, {aNullC, 3, x, 4, {A}},
        {aba, 3, xNullB, 4, {A, B, A}}};  // a null hides the rest of the second list; duplicates stay
    for (const auto& c : cases) {
        List result(5, kStale);
        const size_t n = p.SubtractBlockArrays(c.first.data(), c.firstCount, c.second.data(), c.second.size(),
                                               result.data(), c.max);
        EXPECT_TRUE(List(result.begin(), result.begin() + n) == c.want && result[n] == kStale) << "no null after it";
    }
    List result(5, kStale);  // the vector form overwrites, then appends, and never shortens
    EXPECT_EQ(p.SubtractBlockArrays(abc, b, result), 2u);
    EXPECT_EQ(result, (List{A, C, kStale, kStale, kStale}));
    result = {kStale};
    EXPECT_TRUE(p.SubtractBlockArrays(aNullC, none, result) == 1 && p.SubtractBlockArrays(aba, x, result) == 3 &&
                p.SubtractBlockArrays(none, abc, result) == 0 && result == aba);
}
