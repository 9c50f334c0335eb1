// Call stacks: the record's life, what is printed and when, buffer and depth
// limits, and demangling.
#include <sstream>
#include <stdexcept>

#include "krmm_test.h"

using namespace krmm_test;

// External linkage, so that the test binary's dynamic symbol table names it.
namespace krmm_stack_probe {
// Captures the stack into `frames` when given, and allocates a block: from a frame the stacks must name.
[[gnu::noinline]] Handle AllocateTracedBlock(Partition& partition, std::vector<void*>* frames = nullptr) {
    if (frames != nullptr) KRMM_GetCallStack(frames);
    Handle h = partition.NewHandle(48);
    asm volatile("" : "+r"(h));  // not a tail call: this frame stays on the stack
    return h;
}
} // namespace krmm_stack_probe

namespace {

std::string StackOf(const Partition& partition, const void* handle, size_t bufSize = 16384) {
    std::vector<char> buf(bufSize + 1, 'x');
    partition.GetBlockStackTrace(handle, buf.data(), bufSize);
    return std::string(buf.data(), bufSize == 0 ? 1 : std::strlen(buf.data()));
}
// The lines of a printed stack, each of which must end in "\n".
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return text.empty() || text.back() == '\n' ? lines : std::vector<std::string>{"unterminated: " + text};
}

TEST(CallStack, RecordIsMadeReplacedDroppedAndFreedWithItsBlock) {
    Partition partition;
    Handle untraced = partition.NewHandle(8);
    partition.EnableStackTraceInfo(true);
    EXPECT_TRUE(Hdr(untraced)->stackTrace == nullptr && StackOf(partition, untraced).empty()) << "tracing was off";
    Handle h = partition.NewHandle(16);
    const std::vector<void*>* first = Hdr(h)->stackTrace;
    ASSERT_TRUE(first != nullptr && first->size() == 59);
    {
        HeapRefusal heap = HeapRefusal::RecordOnly();
        partition.CollectStackTrace(Hdr(h));
        EXPECT_TRUE(Hdr(h)->stackTrace != first && heap.LiveDelta() == 0) << "replaced: built before the old is freed";
        partition.EnableStackTraceInfo(false);
        EXPECT_EQ(StackOf(partition, h), "") << "printed only while tracing is on";
        partition.EnableStackTraceInfo(true);
        EXPECT_NE(StackOf(partition, h), "");
        partition.EnableStackTraceInfo(false);
        partition.CollectStackTrace(Hdr(h));
        EXPECT_TRUE(Hdr(h)->stackTrace == nullptr && heap.LiveDelta() == -2) << "dropped: the vector and its slots";
        partition.EnableStackTraceInfo(true);
        partition.CollectStackTrace(Hdr(h));
        partition.DisposeHandle(h);
        EXPECT_EQ(heap.LiveDelta(), -3) << "freed with its block";
    }
    HeapRefusal refuse = HeapRefusal::FailNth(2);  // the header, then the record
    h = partition.NewHandle(24);
    ASSERT_TRUE(h != nullptr && Hdr(h)->stackTrace == nullptr) << "a refused record lets the allocation succeed";
}

TEST(CallStack, FirstLineNamesTheAllocatingOperationAndCallersAreDemangled) {
    Partition partition;
    partition.EnableStackTraceInfo(true);
    Handle h = krmm_stack_probe::AllocateTracedBlock(partition);
    const std::vector<std::string> lines = Lines(StackOf(partition, h));
    ASSERT_TRUE(!lines.empty() && lines.size() <= 15) << lines.size();
    EXPECT_EQ(lines[0].rfind("1   ", 0), 0u) << "slot 1 first: " << lines[0];
    EXPECT_NE(lines[0].find("KRMM::Partition::Allocate(unsigned long) + "), std::string::npos) << lines[0];
    const std::string caller = "krmm_stack_probe::AllocateTracedBlock(KRMM::Partition&, std::vector<void*";
    EXPECT_NE(std::find_if(lines.begin(), lines.end(), [&](auto& line) { return line.find(caller) != line.npos; }),
              lines.end()) << "the test's own function, demangled";

    const Handle pooled = AsHandle(partition.RequestPoolBlock(partition.CreatePool(64, 2)));
    EXPECT_NE(Lines(StackOf(partition, pooled)).at(0).find("KRMM::Partition::RequestPoolBlock(char**) + "),
              std::string::npos) << "a pool hand-out names its own operation";
}

