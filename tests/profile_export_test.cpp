// profile_export_test.cpp - folded stacks and pprof profiles of live blocks.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#if defined(KRMM_TEST_HAVE_ZLIB)
#include <zlib.h>
#endif

#include <gtest/gtest.h>

#include <KRMM/Diagnostics.h>
#include <KRMM/KRMM.h>

// External linkage, so that the test binary's dynamic symbol table names them.
namespace krmm_profile_probe {
const unsigned kLeafCallLine = __LINE__ + 2;
[[gnu::noinline]] KRMM::Ptr Leaf(KRMM::Partition& partition, size_t size) {
    KRMM::Ptr p = partition.NewPtr(size);
    asm volatile("" : "+r"(p));
    return p;
}
[[gnu::noinline]] KRMM::Ptr ViaParser(KRMM::Partition& partition, size_t size) {
    KRMM::Ptr p = Leaf(partition, size);
    asm volatile("" : "+r"(p));
    return p;
}
[[gnu::noinline]] KRMM::Ptr ViaCache(KRMM::Partition& partition, size_t size) {
    KRMM::Ptr p = Leaf(partition, size);
    asm volatile("" : "+r"(p));
    return p;
}
// A count the compiler cannot see, so that every block of a loop comes from
// one call site (a loop of known length may be unrolled into several).
[[gnu::noinline]] void Repeat(KRMM::Partition& partition, KRMM::Ptr (*via)(KRMM::Partition&, size_t),
                              int times, size_t size) {
    volatile int count = times;
    for (int i = 0; i < count; ++i) via(partition, size);
}
} // namespace krmm_profile_probe

