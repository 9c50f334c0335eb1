// profile_export_test.cpp - what block groups are exported as: the leak
// report (text and JSON), folded stacks, and pprof profiles, decoded back with
// a small protobuf reader.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>

#if defined(KRMM_TEST_HAVE_ZLIB)
#include <zlib.h>
#endif

#include <KRMM/Diagnostics.h>

#include "krmm_test.h"

// External linkage, so that the test binary's dynamic symbol table names them.
namespace krmm_profile_probe {
[[gnu::noinline]] KRMM::Ptr Leaf(KRMM::Partition& partition, size_t size) {
    KRMM::Ptr p = partition.NewPtr(size);
    asm volatile("" : "+r"(p));  // not a tail call: this frame stays on the stack
    return p;
}
// A count the compiler cannot see, so that the loop is one call site.
template <int Times, size_t Size>
[[gnu::noinline]] KRMM::Ptr Via(KRMM::Partition& partition) {
    KRMM::Ptr p = nullptr;
    volatile int count = Times;
    for (int i = 0; i < count; ++i) p = Leaf(partition, Size);
    return p;
}
} // namespace krmm_profile_probe

namespace {

using namespace krmm_test;
namespace diag = KRMM::diag;

const std::string kLeaf = "krmm_profile_probe::Leaf(KRMM::Partition&, unsigned long)";
const std::string kVia1000 = "char* krmm_profile_probe::Via<1, 1000ul>(KRMM::Partition&)";
const std::string kVia400 = "char* krmm_profile_probe::Via<4, 100ul>(KRMM::Partition&)";

// Between two snapshots: 1000 bytes in one block and 300 in three (a fourth
// released again, so the second snapshot is stale) from two call sites, and 7
// bytes without a recorded stack; one block from before the first snapshot.
diag::BlockGroups Populate(Partition& partition) {
    partition.EnableStackTraceInfo(true);
    partition.NewPtr(50);
    std::vector<const void*> before, after;
    before.resize(partition.GetAllBlocks(before));
    KRMM::Ptr released = krmm_profile_probe::Via<4, 100>(partition);
    EXPECT_NE((krmm_profile_probe::Via<1, 1000>(partition)), nullptr);
    partition.EnableStackTraceInfo(false);
    partition.NewPtr(7);
    after.resize(partition.GetAllBlocks(after));
    partition.DisposePtr(released);  // its entry in `after` is stale: skipped, not read
    return diag::GroupNewBlocks(partition, before, after);
}
size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// What `write` writes, read back through zlib where the library has it
// (zlib inflates gzip and passes plain data through), and whether it was gzipped.
template <class Write>
std::pair<std::string, bool> Written(Write write) {
    std::FILE* file = std::tmpfile();
    EXPECT_TRUE(write(file));
    std::string bytes(static_cast<size_t>(std::ftell(file)) * 20 + 4096, '\0');
    std::rewind(file);
#if defined(KRMM_TEST_HAVE_ZLIB)
    gzFile gz = gzdopen(dup(fileno(file)), "rb");
    bytes.resize(static_cast<size_t>(std::max(gzread(gz, bytes.data(), static_cast<unsigned>(bytes.size())), 0)));
    const bool gzipped = gzdirect(gz) == 0;
    gzclose(gz);
#else
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file));
    const bool gzipped = false;
#endif
    std::fclose(file);
    return {bytes, gzipped};
}

// ------------------------------------------------- a small protobuf reader

uint64_t Varint(const std::string& bytes, size_t& at) {
    uint64_t value = 0;
    for (int shift = 0; at < bytes.size() && shift < 64; shift += 7) {
        value |= uint64_t{static_cast<uint8_t>(bytes[at]) & 0x7Fu} << shift;
        if ((bytes[at++] & 0x80) == 0) return value;
    }
    ADD_FAILURE() << "truncated varint";
    return value;
}
std::vector<uint64_t> Varints(const std::string& bytes) {
    std::vector<uint64_t> values;
    for (size_t at = 0; at < bytes.size();) values.push_back(Varint(bytes, at));
    return values;
}
// The fields numbered `field` of a message, in order, each as its bytes: a
// varint's own (wire type 0) or a length-delimited field's content (wire
// type 2, also packed varints); the profile uses no other wire type.
std::vector<std::string> Fields(const std::string& message, uint64_t field) {
    std::vector<std::string> found;
    for (size_t at = 0; at < message.size();) {
        const uint64_t key = Varint(message, at), start = at, value = Varint(message, at), type = key & 7;
        if ((type != 0 && type != 2) || (type == 2 && value > message.size() - at)) {
            ADD_FAILURE() << "wire type " << type << " or a length past the end";
            break;
        }
        const size_t begin = type == 2 ? at : start, end = type == 2 ? at + value : at;
        if (key >> 3 == field) found.push_back(message.substr(begin, end - begin));
        at = end;
    }
    return found;
}
uint64_t Number(const std::string& message, uint64_t field) {
    const std::vector<std::string> found = Fields(message, field);
    return found.empty() ? 0 : Varints(found[0]).at(0);
}

