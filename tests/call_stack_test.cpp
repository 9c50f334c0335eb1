// call_stack_test.cpp - capture, printing and demangling of allocation stacks.
#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/KRMM.h>

#include "heap_refusal.h"

// External linkage, so that the test binary's dynamic symbol table names them.
namespace krmm_stack_probe {
[[gnu::noinline]] KRMM::Ptr AllocateTracedBlock(KRMM::Partition& partition, size_t size) {
    KRMM::Ptr p = partition.NewPtr(size);
    asm volatile("" : "+r"(p));  // not a tail call: this frame stays on the stack
    return p;
}
[[gnu::noinline]] int CaptureHere(std::vector<void*>& frames) {
    int n = KRMM_GetCallStack(&frames);
    asm volatile("" : "+r"(n));
    return n;
}
} // namespace krmm_stack_probe

namespace {

using KRMM::MemoryBlock;
using KRMM::Partition;

MemoryBlock* BlockOfPtr(Partition& partition, KRMM::Ptr p) {
    return reinterpret_cast<MemoryBlock*>(partition.GetHandle(p));
}

std::string StackOf(const Partition& partition, const void* handle, size_t bufSize = 16384) {
    std::vector<char> buf(bufSize, 'x');
    partition.GetBlockStackTrace(handle, buf.data(), bufSize);
    return std::string(buf.data());
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        EXPECT_NE(end, std::string::npos) << "every line ends in \\n";
        if (end == std::string::npos) break;
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

TEST(CallStack, TracingOffLeavesNoRecordAndPrintsNothing) {
    Partition partition;
    KRMM::Ptr p = partition.NewPtr(32);
    EXPECT_EQ(BlockOfPtr(partition, p)->stackTrace, nullptr);
    EXPECT_EQ(StackOf(partition, partition.GetHandle(p)), "");
    partition.EnableStackTraceInfo(true);
    EXPECT_EQ(StackOf(partition, partition.GetHandle(p)), "") << "no record, nothing printed";
    EXPECT_EQ(StackOf(partition, nullptr), "");
    partition.DisposePtr(p);
}

TEST(CallStack, FirstLineIsTheAllocatingOperationAndCallerIsNamed) {
    Partition partition;
    partition.EnableStackTraceInfo(true);
    KRMM::Ptr p = krmm_stack_probe::AllocateTracedBlock(partition, 48);
    const std::vector<void*>* record = BlockOfPtr(partition, p)->stackTrace;
    ASSERT_NE(record, nullptr);
    ASSERT_EQ(record->size(), 59u);
    Dl_info info{};
    ASSERT_NE(dladdr((*record)[0], &info), 0);
    ASSERT_NE(info.dli_sname, nullptr);
    EXPECT_NE(std::strstr(info.dli_sname, "CollectStackTrace"), nullptr) << "slot 0 is the capture";

    const std::vector<std::string> lines = Lines(StackOf(partition, partition.GetHandle(p)));
    ASSERT_FALSE(lines.empty());
    EXPECT_LE(lines.size(), 15u);
    EXPECT_NE(lines[0].find("KRMM::Partition::Allocate(unsigned long) + "), std::string::npos) << lines[0];
    EXPECT_EQ(lines[0].rfind("1   ", 0), 0u) << "slot 1 first: " << lines[0];
    bool callerNamed = false;
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find("CollectStackTrace"), std::string::npos) << line;
        callerNamed |= line.find("krmm_stack_probe::AllocateTracedBlock(KRMM::Partition&, unsigned long)") !=
                       std::string::npos;
    }
    EXPECT_TRUE(callerNamed);
    partition.DisposePtr(p);
}

