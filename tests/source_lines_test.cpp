// source_lines_test.cpp - source file and line appended to printed stack frames.
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/KRMM.h>

namespace krmm_lines_probe {
int allocationLine = 0;
[[gnu::noinline]] KRMM::Ptr AllocateHere(KRMM::Partition& partition) {
    allocationLine = __LINE__ + 1;
    KRMM::Ptr p = partition.NewPtr(24);
    asm volatile("" : "+r"(p));  // not a tail call: this frame stays on the stack
    return p;
}
} // namespace krmm_lines_probe

namespace {

using KRMM::Partition;

std::vector<std::string> PrintedLines(const Partition& partition, const void* handle) {
    char buf[16384];
    partition.GetBlockStackTrace(handle, buf, sizeof buf);
    std::vector<std::string> lines;
    std::string text(buf);
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

TEST(SourceLines, DemanglingReadsPastTheSuffix) {
    char line[] = "2   demo   0x000055d0c1a2b3c4 _ZN3foo3barEv + 18 (foo.cpp:12)";
    EXPECT_EQ(demangle_btrace(line), "2   demo   0x000055d0c1a2b3c4 foo::bar() + 18 (foo.cpp:12)");
    char unnamed[] = "5   demo   0x000055d0c1a2b3c4 (main.cpp:7)";
    EXPECT_EQ(demangle_btrace(unnamed), "5   demo   0x000055d0c1a2b3c4 (main.cpp:7)");
}

TEST(SourceLines, EachNamedFrameEndsWithItsCallSite) {
#if !defined(KRMM_TEST_HAVE_LIBDW)
    GTEST_SKIP() << "built without libdw: frames carry no file and line";
#endif
    Partition partition;
    partition.EnableStackTraceInfo(true);
    KRMM::Ptr p = krmm_lines_probe::AllocateHere(partition);
    const std::vector<std::string> lines = PrintedLines(partition, partition.GetHandle(p));
    ASSERT_GE(lines.size(), 3u);

    // The text the printer fixes comes first, untouched; the suffix follows.
    const std::regex allocate(
        R"(^1   libKRMM\.so\S*   0x[0-9a-f]{16} KRMM::Partition::Allocate\(unsigned long\) \+ \d+ \(allocation\.cpp:\d+\)$)");
    EXPECT_TRUE(std::regex_match(lines[0], allocate)) << lines[0];

    const std::string probeSite =
        " (source_lines_test.cpp:" + std::to_string(krmm_lines_probe::allocationLine) + ")";
    bool probeFound = false;
    for (const std::string& line : lines) {
        if (line.find("krmm_lines_probe::AllocateHere(KRMM::Partition&) + ") == std::string::npos) continue;
        probeFound = true;
        EXPECT_EQ(line.size() - line.rfind(probeSite), probeSite.size()) << "the call's own line: " << line;
    }
    EXPECT_TRUE(probeFound);
    partition.DisposePtr(p);
}

} // namespace
