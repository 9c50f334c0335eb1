// leak_report_test.cpp - blocks grouped by allocation stack, as text and JSON.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/Diagnostics.h>
#include <KRMM/KRMM.h>

// External linkage, so that the test binary's dynamic symbol table names them.
namespace krmm_leak_probe {
[[gnu::noinline]] KRMM::Handle SmallAt(KRMM::Partition& partition) {
    KRMM::Handle h = partition.NewHandle(100);
    asm volatile("" : "+r"(h));
    return h;
}
[[gnu::noinline]] KRMM::Handle LargeAt(KRMM::Partition& partition) {
    KRMM::Handle h = partition.NewHandle(6000);
    asm volatile("" : "+r"(h));
    return h;
}
} // namespace krmm_leak_probe

namespace {

using KRMM::Partition;
namespace diag = KRMM::diag;

std::vector<const void*> Snapshot(const Partition& partition) {
    std::vector<const void*> blocks;
    blocks.resize(partition.GetAllBlocks(blocks));
    return blocks;
}

template <class Write>
std::string Written(Write write) {
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    EXPECT_TRUE(write(file));
    std::string text(static_cast<size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    EXPECT_EQ(std::fread(text.data(), 1, text.size(), file), text.size());
    std::fclose(file);
    return text;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Three small blocks from one call site, one large from another, one block
// from before the first snapshot, one released before the report.
struct Scene {
    Partition partition;
    KRMM::Handle old = nullptr;
    std::vector<KRMM::Handle> small;
    KRMM::Handle large = nullptr;
    std::vector<const void*> before;

    Scene() {
        partition.EnableStackTraceInfo(true);
        old = partition.NewHandle(50);
        before = Snapshot(partition);
        for (int i = 0; i < 4; ++i) small.push_back(krmm_leak_probe::SmallAt(partition));
        large = krmm_leak_probe::LargeAt(partition);
    }
};

TEST(LeakReport, GroupsNewBlocksByStackLargestFirst) {
    Scene scene;
    const std::vector<const void*> after = Snapshot(scene.partition);
    scene.partition.DisposeHandle(scene.small.back());  // stale entry in `after`: skipped, not read

    const diag::BlockGroups groups = diag::GroupNewBlocks(scene.partition, scene.before, after);
    EXPECT_EQ(groups.blockCount, 4u);
    EXPECT_EQ(groups.byteCount, 6300u);
    ASSERT_EQ(groups.groups.size(), 2u);
    EXPECT_EQ(groups.groups[0].blockCount, 1u);
    EXPECT_EQ(groups.groups[0].byteCount, 6000u);
    EXPECT_EQ(groups.groups[1].blockCount, 3u);
    EXPECT_EQ(groups.groups[1].byteCount, 300u);
    EXPECT_NE(groups.groups[0].frames, groups.groups[1].frames);
    EXPECT_EQ(groups.groups[0].frames[0], groups.groups[1].frames[0]) << "both allocated by Allocate";

    // Against "now", and with everything live.
    EXPECT_EQ(diag::GroupNewBlocks(scene.partition, scene.before).blockCount, 4u);
    EXPECT_EQ(diag::GroupLiveBlocks(scene.partition).blockCount, 5u);
    EXPECT_EQ(diag::GroupLiveBlocks(scene.partition).byteCount, 6350u);
}

TEST(LeakReport, TextPrintsEachStackOnceDemangled) {
    Scene scene;
    const std::string text =
        Written([&](std::FILE* f) { return diag::WriteLeakReport(f, diag::GroupNewBlocks(scene.partition, scene.before)); });

    EXPECT_EQ(text.rfind("KRMM leak report: 5 blocks, 6400 bytes in 2 stacks\n\n", 0), 0u) << text;
    const size_t large = text.find("\n1 block, 6000 bytes allocated at:\n");
    const size_t small = text.find("\n4 blocks, 400 bytes allocated at:\n");
    ASSERT_NE(large, std::string::npos) << text;
    ASSERT_NE(small, std::string::npos) << text;
    EXPECT_LT(large, small) << "largest first";
    EXPECT_EQ(Count(text, "krmm_leak_probe::SmallAt(KRMM::Partition&) + "), 1u) << text;
    EXPECT_EQ(Count(text, "krmm_leak_probe::LargeAt(KRMM::Partition&) + "), 1u) << text;
    EXPECT_EQ(Count(text, "\n    1   libKRMM"), 2u) << "slot numbers as GetBlockStackTrace prints them";
#if defined(__linux__)
    char probe[16384];
    scene.partition.GetBlockStackTrace(scene.large, probe, sizeof probe);
    const std::string firstLine = std::string(probe).substr(0, std::string(probe).find('\n'));
    EXPECT_NE(text.find("    " + firstLine + "\n"), std::string::npos) << "the printer's own line text";
#endif
}

TEST(LeakReport, BlocksWithoutRecordShareOneGroup) {
    Partition partition;
    const std::vector<const void*> before = Snapshot(partition);
    partition.NewHandle(10);
    partition.NewPtr(20);
    const diag::BlockGroups groups = diag::GroupNewBlocks(partition, before);
    ASSERT_EQ(groups.groups.size(), 1u);
    EXPECT_TRUE(groups.groups[0].frames.empty());
    const std::string text = Written([&](std::FILE* f) { return diag::WriteLeakReport(f, groups); });
    EXPECT_EQ(text,
              "KRMM leak report: 2 blocks, 30 bytes in 1 stack\n\n"
              "2 blocks, 30 bytes allocated at:\n"
              "    (no call stack recorded)\n");
    EXPECT_EQ(Written([&](std::FILE* f) { return diag::WriteLeakReportJson(f, groups); }),
              "{\"blocks\":2,\"bytes\":30,\"groups\":[{\"blocks\":2,\"bytes\":30,\"frames\":[]}]}\n");
}

TEST(LeakReport, JsonNamesEveryFrame) {
    Scene scene;
    const diag::BlockGroups groups = diag::GroupNewBlocks(scene.partition, scene.before);
    const std::string json = Written([&](std::FILE* f) { return diag::WriteLeakReportJson(f, groups); });

    EXPECT_EQ(json.rfind("{\"blocks\":5,\"bytes\":6400,\"groups\":[{\"blocks\":1,\"bytes\":6000,\"frames\":[", 0), 0u)
        << json;
    EXPECT_EQ(Count(json, "{\"address\":\"0x"), groups.groups[0].frames.size() + groups.groups[1].frames.size());
    EXPECT_EQ(Count(json, "\"function\":\"KRMM::Partition::Allocate(unsigned long)\",\"offset\":"), 2u);
    EXPECT_EQ(Count(json, "\"function\":\"krmm_leak_probe::SmallAt(KRMM::Partition&)\""), 1u);
    EXPECT_EQ(Count(json, "{"), Count(json, "}"));
    EXPECT_EQ(Count(json, "["), Count(json, "]"));
#if defined(KRMM_TEST_HAVE_LIBDW)
    EXPECT_NE(json.find("leak_report_test.cpp\",\"line\":"), std::string::npos);
#endif
}

} // namespace
