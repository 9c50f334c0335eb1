// diagnostics_test.cpp - call stacks (what is printed, buffer and depth
// limits, demangling, source lines), block lists, the counter report, and
// the leak report and profiles built from block groups.
#include <regex>
#include <stdexcept>

#include <KRMM/Diagnostics.h>

#include "krmm_test.h"

// External linkage, so that the test binary's dynamic symbol table names it.
namespace krmm_stack_probe {
const int kCallLine = __LINE__ + 4;
// Captures the stack into `frames` when given, and allocates a block: from a frame the stacks must name.
[[gnu::noinline]] KRMM::Handle AllocateTracedBlock(KRMM::Partition& partition, std::vector<void*>* frames = nullptr) {
    if (frames != nullptr) KRMM_GetCallStack(frames);
    KRMM::Handle h = partition.NewHandle(48);
    asm volatile("" : "+r"(h));  // not a tail call: this frame stays on the stack
    return h;
}
} // namespace krmm_stack_probe

namespace {

using namespace krmm_test;
using List = std::vector<const void*>;
const std::string kProbe = "krmm_stack_probe::AllocateTracedBlock(KRMM::Partition&, std::vector<void*";

std::string StackOf(const Partition& partition, const void* handle) {
    char buf[16384];
    partition.GetBlockStackTrace(handle, buf, sizeof buf);
    return buf;
}

// Line 1 names the allocating operation; the callers are demangled; with
// libdw each named frame ends with its call site.
TEST(CallStack, FirstLineNamesTheAllocatingOperationAndCallersAreDemangledWithTheirLines) {
    Partition partition;
    partition.EnableStackTraceInfo(true);
    const std::string text = StackOf(partition, krmm_stack_probe::AllocateTracedBlock(partition));
    EXPECT_EQ(text.rfind("1   ", 0), 0u) << text;
    EXPECT_NE(text.find("KRMM::Partition::Allocate(unsigned long) + "), std::string::npos) << text;
    const size_t at = text.find(kProbe);
    EXPECT_NE(at, std::string::npos) << text;
    EXPECT_NE(StackOf(partition, partition.RequestPoolBlock(partition.CreatePool(64, 2)))
                  .find("KRMM::Partition::RequestPoolBlock(char**) + "),
              std::string::npos) << "a pool hand-out names its own operation";
#if defined(KRMM_TEST_HAVE_LIBDW)
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(^1   libKRMM\.so\S*   0x[0-9a-f]{16} )"
                                                   R"(KRMM::Partition::Allocate\(unsigned long\) \+ \d+ \(\w+\.cpp:\d+\)\n)")))
        << text;
    const std::string site = " (diagnostics_test.cpp:" + std::to_string(krmm_stack_probe::kCallLine) + ")\n";
    EXPECT_EQ(text.find(site, at) + site.size(), text.find('\n', at) + 1) << text;
#endif
}

TEST(CallStack, PrintCallStackDepthAndEmptyRules) {
    std::vector<void*> frames(59), empty, wide(100, nullptr);
    Partition partition;
    krmm_stack_probe::AllocateTracedBlock(partition, &frames);
    char buf[4096] = "x";
    KRMM_PrintCallStack(buf, sizeof buf, &frames, 3);
    const std::string text = buf;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << "slots 1 and 2: " << text;
    EXPECT_NE(text.substr(0, text.find('\n')).find(kProbe), std::string::npos) << "slot 1: the caller; " << text;
    EXPECT_THROW(KRMM_PrintCallStack(buf, sizeof buf, &empty, 16), std::out_of_range);
    EXPECT_GT(KRMM_GetCallStack(&wide), 0);
    EXPECT_EQ(std::count(wide.begin() + 59, wide.end(), nullptr), 41) << "59 slots at most";
}

TEST(DemangleBtrace, DemanglesBetweenTheLastSpaceUnderscoreAndTheLastPlusElseKeepsTheLine) {
    const char* const cases[][2] = {
        {"2   demo   0x000055d0c1a2b3c4 _ZN3foo3barEv + 18", "2   demo   0x000055d0c1a2b3c4 foo::bar() + 18"},
        {"2   demo   0x1 _ZN3foo3barEv + 18 (foo.cpp:12)", "2   demo   0x1 foo::bar() + 18 (foo.cpp:12)"},
        {"3   lib_a.so   0x1000 _ZN4KRMM9Partition8AllocateEm + 91",
         "3   lib_a.so   0x1000 KRMM::Partition::Allocate(unsigned long) + 91"},
        {"7   ???   0x0000000000000000", nullptr}, {"1   demo   0x1 _ZN3foo3barEv", nullptr},
        {"1   a+b   0x1 _ZN3foo3barEv", nullptr}, {"", nullptr}, {"+ _", nullptr},
        {"4   demo   0x1 _not_mangled + 5", nullptr}};  // the demangler refuses it: the whole line
    for (const auto& [line, demangled] : cases)
        EXPECT_EQ(demangle_btrace(std::string(line).data()), demangled != nullptr ? demangled : line);
}

