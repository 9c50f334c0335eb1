// diagnostics_test.cpp - call stacks (the record's life, what is printed,
// buffer and depth limits, demangling, source lines), block lists, the
// counter report, and the leak report and profiles built from block groups.
#include <unistd.h>

#include <random>
#include <regex>
#include <sstream>
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

std::string StackOf(const Partition& partition, const void* handle, size_t bufSize = 16384) {
    std::vector<char> buf(bufSize + 1, 'x');
    partition.GetBlockStackTrace(handle, buf.data(), bufSize);
    return std::string(buf.data(), bufSize == 0 ? 1 : std::strlen(buf.data()));
}

TEST(CallStack, RecordIsMadeReplacedDroppedAndFreedWithItsBlock) {
    Partition partition;
    Handle untraced = partition.NewHandle(8);
    partition.EnableStackTraceInfo(true);
    EXPECT_EQ(StackOf(partition, untraced), "") << "tracing was off";
    Handle h = partition.NewHandle(16);
    const std::vector<void*>* first = Hdr(h)->stackTrace;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->size(), 59u);
    {
        HeapRefusal heap;
        partition.CollectStackTrace(Hdr(h));
        EXPECT_NE(Hdr(h)->stackTrace, first) << "replaced: built before the old is freed";
        EXPECT_EQ(heap.LiveDelta(), 0);
        partition.EnableStackTraceInfo(false);
        EXPECT_EQ(StackOf(partition, h), "") << "printed only while tracing is on";
        partition.CollectStackTrace(Hdr(h));
        EXPECT_EQ(Hdr(h)->stackTrace, nullptr);
        EXPECT_EQ(heap.LiveDelta(), -2) << "dropped: the vector and its slots";
        partition.EnableStackTraceInfo(true);
        partition.CollectStackTrace(Hdr(h));
        partition.DisposeHandle(h);
        EXPECT_EQ(heap.LiveDelta(), -3) << "freed with its block";
    }
    HeapRefusal refuse = HeapRefusal::FailNth(2);  // the header, then the record
    h = partition.NewHandle(24);
    ASSERT_NE(h, nullptr) << "a refused record lets the allocation succeed";
    EXPECT_EQ(Hdr(h)->stackTrace, nullptr);
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

TEST(CallStack, BufferSizeKeepsWholeLinesAndNeverOverruns) {
    Partition partition;
    partition.EnableStackTraceInfo(true);
    Handle h = partition.NewHandle(8);
    const std::string full = StackOf(partition, h);
    ASSERT_GT(full.size(), 20u);
    EXPECT_EQ(StackOf(partition, h, 0), "x") << "bufSize 0 writes nothing";
    for (size_t bufSize = 1; bufSize <= full.size() + 2; ++bufSize) {
        SCOPED_TRACE(bufSize);
        std::vector<char> buf(bufSize + 16, '#');
        partition.GetBlockStackTrace(h, buf.data(), bufSize);
        const std::string text(buf.data());
        ASSERT_EQ(std::string(buf.data() + bufSize, 16), std::string(16, '#'));
        ASSERT_LT(text.size(), bufSize);
        ASSERT_EQ(full.compare(0, text.size(), text), 0) << "a prefix of the full stack";
        ASSERT_TRUE(text.empty() || text.back() == '\n') << "whole lines";
    }
}

