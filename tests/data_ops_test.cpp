// Handle data operations: copies, appends, inserts and MemMem.
#include <random>

#include "krmm_test.h"

using namespace krmm_test;

namespace {

class DataOps : public ::testing::Test {
protected:
    void SetUp() override {
        part.RegisterMemoryCallbackFunction(&Hear, nullptr);
        g_heardCount = 0;
    }
    Handle Make(const std::string& bytes) {
        Handle h = nullptr;
        part.PtrToHand(bytes.data(), h, bytes.size());
        return h;
    }
    std::string Bytes(Handle h) { return std::string(*h, part.GetHandleSize(h)); }
    Partition part;
};

TEST_F(DataOps, EdgeCasesOfAppendInsertAndEmptyCopies) {
    Handle h = Make("\x01\x02\x03"), empty = nullptr;
    char src[] = "xyz";
    EXPECT_TRUE(part.HandAndHand(h, h) && Bytes(h) == "\x01\x02\x03\x01\x02\x03") << "one handle doubles";
    EXPECT_TRUE(part.InsertData(h, 0, src, 2) && part.InsertData(h, 8, src + 2, 1)) << "at 0, and at the size";
    EXPECT_FALSE(part.InsertData(h, 10, src, 1)) << "one past the size";
    EXPECT_TRUE(part.InsertData(h, 99, src, 0) && part.PtrAndHand(src, h, 0)) << "a count of 0";
    EXPECT_EQ(Bytes(h), "xy\x01\x02\x03\x01\x02\x03z");
    ASSERT_NE(part.PtrToHand(nullptr, empty, 0), nullptr);
    Handle copy = empty;
    EXPECT_TRUE(part.HandToHand(copy) && copy != empty && part.GetHandleSize(copy) == 0);
    // A copy has the data and a fresh header: not locked, no slack, no user data, not instantiated.
    std::tie(Hdr(h)->locked, Hdr(h)->oversize, Hdr(h)->userData, Hdr(h)->instantiated) = make_tuple(true, 64, h, true);
    const MemoryBlock* dup = Hdr(part.DuplicateHandle(h));
    EXPECT_EQ(make_tuple(Bytes(AsHandle(dup)), dup->capacity, dup->locked, dup->oversize, dup->userData,
                         dup->instantiated),
              make_tuple(Bytes(h), size_t{9}, false, 0u, static_cast<void*>(nullptr), false));
    EXPECT_TRUE(part.PtrToXHand(nullptr, h, 0) && part.GetHandleSize(h) == 0);
}

// Every growing operation with its heap request refused (failNth 1) or with a
// size that cannot exist (failNth 0): the failure result, nothing leaked, one
// notification, and the destination as it was.
TEST_F(DataOps, RefusedGrowthLeavesTheDestinationAsItWas) {
    const std::string content(100, 'k');
    Handle h = Make(content), other = Make(std::string(200, 'o'));
    char extra[300] = {};
    const struct { const char* name; size_t failNth; std::function<bool()> failed; size_t told; } cases[] = {
        {"PtrToXHand", 1, [&] { return !part.PtrToXHand(extra, h, 300); }, 300},
        {"PtrAndHand", 1, [&] { return !part.PtrAndHand(extra, h, 300); }, 400},
        {"InsertData", 1, [&] { return !part.InsertData(h, 50, extra, 300); }, 400},
        {"HandAndHand", 1, [&] { return !part.HandAndHand(other, h); }, 300},
        {"HandAndHand self", 1, [&] { return !part.HandAndHand(h, h); }, 200},
        {"HandToHand", 1, [&] { Handle v = h; return !part.HandToHand(v) && v == nullptr; }, 100},
        {"PtrToHand", 1, [&] { Handle v = h; return !part.PtrToHand(extra, v, 300) && v == nullptr; }, 300},
        {"PtrAndHand wraps", 0, [&] { return !part.PtrAndHand(extra, h, SIZE_MAX - 4); }, SIZE_MAX},
        {"InsertData wraps", 0, [&] { return !part.InsertData(h, 3, extra, SIZE_MAX); }, SIZE_MAX}};
    for (const auto& c : cases) {
        g_heardCount = 0;
        HeapRefusal heap(HeapPlan{c.failNth});
        EXPECT_TRUE(c.failed() && heap.LiveDelta() == 0) << c.name;
        EXPECT_TRUE(g_heardCount == 1 && g_heard[0].size == c.told) << c.name;
        EXPECT_TRUE(Bytes(h) == content && part.GetHandleMaxSize(h) == 100) << c.name;
    }
}

// Random mix of every operation against a byte model; blocks go inline,
// detached and back, and every byte is checked after every step.
TEST_F(DataOps, RandomModelKeepsDataAcrossMoves) {
    std::mt19937 rng(7031);
    auto randomBytes = [&](size_t n) {
        std::string s(n, '\0');
        for (char& c : s) c = static_cast<char>(rng());
        return s;
    };
    Handle h[2] = {Make(randomBytes(10)), Make(randomBytes(20))};
    std::string model[2] = {Bytes(h[0]), Bytes(h[1])};
    for (int step = 0; step < 600; ++step) {
        const unsigned i = rng() % 2, j = rng() % 2;
        std::string src = model[i].size() > 40000 ? "" : randomBytes(rng() % 4 == 0 ? rng() % 9000 : rng() % 300);
        const size_t offset = rng() % (model[i].size() + 1);
        const Handle old = h[i];
        switch (model[i].size() > 40000 ? 0 : rng() % 6) {
        case 0: ASSERT_TRUE(part.PtrToXHand(src.data(), h[i], src.size())); model[i] = src; break;
        case 1: ASSERT_TRUE(part.PtrAndHand(src.data(), h[i], src.size())); model[i] += src; break;
        case 2: ASSERT_TRUE(part.InsertData(h[i], offset, src.data(), src.size())); model[i].insert(offset, src); break;
        case 3: ASSERT_TRUE(part.HandAndHand(h[j], h[i])); model[i] += model[j]; break;
        case 4:
            ASSERT_TRUE(part.HandToHand(h[i]) && h[i] != old && Bytes(old) == model[i]) << "the original stays";
            part.DisposeHandle(old);
            break;
        default:  // bytes past the old size are undefined: write the model's
            ASSERT_TRUE(part.SetHandleSize(h[i], src.size()));
            model[i].resize(src.size());
            std::memcpy(*h[i], model[i].data(), src.size());
        }
        for (int k = 0; k < 2; ++k)
            ASSERT_TRUE(part.GetHandle(*h[k]) == h[k] && Bytes(h[k]) == model[k]) << "step " << step << " block " << k;
    }
    part.DisposeHandle(h[0]);
    part.DisposeHandle(h[1]);
    EXPECT_EQ(make_tuple(part.numBlocks, part.bytesAllocated), make_tuple(int64_t{0}, int64_t{0}));
}

TEST(MemMem, FindsTheLowestWholeMatchWithinTheBuffer) {
    const struct { const char* buf; unsigned long bufLen; const char* pat; unsigned long patLen; long at; } cases[] = {
        {"aaab", 4, "aab", 3, 1}, {"aaab", 4, "aaab", 4, 0}, {"aaab", 4, "aa", 2, 0}, {"aaab", 4, "b", 1, 3},
        {"aaab", 4, "", 0, -1}, {"aaab", 4, "aaabx", 5, -1}, {"aaab", 0, "a", 1, -1}, {"abcd", 3, "cd", 2, -1},
        {"aaab", 4, "ba", 2, -1}, {"xyzab", 5, "bcd", 3, -1}};  // first byte only in the last patLen - 1 bytes
    for (const auto& c : cases)
        EXPECT_EQ(Partition::MemMem(c.buf, c.bufLen, c.pat, c.patLen), c.at < 0 ? nullptr : c.buf + c.at) << c.pat;
}

} // namespace