TEST(BlockLists, EnumerationInBucketOrderNewestFirstAndSubtractionStopAtNullsAndLimits) {
    Partition p;
    std::vector<Handle> made;
    for (int i = 0; i < 300; ++i) made.push_back(p.NewHandle(static_cast<size_t>(i) * 37 % 6000));
    List expected, listed;  // ascending bucket, the most recently made first within one
    for (unsigned bucket = 0; bucket < 1024; ++bucket)
        for (auto it = made.rbegin(); it != made.rend(); ++it)
            if (Hdr(*it)->bucket == bucket) expected.push_back(*it);
    EXPECT_EQ(p.GetAllBlocks(listed), 300u);
    EXPECT_EQ(listed, expected);
    List array(3, nullptr), result(4, made[9]);
    EXPECT_EQ(p.GetAllBlocks(array.data(), 2), 2u);
    EXPECT_EQ(array, (List{expected[0], expected[1], nullptr})) << "nothing past max";
    const List first = {made[0], made[1], made[0], nullptr, made[2]}, second = {made[1], nullptr, made[0]};
    EXPECT_EQ(p.SubtractBlockArrays(first.data(), 5, second.data(), 3, result.data(), 3), 2u) << "a null ends a list";
    EXPECT_EQ(result, (List{made[0], made[0], made[9], made[9]})) << "duplicates stay; no null after them";
}

TEST(MemoryReport, ClassesCountAtTheirLowerBoundAndTheReportPrintsCountersPoolAndHistogram) {
    Partition partition;
    const auto report = [&](unsigned options) {
        testing::internal::CaptureStdout();
        partition.PrintMemoryStats(options);
        return testing::internal::GetCapturedStdout();
    };
    const std::string counters =
        "KRMM: numCalls: 0. numBlocks: 0. bytesAllocated: 0   numAllocates: 0   numpoolHits: 0\nPool: absent\n";
    EXPECT_EQ(report(1), counters) << "an empty histogram is not printed";
    for (size_t size : {size_t{0}, size_t{9}, size_t{10}, size_t{10000000}, SIZE_MAX}) partition.MemoryStat_AddAlloc(size);  // 0 is not counted
    EXPECT_EQ(partition.statTotal, 4);
    const char* const labels[13] = {"0 - 10", "11 - 50", "51 - 100", "101 - 500", "501 - 1000", "1001 - 5000",
                                    "5001 - 10000", "10001 - 50000", "50001 - 100000", "100001 - 500000",
                                    "500001 - 1000000", "1000001 - 5000000", "5000001 - 10000000"};
    std::string histogram;
    for (int slot = 0; slot < 13; ++slot) {
        const int n = slot == 0 || slot == 1 ? 1 : slot == 12 ? 2 : 0;
        histogram += std::to_string(slot) + ") " + std::to_string(n) + " allocations in range " + labels[slot] +
                     (n == 0 ? " (0.00%)\n" : n == 1 ? " (25.00%)\n" : " (50.00%)\n");
    }
    EXPECT_EQ(report(3), counters + histogram);
    EXPECT_EQ(report(2), counters) << "only bit 0 asks for the histogram";
    partition.SetCurrentPool(partition.CreatePool(32, 8));  // reported while pooling is off
    for (int i = 0; i < 3; ++i) partition.RequestPoolBlock(partition.currentPool);
    partition.NewHandle(6000);
    EXPECT_EQ(report(0), "KRMM: numCalls: 2. numBlocks: 2. bytesAllocated: 7664   numAllocates: 0   numpoolHits: 0\n"
                         "Pool: present\n    TotalHandles: 8    NumUsed: 3\n");
    testing::internal::CaptureStdout();
    KRMM::OutputDebugStringA("100% %s %n");
    char text[] = "50% done";
    OutputDebugString(text);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "100% %s %n50% done\n") << "written as it is";
}

// Between two snapshots: 300 bytes in three blocks from one call site (a
// fourth released again: a stale entry), 48 from another, and 7 bytes
// without a recorded stack. The fuzzer writes every report of random groups.
TEST(BlockGroups, LeakReportAndFoldedStacksDescribeTheNewBlocksLargestFirst) {
    Partition partition;
    partition.EnableStackTraceInfo(true);
    List before, after;
    before.resize(partition.GetAllBlocks(before));
    KRMM::Ptr released = partition.NewPtr(100);
    volatile int three = 3;  // not unrolled: one call site
    for (int i = 0; i < three; ++i) partition.NewPtr(100);
    krmm_stack_probe::AllocateTracedBlock(partition);
    partition.EnableStackTraceInfo(false);
    partition.NewPtr(7);
    after.resize(partition.GetAllBlocks(after));
    partition.DisposePtr(released);
    const KRMM::diag::BlockGroups groups = KRMM::diag::GroupNewBlocks(partition, before, after);
    std::FILE* file = std::tmpfile();
    ASSERT_TRUE(KRMM::diag::WriteLeakReport(file, groups));
    ASSERT_TRUE(KRMM::diag::WriteFoldedStacks(file, groups));
    std::string text(static_cast<size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    text.resize(std::fread(text.data(), 1, text.size(), file));
    std::fclose(file);
    EXPECT_TRUE(text.starts_with("KRMM leak report: 5 blocks, 355 bytes in 3 stacks\n\n"
                                 "3 blocks, 300 bytes allocated at:\n    1   libKRMM")) << text;
    EXPECT_NE(text.find("\n\n1 block, 7 bytes allocated at:\n    (no call stack recorded)\n"), std::string::npos);
    EXPECT_TRUE(text.ends_with("KRMM::Partition::Allocate(unsigned long) 48\n[no stack recorded] 7\n")) << text;
    EXPECT_NE(text.find(kProbe), std::string::npos) << "demangled, outermost first; " << text;
}

} // namespace