TEST(LeakReport, GroupsAreWrittenLargestFirstAsTextAndJson) {
    Partition partition;
    const diag::BlockGroups groups = Populate(partition);
    ASSERT_EQ(groups.groups.size(), 3u);
    EXPECT_EQ(make_tuple(groups.blockCount, groups.byteCount, groups.groups[0].byteCount, groups.groups[1].blockCount),
              make_tuple(size_t{5}, size_t{1307}, size_t{1000}, size_t{3}));
    EXPECT_EQ(diag::GroupLiveBlocks(partition).blockCount, 6u);

    const std::string text = Written([&](std::FILE* f) { return diag::WriteLeakReport(f, groups); }).first;
    EXPECT_TRUE(text.starts_with("KRMM leak report: 5 blocks, 1307 bytes in 3 stacks\n\n"
                                 "1 block, 1000 bytes allocated at:\n    1   libKRMM")) << text;
    EXPECT_NE(text.find("\n\n3 blocks, 300 bytes allocated at:\n    1   libKRMM"), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with("\n\n1 block, 7 bytes allocated at:\n    (no call stack recorded)\n")) << text;
    EXPECT_EQ(Count(text, kLeaf + " + "), 2u) << "each stack printed once, demangled";

    const std::string json = Written([&](std::FILE* f) { return diag::WriteLeakReportJson(f, groups); }).first;
    EXPECT_TRUE(json.starts_with("{\"blocks\":5,\"bytes\":1307,\"groups\":[{\"blocks\":1,\"bytes\":1000,\"frames\":[{"))
        << json;
    EXPECT_TRUE(json.ends_with("]},{\"blocks\":1,\"bytes\":7,\"frames\":[]}]}\n")) << json;
    EXPECT_EQ(Count(json, "{\"address\":\"0x"), groups.groups[0].frames.size() + groups.groups[1].frames.size());
    EXPECT_EQ(Count(json, "\"function\":\"" + kLeaf + "\",\"offset\":"), 2u) << json;
    EXPECT_EQ(make_tuple(Count(json, "{"), Count(json, "[")), make_tuple(Count(json, "}"), Count(json, "]")));
}

TEST(ProfileExport, FoldedStacksAndPprofProfileDescribeTheGroups) {
    Partition partition;
    const diag::BlockGroups groups = Populate(partition);

    // Folded: a line per stack, largest first, each outermost frame first, then the bytes.
    const auto [folded, foldedGzipped] = Written([&](std::FILE* f) { return diag::WriteFoldedStacks(f, groups); });
    const std::string allocate = "KRMM::Partition::Allocate(unsigned long) ";
    const size_t first = folded.find(kVia1000 + ";" + kLeaf + ";"), second = folded.find(kVia400 + ";" + kLeaf + ";");
    EXPECT_TRUE(first < second && folded.find(allocate + "1000\n", first) < second &&
                folded.ends_with(allocate + "300\n[no stack recorded] 7\n") && std::ranges::count(folded, '\n') == 3)
        << folded;
    EXPECT_FALSE(foldedGzipped);

    // pprof: the sample types, and per sample its values and the names of its frames, innermost first.
    const auto [profile, gzipped] = Written([&](std::FILE* f) { return diag::WritePprofProfile(f, groups); });
    EXPECT_EQ(gzipped, diag::PprofProfilesAreCompressed()) << "gzipped exactly where the library has zlib";
    const std::vector<std::string> strings = Fields(profile, 6);
    std::vector<std::string> types;
    for (const std::string& type : Fields(profile, 1))
        types.push_back(strings.at(Number(type, 1)) + "/" + strings.at(Number(type, 2)));
    EXPECT_EQ(types, (std::vector<std::string>{"inuse_objects/count", "inuse_space/bytes"}));
    EXPECT_EQ(strings.at(Number(profile, 14)), "inuse_space") << "the default sample type";
    std::map<uint64_t, uint64_t> functionAt;  // location id -> the function of its first line
    std::map<uint64_t, std::string> names;    // function id -> name
    for (const std::string& location : Fields(profile, 4))
        functionAt[Number(location, 1)] = Number(Fields(location, 4).at(0), 1);
    for (const std::string& function : Fields(profile, 5)) names[Number(function, 1)] = strings.at(Number(function, 2));
    std::vector<std::vector<uint64_t>> values, ids;
    std::vector<std::vector<std::string>> stacks;
    for (const std::string& sample : Fields(profile, 2)) {
        values.push_back(Varints(Fields(sample, 2).at(0)));
        ids.push_back(Varints(Fields(sample, 1).at(0)));
        stacks.emplace_back();
        for (uint64_t id : ids.back()) stacks.back().push_back(names.at(functionAt.at(id)));
    }
    EXPECT_EQ(values, (std::vector<std::vector<uint64_t>>{{1, 1000}, {3, 300}, {1, 7}}));
    ASSERT_TRUE(stacks.size() == 3 && stacks[0].size() >= 4);
    const size_t leaf = stacks[0][1] == "KRMM::Partition::NewPtr(unsigned long)" ? 2 : 1;  // or a tail call
    EXPECT_EQ(make_tuple(stacks[0][0], stacks[0][leaf], stacks[0][leaf + 1]),
              make_tuple(allocate.substr(0, allocate.size() - 1), kLeaf, kVia1000));
    EXPECT_EQ(ids[0][0], ids[1][0]) << "one location per address";
    EXPECT_EQ(stacks[2], std::vector<std::string>{"[no stack recorded]"});
}

} // namespace
