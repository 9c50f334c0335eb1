// Size classes, their labels, the exact text of the counter report, and the
// two debug-output functions.
#include "capture_stdout.h"
#include "krmm_test.h"

using namespace krmm_test;

namespace {
std::string Report(const Partition& partition, unsigned options) {
    return CaptureStdout([&] { partition.PrintMemoryStats(options); });
}
const std::string kFreshCounters =
    "KRMM: numCalls: 0. numBlocks: 0. bytesAllocated: 0   numAllocates: 0   numpoolHits: 0\n";
const char* const kLabels[13] = {"0 - 10", "11 - 50", "51 - 100", "101 - 500", "501 - 1000", "1001 - 5000",
                                 "5001 - 10000", "10001 - 50000", "50001 - 100000", "100001 - 500000",
                                 "500001 - 1000000", "1000001 - 5000000", "5000001 - 10000000"};
} // namespace

TEST(SizeStatistics, ClassesCountAtTheirLowerBoundAndLabelsDiffer) {
    Partition partition;
    const size_t sizes[][2] = {{1, 0}, {9, 0}, {10, 1}, {49, 1}, {50, 2}, {100, 3}, {499, 3}, {500, 4}, {1000, 5},
                               {4999, 5}, {5000, 6}, {10000, 7}, {50000, 8}, {100000, 9}, {500000, 10},
                               {999999, 10}, {1000000, 11}, {4999999, 11}, {5000000, 12}, {10000000, 12},
                               {20000000, 12}, {SIZE_MAX, 12}, {0, 13}};  // 0 is not counted
    size_t expected[14] = {};
    for (const auto& [size, slot] : sizes) { partition.MemoryStat_AddAlloc(size); ++expected[slot]; }
    EXPECT_EQ(partition.statTotal, static_cast<int32_t>(std::size(sizes) - 1));
    char label[44];
    for (size_t slot = 0; slot < 13; ++slot) {
        partition.MemoryStat_GetSlotBoundsStr(label, slot);
        EXPECT_TRUE(partition.statSlotCounts[slot] == expected[slot] && std::string(label) == kLabels[slot]) << slot;
    }
}

TEST(MemoryReport, CountersPoolAndHistogramLines) {
    Partition partition;
    EXPECT_EQ(Report(partition, 1), kFreshCounters + "Pool: absent\n") << "an empty histogram is not printed";

    for (size_t size : {9, 10, 5000000}) partition.MemoryStat_AddAlloc(size);
    std::string histogram;
    for (int slot = 0; slot < 13; ++slot) {
        const bool hit = slot == 0 || slot == 1 || slot == 12;
        histogram += std::to_string(slot) + ") " + (hit ? "1" : "0") + " allocations in range " + kLabels[slot] +
                     (hit ? " (33.33%)\n" : " (0.00%)\n");
    }
    for (unsigned options : {1, 3})
        EXPECT_EQ(Report(partition, options), kFreshCounters + "Pool: absent\n" + histogram) << options;
    EXPECT_EQ(Report(partition, 2), kFreshCounters + "Pool: absent\n") << "only bit 0 asks for the histogram";

    // A current pool of 8 blocks with 3 out is reported while pooling is off.
    partition.SetCurrentPool(partition.CreatePool(32, 8));
    for (int i = 0; i < 3; ++i) partition.RequestPoolBlock(partition.currentPool);
    partition.NewHandle(6000);
    EXPECT_EQ(Report(partition, 0),
              "KRMM: numCalls: 2. numBlocks: 2. bytesAllocated: 7664   numAllocates: 0   numpoolHits: 0\n"
              "Pool: present\n"
              "    TotalHandles: 8    NumUsed: 3\n");
}

TEST(DebugOutput, TextIsWrittenAsItIs) {
    EXPECT_EQ(CaptureStdout([] { KRMM::OutputDebugStringA("100% %s %n"); }), "100% %s %n");
    char text[] = "50% done";
    EXPECT_EQ(CaptureStdout([&] { OutputDebugString(text); }), "50% done\n");
}