namespace {

using KRMM::Partition;
namespace diag = KRMM::diag;
namespace probe = krmm_profile_probe;

template <class Write>
std::string Written(Write write) {
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    EXPECT_TRUE(write(file));
    std::string bytes(static_cast<size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
    return bytes;
}

// ------------------------------------------------- a small protobuf reader

struct Field {
    uint32_t number;
    uint64_t value;     // varint fields
    std::string bytes;  // length-delimited fields
};

// Reads one varint at `*at`; flags a truncated one.
uint64_t Varint(const std::string& bytes, size_t* at) {
    uint64_t value = 0;
    for (int shift = 0; *at < bytes.size() && shift < 64; shift += 7) {
        const auto byte = static_cast<uint8_t>(bytes[(*at)++]);
        value |= uint64_t{byte & 0x7Fu} << shift;
        if ((byte & 0x80) == 0) return value;
    }
    ADD_FAILURE() << "truncated varint";
    return value;
}

std::vector<Field> Fields(const std::string& message) {
    std::vector<Field> fields;
    for (size_t at = 0; at < message.size();) {
        const uint64_t key = Varint(message, &at);
        Field field{static_cast<uint32_t>(key >> 3), 0, {}};
        if ((key & 7) == 0) {
            field.value = Varint(message, &at);
        } else if ((key & 7) == 2) {
            const uint64_t length = Varint(message, &at);
            if (length > message.size() - at) {
                ADD_FAILURE() << "length past the end";
                break;
            }
            field.bytes = message.substr(at, length);
            at += length;
        } else {
            ADD_FAILURE() << "unexpected wire type " << (key & 7);
            break;
        }
        fields.push_back(std::move(field));
    }
    return fields;
}

std::vector<uint64_t> Packed(const std::string& bytes) {
    std::vector<uint64_t> values;
    for (size_t at = 0; at < bytes.size();) values.push_back(Varint(bytes, &at));
    return values;
}

uint64_t Get(const std::string& message, uint32_t number) {
    for (const Field& field : Fields(message))
        if (field.number == number) return field.value;
    return 0;
}

struct Profile {
    std::vector<std::string> strings;
    std::vector<std::pair<std::string, std::string>> sampleTypes;
    std::vector<std::pair<std::vector<uint64_t>, std::vector<uint64_t>>> samples;  // locations, values
    std::map<uint64_t, std::pair<uint64_t, uint64_t>> locationLine;                  // id -> function, line
    std::map<uint64_t, std::pair<std::string, std::string>> functions;               // id -> name, file
    std::string defaultSampleType;

    // Function names of a sample, innermost first.
    std::vector<std::string> Names(size_t sample) const {
        std::vector<std::string> names;
        for (uint64_t id : samples[sample].first) names.push_back(functions.at(locationLine.at(id).first).first);
        return names;
    }
};

std::string Gunzip(const std::string& bytes) {
#if defined(KRMM_TEST_HAVE_ZLIB)
    EXPECT_TRUE(diag::PprofProfilesAreCompressed());
    EXPECT_EQ(bytes.substr(0, 2), "\x1f\x8b") << "gzip magic";
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, 15 + 16), Z_OK);
    std::string out(bytes.size() * 20 + 4096, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return out;
#else
    EXPECT_FALSE(diag::PprofProfilesAreCompressed());
    return bytes;
#endif
}

Profile Decode(const std::string& file) {
    Profile profile;
    const std::vector<Field> top = Fields(Gunzip(file));
    for (const Field& field : top)
        if (field.number == 6) profile.strings.push_back(field.bytes);
    auto text = [&](uint64_t index) { return index < profile.strings.size() ? profile.strings[index] : "?"; };
    for (const Field& field : top) {
        if (field.number == 1) {
            profile.sampleTypes.emplace_back(text(Get(field.bytes, 1)), text(Get(field.bytes, 2)));
        } else if (field.number == 2) {
            std::vector<uint64_t> locations, values;
            for (const Field& part : Fields(field.bytes)) {
                if (part.number == 1) locations = Packed(part.bytes);
                if (part.number == 2) values = Packed(part.bytes);
            }
            profile.samples.emplace_back(locations, values);
        } else if (field.number == 4) {
            for (const Field& part : Fields(field.bytes))
                if (part.number == 4)
                    profile.locationLine[Get(field.bytes, 1)] = {Get(part.bytes, 1), Get(part.bytes, 2)};
        } else if (field.number == 5) {
            profile.functions[Get(field.bytes, 1)] = {text(Get(field.bytes, 2)), text(Get(field.bytes, 4))};
        } else if (field.number == 14) {
            profile.defaultSampleType = text(field.value);
        }
    }
    EXPECT_EQ(profile.strings.at(0), "") << "string 0 is empty";
    return profile;
}

// ------------------------------------------------- tests

TEST(ProfileExport, FoldedStacksRunOutermostFirst) {
    Partition partition;
    partition.EnableStackTraceInfo(true);
    probe::Repeat(partition, probe::ViaParser, 3, 100);
    probe::ViaCache(partition, 1000);
    const std::string folded =
        Written([&](std::FILE* f) { return diag::WriteFoldedStacks(f, diag::GroupLiveBlocks(partition)); });

    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = folded.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(folded.substr(start, end - start));
    ASSERT_EQ(lines.size(), 2u) << "one line per distinct stack:\n" << folded;
    // Outermost first, the allocating operation last, then the bytes.
    const std::string leafThenAllocate = "krmm_profile_probe::Leaf(KRMM::Partition&, unsigned long);";
    const std::string tail = "KRMM::Partition::Allocate(unsigned long) ";
    for (const auto& [line, via, bytes] :
         {std::tuple{lines[0], "ViaCache", "1000"}, std::tuple{lines[1], "ViaParser", "300"}}) {
        const size_t caller = line.find(std::string("krmm_profile_probe::") + via + "(KRMM::Partition&, unsigned long);" +
                                        leafThenAllocate);
        EXPECT_NE(caller, std::string::npos) << line;
        EXPECT_EQ(line.substr(line.size() - tail.size() - std::strlen(bytes)), tail + bytes) << line;
    }
}

TEST(ProfileExport, PprofProfileDecodesToTheGroups) {
    Partition partition;
    partition.EnableStackTraceInfo(true);
    probe::Repeat(partition, probe::ViaParser, 3, 100);
    probe::ViaCache(partition, 1000);
    partition.EnableStackTraceInfo(false);
    partition.NewPtr(7);  // no record: its own sample
    const diag::BlockGroups groups = diag::GroupLiveBlocks(partition);
    const Profile profile = Decode(Written([&](std::FILE* f) { return diag::WritePprofProfile(f, groups); }));

    ASSERT_EQ(profile.sampleTypes.size(), 2u);
    EXPECT_EQ(profile.sampleTypes[0], std::make_pair(std::string("inuse_objects"), std::string("count")));
    EXPECT_EQ(profile.sampleTypes[1], std::make_pair(std::string("inuse_space"), std::string("bytes")));
    EXPECT_EQ(profile.defaultSampleType, "inuse_space");
    ASSERT_EQ(profile.samples.size(), 3u);

    EXPECT_EQ(profile.samples[0].second, (std::vector<uint64_t>{1, 1000}));
    EXPECT_EQ(profile.samples[1].second, (std::vector<uint64_t>{3, 300}));
    EXPECT_EQ(profile.samples[2].second, (std::vector<uint64_t>{1, 7}));
    const std::vector<std::string> cache = profile.Names(0);
    ASSERT_GE(cache.size(), 4u);
    // NewPtr may tail-call Allocate, leaving no frame of its own.
    const size_t leaf = cache[1] == "KRMM::Partition::NewPtr(unsigned long)" ? 2 : 1;
    EXPECT_EQ(cache[0], "KRMM::Partition::Allocate(unsigned long)") << "innermost first";
    EXPECT_EQ(cache[leaf], "krmm_profile_probe::Leaf(KRMM::Partition&, unsigned long)");
    EXPECT_EQ(cache[leaf + 1], "krmm_profile_probe::ViaCache(KRMM::Partition&, unsigned long)");
    EXPECT_EQ(profile.Names(1)[0], cache[0]);
    EXPECT_EQ(profile.samples[0].first[0], profile.samples[1].first[0]) << "one location per address";
    EXPECT_EQ(profile.Names(2), std::vector<std::string>{"[no stack recorded]"});

#if defined(KRMM_TEST_HAVE_LIBDW)
    const auto& [leafFunction, leafLine] = profile.locationLine.at(profile.samples[0].first[leaf]);
    const std::string& leafFile = profile.functions.at(leafFunction).second;
    EXPECT_EQ(leafFile.substr(leafFile.rfind('/') + 1), "profile_export_test.cpp");
    EXPECT_EQ(leafLine, probe::kLeafCallLine) << "the NewPtr call in Leaf";
#endif
}

TEST(ProfileExport, DifferenceHoldsOnlyNewBlocks) {
    Partition partition;
    partition.EnableStackTraceInfo(true);
    probe::ViaParser(partition, 64);
    std::vector<const void*> before;
    before.resize(partition.GetAllBlocks(before));
    probe::Repeat(partition, probe::ViaCache, 2, 32);
    const Profile profile = Decode(
        Written([&](std::FILE* f) { return diag::WritePprofProfile(f, diag::GroupNewBlocks(partition, before)); }));
    ASSERT_EQ(profile.samples.size(), 1u);
    EXPECT_EQ(profile.samples[0].second, (std::vector<uint64_t>{2, 64}));
    const std::vector<std::string> names = profile.Names(0);
    EXPECT_NE(std::find(names.begin(), names.end(), "krmm_profile_probe::ViaCache(KRMM::Partition&, unsigned long)"),
              names.end());
}

} // namespace