TEST(CallStack, PrintCallStackDepthAndEmptyRules) {
    Partition partition;
    std::vector<void*> frames(59), empty, wide(100, nullptr);
    krmm_stack_probe::AllocateTracedBlock(partition, &frames);
    char buf[4096] = "x";
    KRMM_PrintCallStack(buf, sizeof buf, &frames, 1);
    EXPECT_STREQ(buf, "") << "depth 1 prints nothing";
    KRMM_PrintCallStack(buf, sizeof buf, &frames, 3);
    const std::string text = buf;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << "slots 1 and 2: " << text;
    EXPECT_NE(text.substr(0, text.find('\n')).find(kProbe), std::string::npos) << "slot 1: the caller; " << text;
    EXPECT_THROW(KRMM_PrintCallStack(buf, sizeof buf, &empty, 16), std::out_of_range);
    EXPECT_EQ(KRMM_GetCallStack(nullptr), 0);
    EXPECT_EQ(KRMM_GetCallStack(&empty), 0);
    const int n = KRMM_GetCallStack(&wide);
    EXPECT_GT(n, 0);
    EXPECT_LE(n, 59);
    EXPECT_EQ(std::count(wide.begin() + 59, wide.end(), nullptr), 41);
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

TEST(BlockEnumeration, ListsBucketOrderNewestFirstWithinLimits) {
    const void* const stale = reinterpret_cast<void*>(0x5a5a);
    Partition partition;
    std::mt19937 rng(42);
    std::vector<Handle> made;
    for (int i = 0; i < 300; ++i) made.push_back(partition.NewHandle(rng() % 6000));
    List expected, listed;  // ascending bucket, the most recently made first within one
    for (unsigned bucket = 0; bucket < 1024; ++bucket)
        for (auto it = made.rbegin(); it != made.rend(); ++it)
            if (Hdr(*it)->bucket == bucket) expected.push_back(*it);
    EXPECT_EQ(partition.GetAllBlocks(listed), 300u);
    EXPECT_EQ(listed, expected);
    List array(4, stale);
    EXPECT_EQ(partition.GetAllBlocks(array.data(), 2), 2u);
    EXPECT_EQ(array, (List{expected[0], expected[1], stale, stale})) << "nothing past max";
    for (size_t i = 3; i < made.size(); ++i) partition.DisposeHandle(made[i]);
    List old(5, stale);
    EXPECT_EQ(partition.GetAllBlocks(old), 3u);
    EXPECT_EQ(old[3], stale) << "a vector is never shortened";
    EXPECT_EQ(partition.GetAllBlocks(array.data(), 4), 3u);
    EXPECT_EQ(array[3], nullptr) << "an array is null-ended when there is room";
}

TEST(BlockLists, SubtractionAndContainmentStopAtTheFirstNullAndTheCount) {
    const void *const A = reinterpret_cast<void*>(0x1000), *const B = reinterpret_cast<void*>(0x2000),
                      *const C = reinterpret_cast<void*>(0x3000), *const stale = reinterpret_cast<void*>(0x5a5a);
    Partition p;
    const List abc = {A, B, C}, b = {B}, aNullC = {A, nullptr, C}, aba = {A, B, A}, bNullA = {B, nullptr, A}, none;
    EXPECT_TRUE(p.BlockArrayContainsBlock(abc.data(), 3, C));
    EXPECT_FALSE(p.BlockArrayContainsBlock(abc.data(), 2, C));
    EXPECT_FALSE(p.BlockArrayContainsBlock(aNullC, C));
    EXPECT_FALSE(p.BlockArrayContainsBlock(aNullC, nullptr));
    const struct { const List& first; size_t firstCount; const List& second; size_t max; List want; } cases[] = {
        {abc, 3, b, 4, {A, C}}, {abc, 3, b, 1, {A}}, {abc, 3, none, 2, {A, B}}, {abc, 0, b, 4, {}},
        {aNullC, 3, none, 4, {A}}, {aba, 3, bNullA, 4, {A, A}}};  // a null hides the rest; duplicates stay
    for (const auto& c : cases) {
        List result(5, stale);
        const size_t n = p.SubtractBlockArrays(c.first.data(), c.firstCount, c.second.data(), c.second.size(),
                                               result.data(), c.max);
        EXPECT_EQ(List(result.begin(), result.begin() + n), c.want);
        EXPECT_EQ(result[n], stale) << "no null after it";
    }
    List result(4, stale);  // the vector form overwrites, then appends, and never shortens
    EXPECT_EQ(p.SubtractBlockArrays(abc, b, result), 2u);
    EXPECT_EQ(result, (List{A, C, stale, stale}));
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

// Between two snapshots: 1000 bytes in one block from one call site, 300 in
// three from another (a fourth released again, so `after` holds a stale
// entry), and 7 bytes without a recorded stack.
TEST(BlockGroups, LeakReportFoldedStacksAndProfileDescribeTheNewBlocks) {
    Partition partition;
    partition.EnableStackTraceInfo(true);
    partition.NewPtr(50);
    List before, after;
    before.resize(partition.GetAllBlocks(before));
    KRMM::Ptr released = partition.NewPtr(100);
    volatile int three = 3;  // not unrolled: one call site
    for (int i = 0; i < three; ++i) partition.NewPtr(100);
    krmm_stack_probe::AllocateTracedBlock(partition);  // 48 bytes, another stack
    partition.EnableStackTraceInfo(false);
    partition.NewPtr(7);
    after.resize(partition.GetAllBlocks(after));
    partition.DisposePtr(released);
    const KRMM::diag::BlockGroups groups = KRMM::diag::GroupNewBlocks(partition, before, after);
    ASSERT_EQ(groups.groups.size(), 3u);
    EXPECT_EQ(groups.blockCount, 5u);
    EXPECT_EQ(groups.byteCount, 355u);
    EXPECT_EQ(groups.groups[0].byteCount, 300u) << "largest first";
    EXPECT_EQ(groups.groups[2].frames.size(), 0u);
    EXPECT_EQ(KRMM::diag::GroupLiveBlocks(partition).blockCount, 6u);
    const auto written = [](auto write) {
        std::FILE* file = std::tmpfile();
        EXPECT_TRUE(write(file));
        std::string bytes(static_cast<size_t>(std::ftell(file)), '\0');
        std::rewind(file);
        bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
        std::fclose(file);
        return bytes;
    };
    const std::string text = written([&](std::FILE* f) { return KRMM::diag::WriteLeakReport(f, groups); });
    EXPECT_TRUE(text.starts_with("KRMM leak report: 5 blocks, 355 bytes in 3 stacks\n\n"
                                 "3 blocks, 300 bytes allocated at:\n    1   libKRMM")) << text;
    EXPECT_TRUE(text.ends_with("\n\n1 block, 7 bytes allocated at:\n    (no call stack recorded)\n")) << text;
    const std::string json = written([&](std::FILE* f) { return KRMM::diag::WriteLeakReportJson(f, groups); });
    EXPECT_TRUE(json.starts_with("{\"blocks\":5,\"bytes\":355,\"groups\":[{\"blocks\":3,\"bytes\":300,\"frames\":[{"))
        << json;
    EXPECT_TRUE(json.ends_with("]},{\"blocks\":1,\"bytes\":7,\"frames\":[]}]}\n")) << json;
    const std::string folded = written([&](std::FILE* f) { return KRMM::diag::WriteFoldedStacks(f, groups); });
    EXPECT_TRUE(folded.ends_with("KRMM::Partition::Allocate(unsigned long) 48\n[no stack recorded] 7\n")) << folded;
    EXPECT_NE(folded.find(kProbe), std::string::npos) << "demangled, outermost first; " << folded;
    const std::string profile = written([&](std::FILE* f) { return KRMM::diag::WritePprofProfile(f, groups); });
    EXPECT_EQ(profile.starts_with("\x1f\x8b"), KRMM::diag::PprofProfilesAreCompressed()) << "gzipped where zlib is";
}

} // namespace