TEST(CallStack, RecordIsReplacedDroppedAndFreedWithItsBlock) {
    Partition partition;
    partition.EnableStackTraceInfo(true);
    KRMM::Ptr p = partition.NewPtr(16);
    MemoryBlock* block = BlockOfPtr(partition, p);
    const std::vector<void*>* first = block->stackTrace;
    ASSERT_NE(first, nullptr);
    {
        auto heap = krmm_test::HeapRefusal::RecordOnly();
        partition.CollectStackTrace(block);
        EXPECT_NE(block->stackTrace, nullptr);
        EXPECT_NE(block->stackTrace, first) << "built before the old one is freed";
        EXPECT_EQ(heap.LiveDelta(), 0) << "old record freed";
        partition.EnableStackTraceInfo(false);
        partition.CollectStackTrace(block);
        EXPECT_EQ(block->stackTrace, nullptr);
        EXPECT_EQ(heap.LiveDelta(), -2) << "vector and its slots freed";
        partition.EnableStackTraceInfo(true);
        partition.CollectStackTrace(block);
        partition.DisposePtr(p);
        EXPECT_EQ(heap.LiveDelta(), -2 - 1) << "record and block gone together";
    }
}

TEST(CallStack, PrintedOnlyWhileTracingIsOnNow) {
    Partition partition;
    partition.EnableStackTraceInfo(true);
    KRMM::Handle h = partition.NewHandle(8);
    partition.EnableStackTraceInfo(false);
    EXPECT_NE(reinterpret_cast<MemoryBlock*>(h)->stackTrace, nullptr);
    EXPECT_EQ(StackOf(partition, h), "");
    partition.EnableStackTraceInfo(true);
    EXPECT_NE(StackOf(partition, h), "");
    partition.DisposeHandle(h);
}

TEST(CallStack, BufferSizeKeepsWholeLinesAndNeverOverruns) {
    Partition partition;
    partition.EnableStackTraceInfo(true);
    KRMM::Handle h = partition.NewHandle(8);
    const std::string full = StackOf(partition, h);
    ASSERT_GT(full.size(), 20u);
    for (size_t bufSize = 0; bufSize <= full.size() + 2; ++bufSize) {
        std::vector<char> buf(bufSize + 16, '#');
        partition.GetBlockStackTrace(h, buf.data(), bufSize);
        for (size_t i = bufSize; i < buf.size(); ++i) ASSERT_EQ(buf[i], '#') << "bufSize " << bufSize;
        if (bufSize == 0) continue;
        const std::string text(buf.data());
        ASSERT_LT(text.size(), bufSize);
        ASSERT_EQ(full.compare(0, text.size(), text), 0) << "a prefix of the full stack";
        ASSERT_TRUE(text.empty() || text.back() == '\n') << "whole lines only";
    }
    EXPECT_EQ(StackOf(partition, h, 10), "") << "a first line that does not fit leaves buf empty";
    partition.DisposeHandle(h);
}

TEST(CallStack, PrintCallStackDepthAndEmptyRules) {
    std::vector<void*> frames(59);
    ASSERT_GT(krmm_stack_probe::CaptureHere(frames), 2);
    char buf[4096];
    for (size_t depth : {0u, 1u}) {
        std::memset(buf, 'x', sizeof buf);
        KRMM_PrintCallStack(buf, sizeof buf, &frames, depth);
        EXPECT_STREQ(buf, "");
    }
    KRMM_PrintCallStack(buf, sizeof buf, &frames, 3);
    const std::vector<std::string> lines = Lines(buf);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("krmm_stack_probe::CaptureHere(std::vector<void*"), std::string::npos) << lines[0];

    std::vector<void*> empty;
    std::memset(buf, 'x', sizeof buf);
    EXPECT_THROW(KRMM_PrintCallStack(buf, sizeof buf, &empty, 16), std::out_of_range);
    EXPECT_STREQ(buf, "");
    EXPECT_THROW(KRMM_PrintCallStack(buf, 0, &empty, 16), std::out_of_range);

    EXPECT_EQ(KRMM_GetCallStack(nullptr), 0);
    EXPECT_EQ(KRMM_GetCallStack(&empty), 0);
    std::vector<void*> wide(100, nullptr);
    const int n = KRMM_GetCallStack(&wide);
    EXPECT_GT(n, 0);
    EXPECT_LE(n, 59);
    for (size_t i = 59; i < wide.size(); ++i) EXPECT_EQ(wide[i], nullptr);
}

