// Size classes, labels and the exact text of the counter report.
#include <cstdint>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include <KRMM/KRMM.h>

#include "capture_stdout.h"

using KRMM::Handle;
using KRMM::Partition;
using krmm_test::CaptureStdout;

namespace {
std::string Report(const Partition& partition, unsigned options) {
    return CaptureStdout([&] { partition.PrintMemoryStats(options); });
}
} // namespace

TEST(SizeStatistics, ClassesCountAtBoundsAndLabelsDiffer) {
    Partition partition;
    const struct { size_t size; size_t slot; } cases[] = {
        {1, 0}, {9, 0}, {10, 1}, {49, 1}, {50, 2}, {100, 3}, {499, 3}, {500, 4}, {1000, 5},
        {4999, 5}, {5000, 6}, {10000, 7}, {50000, 8}, {100000, 9}, {500000, 10}, {999999, 10},
        {1000000, 11}, {4999999, 11}, {5000000, 12}, {10000000, 12}, {20000000, 12}, {SIZE_MAX, 12}};
    size_t expected[13] = {};
    for (const auto& c : cases) {
        partition.MemoryStat_AddAlloc(c.size);
        ++expected[c.slot];
    }
    partition.MemoryStat_AddAlloc(0);  // not counted
    for (size_t slot = 0; slot < 13; ++slot) EXPECT_EQ(partition.statSlotCounts[slot], expected[slot]) << slot;
    EXPECT_EQ(partition.statTotal, static_cast<int32_t>(std::size(cases)));

    const char* labels[13] = {"0 - 10", "11 - 50", "51 - 100", "101 - 500", "501 - 1000", "1001 - 5000",
                              "5001 - 10000", "10001 - 50000", "50001 - 100000", "100001 - 500000",
                              "500001 - 1000000", "1000001 - 5000000", "5000001 - 10000000"};
    char label[44];
    for (size_t slot = 0; slot < 13; ++slot) {
        partition.MemoryStat_GetSlotBoundsStr(label, slot);
        EXPECT_STREQ(label, labels[slot]);
    }
}

TEST(MemoryReport, FreshPartitionPrintsCountersAndNoPool) {
    Partition partition;
    const std::string fresh =
        "KRMM: numCalls: 0. numBlocks: 0. bytesAllocated: 0   numAllocates: 0   numpoolHits: 0\n"
        "Pool: absent\n";
    EXPECT_EQ(Report(partition, 1), fresh);  // an empty histogram is not printed

    Handle small = partition.NewHandle(64);
    Handle large = partition.NewHandle(6000);
    partition.DisposeHandle(small);
    EXPECT_EQ(Report(partition, 0),
              "KRMM: numCalls: 2. numBlocks: 1. bytesAllocated: 6000   numAllocates: 0   numpoolHits: 0\n"
              "Pool: absent\n");
    partition.DisposeHandle(large);
}

TEST(MemoryReport, CurrentPoolLinePrintedWhilePoolingIsOff) {
    Partition partition;
    Handle storage = partition.NewHandle(sizeof(KRMM::PoolHeader));
    ASSERT_NE(storage, nullptr);
    KRMM::PoolHeader header{};
    header.blockSize = 32;
    header.blockCount = 8;
    header.blockStride = 32 + sizeof(KRMM::MemoryBlock);
    header.freeCount = 5;
    std::memcpy(*storage, &header, sizeof header);
    partition.currentPool = storage;
    EXPECT_EQ(Report(partition, 2),
              "KRMM: numCalls: 1. numBlocks: 1. bytesAllocated: 64   numAllocates: 0   numpoolHits: 0\n"
              "Pool: present\n"
              "    TotalHandles: 8    NumUsed: 3\n");
    partition.currentPool = nullptr;
    partition.DisposeHandle(storage);
}

TEST(MemoryReport, HistogramOnlyWithBitZeroAndCounts) {
    Partition partition;
    for (size_t size : {9, 10, 5000000}) partition.MemoryStat_AddAlloc(size);
    const std::string head =
        "KRMM: numCalls: 0. numBlocks: 0. bytesAllocated: 0   numAllocates: 0   numpoolHits: 0\n"
        "Pool: absent\n";
    const std::string histogram =
        "0) 1 allocations in range 0 - 10 (33.33%)\n"
        "1) 1 allocations in range 11 - 50 (33.33%)\n"
        "2) 0 allocations in range 51 - 100 (0.00%)\n"
        "3) 0 allocations in range 101 - 500 (0.00%)\n"
        "4) 0 allocations in range 501 - 1000 (0.00%)\n"
        "5) 0 allocations in range 1001 - 5000 (0.00%)\n"
        "6) 0 allocations in range 5001 - 10000 (0.00%)\n"
        "7) 0 allocations in range 10001 - 50000 (0.00%)\n"
        "8) 0 allocations in range 50001 - 100000 (0.00%)\n"
        "9) 0 allocations in range 100001 - 500000 (0.00%)\n"
        "10) 0 allocations in range 500001 - 1000000 (0.00%)\n"
        "11) 0 allocations in range 1000001 - 5000000 (0.00%)\n"
        "12) 1 allocations in range 5000001 - 10000000 (33.33%)\n";
    EXPECT_EQ(Report(partition, 1), head + histogram);
    EXPECT_EQ(Report(partition, 3), head + histogram);
    EXPECT_EQ(Report(partition, 0), head);
    EXPECT_EQ(Report(partition, 2), head);
}

TEST(DebugOutput, TextIsWrittenAsItIs) {
    EXPECT_EQ(CaptureStdout([] { KRMM::OutputDebugStringA("100% %s %n"); }), "100% %s %n");
    char text[] = "50% done";
    EXPECT_EQ(CaptureStdout([&] { OutputDebugString(text); }), "50% done\n");
}
