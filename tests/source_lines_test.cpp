// source_lines_test.cpp - source file and line appended to printed stack frames.
#include <regex>

#include "krmm_test.h"

namespace krmm_lines_probe {
const int kCallLine = __LINE__ + 2;
[[gnu::noinline]] KRMM::Ptr AllocateHere(KRMM::Partition& partition) {
    KRMM::Ptr p = partition.NewPtr(24);
    asm volatile("" : "+r"(p));  // not a tail call: this frame stays on the stack
    return p;
}
} // namespace krmm_lines_probe

namespace {

TEST(SourceLines, EachNamedFrameEndsWithItsCallSite) {
    // Demangling stops at the name's " + offset"; the suffix after it stays as it was.
    char line[] = "2   demo   0x000055d0c1a2b3c4 _ZN3foo3barEv + 18 (foo.cpp:12)";
    EXPECT_EQ(demangle_btrace(line), "2   demo   0x000055d0c1a2b3c4 foo::bar() + 18 (foo.cpp:12)");
#if !defined(KRMM_TEST_HAVE_LIBDW)
    GTEST_SKIP() << "built without libdw: frames carry no file and line";
#endif
    KRMM::Partition partition;
    partition.EnableStackTraceInfo(true);
    char buf[16384];
    partition.GetBlockStackTrace(partition.GetHandle(krmm_lines_probe::AllocateHere(partition)), buf, sizeof buf);
    const std::string text(buf);
    // The text the printer fixes comes first, untouched; the suffix follows.
    const std::regex allocate(R"(^1   libKRMM\.so\S*   0x[0-9a-f]{16} )"
                              R"(KRMM::Partition::Allocate\(unsigned long\) \+ \d+ \(allocation\.cpp:\d+\)\n)");
    EXPECT_TRUE(std::regex_search(text, allocate)) << text;
    // The probe's frame ends with the line of its call.
    const size_t at = text.find("krmm_lines_probe::AllocateHere(KRMM::Partition&) + ");
    const std::string site = " (source_lines_test.cpp:" + std::to_string(krmm_lines_probe::kCallLine) + ")\n";
    EXPECT_TRUE(at != std::string::npos && text.find(site, at) + site.size() == text.find('\n', at) + 1) << text;
}

} // namespace