TEST(CallStack, RefusedRecordLetsTheAllocationSucceed) {
    Partition partition;
    partition.EnableStackTraceInfo(true);
    KRMM::Ptr p;
    {
        auto heap = krmm_test::HeapRefusal::FailNth(2);  // header, then the record
        p = partition.NewPtr(24);
    }
    ASSERT_NE(p, nullptr);
    MemoryBlock* block = BlockOfPtr(partition, p);
    EXPECT_EQ(block->stackTrace, nullptr);
    partition.CollectStackTrace(block);
    ASSERT_NE(block->stackTrace, nullptr);
    {
        auto heap = krmm_test::HeapRefusal::FailNth(1);
        partition.CollectStackTrace(block);
        EXPECT_EQ(block->stackTrace, nullptr);
        EXPECT_EQ(heap.LiveDelta(), -2) << "the old record is freed all the same";
    }
    partition.DisposePtr(p);
}

TEST(CallStack, PoolHandOutRecordsOneStackPerSlot) {
    Partition partition;
    partition.EnableStackTraceInfo(true);
    KRMM::Handle pool = partition.CreatePool(64, 2);
    partition.SetCurrentPool(pool);
    partition.SetPoolEnabled(true);
    KRMM::Ptr p = partition.NewPtr(16);
    MemoryBlock* block = BlockOfPtr(partition, p);
    ASSERT_NE(block->pool, nullptr);
    const std::vector<std::string> lines = Lines(StackOf(partition, block));
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines[0].find("KRMM::Partition::RequestPoolBlock(char**)"), std::string::npos) << lines[0];
    {
        auto heap = krmm_test::HeapRefusal::RecordOnly();
        partition.DisposePtr(p);
        EXPECT_EQ(block->stackTrace, nullptr);
        EXPECT_EQ(partition.NewPtr(16), p) << "same slot again";
        EXPECT_NE(block->stackTrace, nullptr);
        EXPECT_EQ(heap.LiveDelta(), 0) << "exactly one record, the newer";
    }
    partition.DisposePtr(p);
    partition.DestroyPool(pool);
}

TEST(CallStack, PrintingWhileRecapturingIsSafe) {
    Partition partition;
    partition.EnableStackTraceInfo(true);
    KRMM::Handle h = partition.NewHandle(8);
    std::atomic<bool> done{false};
    std::thread printer([&] {
        char buf[2048];
        while (!done.load()) partition.GetBlockStackTrace(h, buf, sizeof buf);
    });
    for (int i = 0; i < 300; ++i) partition.CollectStackTrace(reinterpret_cast<MemoryBlock*>(h));
    done = true;
    printer.join();
    partition.DisposeHandle(h);
}

TEST(DemangleBtrace, DemanglesBetweenLastSpaceUnderscoreAndLastPlusElseKeepsTheLine) {
    char line[] = "2   demo   0x000055d0c1a2b3c4 _ZN3foo3barEv + 18";
    EXPECT_EQ(demangle_btrace(line), "2   demo   0x000055d0c1a2b3c4 foo::bar() + 18");
    char cppLine[] = "3   lib_a.so   0x0000000000001000 _ZN4KRMM9Partition8AllocateEm + 91";
    EXPECT_EQ(demangle_btrace(cppLine),
              "3   lib_a.so   0x0000000000001000 KRMM::Partition::Allocate(unsigned long) + 91");
    for (const char* text : {"7   ???   0x0000000000000000", "1   demo   0x1 _ZN3foo3barEv",
                             "1   a+b   0x1 _ZN3foo3barEv", "", "+ _"}) {
        std::string copy(text);
        EXPECT_EQ(demangle_btrace(copy.data()), text);
    }
    char refused[] = "4   demo   0x0000000000000001 _not_mangled + 5";
    EXPECT_EQ(demangle_btrace(refused), "4   demo   0x0000000000000001 _not_mangled + 5")
        << "a refused symbol keeps the whole line";
}

} // namespace