TEST(CallStack, BufferSizeKeepsWholeLinesAndNeverOverruns) {
    Partition partition;
    partition.EnableStackTraceInfo(true);
    Handle h = partition.NewHandle(8);
    const std::string full = StackOf(partition, h);
    ASSERT_GT(full.size(), 20u);
    EXPECT_EQ(StackOf(partition, h, 0), "x") << "bufSize 0 writes nothing";
    EXPECT_EQ(StackOf(partition, h, 10), "") << "a first line that does not fit leaves buf empty";
    for (size_t bufSize = 1; bufSize <= full.size() + 2; ++bufSize) {
        std::vector<char> buf(bufSize + 16, '#');
        partition.GetBlockStackTrace(h, buf.data(), bufSize);
        const std::string text(buf.data());
        ASSERT_TRUE(std::string(buf.data() + bufSize, 16) == std::string(16, '#') && text.size() < bufSize &&
                    full.compare(0, text.size(), text) == 0 && (text.empty() || text.back() == '\n'))
            << "whole lines of the full stack within " << bufSize;
    }
}

TEST(CallStack, PrintCallStackDepthAndEmptyRules) {
    Partition partition;
    std::vector<void*> frames(59), empty, wide(100, nullptr);
    krmm_stack_probe::AllocateTracedBlock(partition, &frames);
    ASSERT_NE(frames[2], nullptr);
    char buf[4096];
    const auto print = [&](size_t depth) {
        buf[0] = 'x';
        KRMM_PrintCallStack(buf, sizeof buf, &frames, depth);
        return Lines(buf);
    };
    EXPECT_TRUE(print(0).empty() && print(1).empty() && buf[0] == '\0') << "depth 0 and 1 print nothing";
    const std::vector<std::string> lines = print(3);
    ASSERT_EQ(lines.size(), 2u) << "slots 1 and 2";
    EXPECT_NE(lines[0].find("krmm_stack_probe::AllocateTracedBlock(KRMM::Partition&, std::vector<void*"),
              std::string::npos) << lines[0];
    EXPECT_THROW(KRMM_PrintCallStack(buf, sizeof buf, &empty, 16), std::out_of_range);
    EXPECT_STREQ(buf, "");
    const int n = KRMM_GetCallStack(&wide);
    EXPECT_TRUE(KRMM_GetCallStack(nullptr) == 0 && KRMM_GetCallStack(&empty) == 0 && n > 0 && n <= 59 &&
                std::count(wide.begin() + 59, wide.end(), nullptr) == 41);
}

TEST(DemangleBtrace, DemanglesBetweenTheLastSpaceUnderscoreAndTheLastPlusElseKeepsTheLine) {
    const char* const cases[][2] = {
        {"2   demo   0x000055d0c1a2b3c4 _ZN3foo3barEv + 18", "2   demo   0x000055d0c1a2b3c4 foo::bar() + 18"},
        {"3   lib_a.so   0x1000 _ZN4KRMM9Partition8AllocateEm + 91",
         "3   lib_a.so   0x1000 KRMM::Partition::Allocate(unsigned long) + 91"},
        {"7   ???   0x0000000000000000", nullptr}, {"1   demo   0x1 _ZN3foo3barEv", nullptr},
        {"1   a+b   0x1 _ZN3foo3barEv", nullptr}, {"", nullptr}, {"+ _", nullptr},
        {"4   demo   0x1 _not_mangled + 5", nullptr}};  // the demangler refuses it: the whole line
    for (const auto& [line, demangled] : cases)
        EXPECT_EQ(demangle_btrace(std::string(line).data()), demangled != nullptr ? demangled : line);
}

} // namespace
