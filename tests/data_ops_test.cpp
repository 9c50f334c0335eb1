// Handle data operations: copies, appends, inserts and MemMem.
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/KRMM.h>

#include "assert_log.h"
#include "heap_refusal.h"

using krmm_test::AssertLog;
using krmm_test::HeapRefusal;

namespace {

const char kHandToHandRefusal[] =
    "Partition::HandToHand - called for instantiated object node. Evaluate/remove the call to this.";
const char kHandAndHandRefusal[] =
    "Partition::HandAndHand - called for instantiated object node. Evaluate/remove the call to this.";

size_t g_notified = 0;
size_t g_lastSize = 0;
void CountingCallback(int, size_t size, void*) {
    ++g_notified;
    g_lastSize = size;
}

class DataOps : public ::testing::Test {
protected:
    void SetUp() override {
        g_notified = 0;
        part->RegisterMemoryCallbackFunction(&CountingCallback, nullptr);
    }
    KRMM::Handle Make(const std::string& bytes) {
        KRMM::Handle h = nullptr;
        part->PtrToHand(bytes.data(), h, bytes.size());
        return h;
    }
    std::string Bytes(KRMM::Handle h) { return std::string(*h, part->GetHandleSize(h)); }
    std::unique_ptr<KRMM::Partition> part = std::make_unique<KRMM::Partition>();
};

TEST_F(DataOps, HandToHandReplacesTheVariableAndLeavesTheOriginal) {
    KRMM::Handle original = Make("abcdef");
    KRMM::Handle var = original;
    ASSERT_TRUE(part->HandToHand(var));
    ASSERT_NE(var, original);
    EXPECT_EQ(Bytes(var), "abcdef");
    EXPECT_EQ(Bytes(original), "abcdef");

    KRMM::Handle empty = Make("");
    KRMM::Handle emptyCopy = empty;
    ASSERT_TRUE(part->HandToHand(emptyCopy));
    EXPECT_NE(emptyCopy, empty);
    EXPECT_EQ(part->GetHandleSize(emptyCopy), 0u);

    KRMM::Handle refused = original;
    {
        auto heap = HeapRefusal::FailNth(1);
        EXPECT_FALSE(part->HandToHand(refused));
    }
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(g_notified, 1u);
    EXPECT_EQ(Bytes(original), "abcdef");

    part->SetInstantiatedState(*original, true);
    KRMM::Handle node = original;
    {
        AssertLog log;
        EXPECT_FALSE(part->HandToHand(node));
        EXPECT_EQ(log.Failures(), std::vector<std::string>{kHandToHandRefusal});
    }
    EXPECT_EQ(node, original);
    KRMM::Handle null = nullptr;
    EXPECT_FALSE(part->HandToHand(null));
    EXPECT_EQ(null, nullptr);
    for (KRMM::Handle h : {original, var, empty, emptyCopy}) part->DisposeHandle(h);
}

TEST_F(DataOps, PtrToHandAndPtrToXHandCopyExactly) {
    KRMM::Handle h = reinterpret_cast<KRMM::Handle>(1);
    EXPECT_EQ(part->PtrToHand(nullptr, h, 0), h);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(part->GetHandleSize(h), 0u);

    std::string big(7000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13);
    EXPECT_TRUE(part->PtrToXHand(big.data(), h, big.size()));  // moves
    EXPECT_EQ(Bytes(h), big);
    EXPECT_TRUE(part->PtrToXHand("xy", h, 2));
    EXPECT_EQ(Bytes(h), "xy");
    EXPECT_TRUE(part->PtrToXHand(nullptr, h, 0));
    EXPECT_EQ(part->GetHandleSize(h), 0u);
    EXPECT_FALSE(part->PtrToXHand("xy", nullptr, 2));

    KRMM::Handle refused = h;
    {
        auto heap = HeapRefusal::FailNth(1);
        EXPECT_EQ(part->PtrToHand("abc", refused, 3), nullptr);
    }
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(g_notified, 1u);
    part->DisposeHandle(h);
}

TEST_F(DataOps, HandAndHandAppendsAndDoublesOneHandle) {
    KRMM::Handle h = Make("\x01\x02\x03");
    ASSERT_TRUE(part->HandAndHand(h, h));
    EXPECT_EQ(Bytes(h), std::string("\x01\x02\x03\x01\x02\x03"));

    // Doubling a large detached block moves it; the source half is re-read.
    std::string big(6000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 1);
    KRMM::Handle b = Make(big);
    char* before = *b;
    ASSERT_TRUE(part->HandAndHand(b, b));
    EXPECT_NE(*b, before);
    EXPECT_EQ(Bytes(b), big + big);

    KRMM::Handle tail = Make("tail");
    ASSERT_TRUE(part->HandAndHand(tail, h));
    EXPECT_EQ(Bytes(h), std::string("\x01\x02\x03\x01\x02\x03tail"));
    EXPECT_EQ(Bytes(tail), "tail");

    EXPECT_FALSE(part->HandAndHand(nullptr, h));
    EXPECT_FALSE(part->HandAndHand(h, nullptr));
    EXPECT_EQ(part->GetHandleSize(h), 10u);
    for (KRMM::Handle x : {h, b, tail}) part->DisposeHandle(x);
}

TEST_F(DataOps, HandAndHandRefusesAnInstantiatedSourceOrDestination) {
    KRMM::Handle a = Make("aa");
    KRMM::Handle b = Make("bbb");
    for (KRMM::Handle node : {a, b}) {
        part->SetInstantiatedState(*node, true);
        AssertLog log;
        EXPECT_FALSE(part->HandAndHand(a, b));
        EXPECT_EQ(log.Failures(), std::vector<std::string>{kHandAndHandRefusal});
        EXPECT_EQ(Bytes(b), "bbb");
        part->SetInstantiatedState(*node, false);
    }
    // The other appending operations don't look at the mark.
    part->SetInstantiatedState(*b, true);
    EXPECT_TRUE(part->PtrAndHand("c", b, 1));
    EXPECT_TRUE(part->InsertData(b, 0, const_cast<char*>("d"), 1));
    EXPECT_TRUE(part->PtrToXHand("e", b, 1));
    part->SetInstantiatedState(*b, false);
    part->DisposeHandle(a);
    part->DisposeHandle(b);
}

TEST_F(DataOps, InsertDataShiftsTheTailAndChecksTheOffset) {
    KRMM::Handle h = Make("AAAA");
    char src[] = "xyz";
    EXPECT_TRUE(part->InsertData(h, 0, src, 3));
    EXPECT_EQ(Bytes(h), "xyzAAAA");
    EXPECT_TRUE(part->InsertData(h, 5, src, 1));
    EXPECT_EQ(Bytes(h), "xyzAAxAA");
    EXPECT_TRUE(part->InsertData(h, 8, src, 2));  // offset == size appends
    EXPECT_EQ(Bytes(h), "xyzAAxAAxy");
    EXPECT_FALSE(part->InsertData(h, 11, src, 2));
    EXPECT_EQ(Bytes(h), "xyzAAxAAxy");
    EXPECT_TRUE(part->InsertData(nullptr, 99, nullptr, 0));
    EXPECT_TRUE(part->InsertData(h, 99, src, 0));
    EXPECT_FALSE(part->InsertData(nullptr, 0, src, 1));

    EXPECT_TRUE(part->PtrAndHand(nullptr, h, 0));
    EXPECT_EQ(part->GetHandleSize(h), 10u);
    EXPECT_FALSE(part->PtrAndHand(src, nullptr, 1));
    part->DisposeHandle(h);
}

// Each growing operation on a block that must move, with the move refused:
// false, the destination as it was, one notification with the new size.
TEST_F(DataOps, RefusedGrowthLeavesTheDestinationAsItWas) {
    const std::string content(100, 'k');
    KRMM::Handle h = Make(content);
    KRMM::Handle other = Make(std::string(200, 'o'));
    std::string extra(300, 'e');
    struct Case {
        const char* name;
        std::function<bool()> run;
        size_t newSize;
    } cases[] = {
        {"PtrToXHand", [&] { return part->PtrToXHand(extra.data(), h, 300); }, 300},
        {"PtrAndHand", [&] { return part->PtrAndHand(extra.data(), h, 300); }, 400},
        {"InsertData", [&] { return part->InsertData(h, 50, extra.data(), 300); }, 400},
        {"HandAndHand", [&] { return part->HandAndHand(other, h); }, 300},
        {"HandAndHandSelf", [&] { return part->HandAndHand(h, h); }, 200},
    };
    for (auto& c : cases) {
        g_notified = 0;
        {
            auto heap = HeapRefusal::FailNth(1);
            EXPECT_FALSE(c.run()) << c.name;
            EXPECT_EQ(heap.LiveDelta(), 0) << c.name;
        }
        EXPECT_EQ(g_notified, 1u) << c.name;
        EXPECT_EQ(g_lastSize, c.newSize) << c.name;
        EXPECT_EQ(Bytes(h), content) << c.name;
        EXPECT_EQ(part->GetHandleMaxSize(h), 100u) << c.name;
    }
    part->DisposeHandle(h);
    part->DisposeHandle(other);
}

TEST_F(DataOps, SizesThatWouldWrapFailWithoutTouchingAnything) {
    KRMM::Handle h = Make("0123456789");
    const int64_t bytes = part->bytesAllocated;
    char src = 'z';
    {
        auto heap = HeapRefusal::RecordOnly();
        EXPECT_FALSE(part->PtrAndHand(&src, h, SIZE_MAX - 4));
        EXPECT_FALSE(part->InsertData(h, 3, &src, SIZE_MAX));
        EXPECT_EQ(heap.Requests(), 0u);
    }
    EXPECT_EQ(g_notified, 2u);
    EXPECT_EQ(g_lastSize, SIZE_MAX);
    EXPECT_EQ(part->bytesAllocated, bytes);
    EXPECT_EQ(Bytes(h), "0123456789");
    EXPECT_EQ(part->GetHandleMaxSize(h), 10u);
    part->DisposeHandle(h);
}

// Random mix of every resizing operation against a byte model; blocks go
// inline, detached and back, and every byte is checked after every step.
TEST_F(DataOps, EveryOperationKeepsDataAcrossMoves) {
    std::mt19937 rng(7031);
    auto randomBytes = [&](size_t n) {
        std::string s(n, '\0');
        for (char& c : s) c = static_cast<char>(rng());
        return s;
    };
    auto randomSize = [&] { return rng() % 4 == 0 ? size_t{rng() % 9000} : size_t{rng() % 300}; };
    KRMM::Handle h[2] = {Make(randomBytes(10)), Make(randomBytes(20))};
    std::string model[2] = {Bytes(h[0]), Bytes(h[1])};
    for (int step = 0; step < 600; ++step) {
        const int i = static_cast<int>(rng() % 2);
        if (model[i].size() > 40000) {
            ASSERT_TRUE(part->PtrToXHand("r", h[i], 1));
            model[i] = "r";
        }
        const std::string src = randomBytes(randomSize());
        switch (rng() % 6) {
        case 0:
            ASSERT_TRUE(part->PtrToXHand(src.data(), h[i], src.size()));
            model[i] = src;
            break;
        case 1:
            ASSERT_TRUE(part->PtrAndHand(src.data(), h[i], src.size()));
            model[i] += src;
            break;
        case 2: {
            const size_t offset = rng() % (model[i].size() + 1);
            ASSERT_TRUE(part->InsertData(h[i], offset, const_cast<char*>(src.data()), src.size()));
            model[i].insert(offset, src);
            break;
        }
        case 3: {
            const int j = static_cast<int>(rng() % 2);
            ASSERT_TRUE(part->HandAndHand(h[j], h[i]));
            model[i] += model[j];
            break;
        }
        case 4: {
            KRMM::Handle old = h[i];
            ASSERT_TRUE(part->HandToHand(h[i]));
            ASSERT_EQ(Bytes(old), model[i]);
            part->DisposeHandle(old);
            break;
        }
        default: {
            const size_t n = randomSize();
            ASSERT_TRUE(part->SetHandleSize(h[i], n));
            model[i].resize(n);
            std::memcpy(*h[i], model[i].data(), n);  // bytes past the old size are undefined
            break;
        }
        }
        for (int k = 0; k < 2; ++k) {
            ASSERT_EQ(part->GetHandle(*h[k]), h[k]) << "step " << step;
            ASSERT_EQ(Bytes(h[k]), model[k]) << "step " << step;
        }
    }
    part->DisposeHandle(h[0]);
    part->DisposeHandle(h[1]);
    EXPECT_EQ(part->numBlocks, 0);
    EXPECT_EQ(part->bytesAllocated, 0);
}

TEST(MemMem, FindsTheLowestMatchWithinBounds) {
    const char buf[] = "aaab";
    EXPECT_EQ(KRMM::Partition::MemMem(buf, 4, "aab", 3), buf + 1);
    EXPECT_EQ(KRMM::Partition::MemMem(buf, 4, "aaab", 4), buf);
    EXPECT_EQ(KRMM::Partition::MemMem(buf, 4, "aa", 2), buf);
    EXPECT_EQ(KRMM::Partition::MemMem(buf, 4, "b", 1), buf + 3);
    EXPECT_EQ(KRMM::Partition::MemMem(buf, 4, "", 0), nullptr);
    EXPECT_EQ(KRMM::Partition::MemMem(buf, 4, "aaabx", 5), nullptr);
    EXPECT_EQ(KRMM::Partition::MemMem(buf, 0, "a", 1), nullptr);
    // 'b' occurs only in the last patLen - 1 bytes: no whole match fits.
    EXPECT_EQ(KRMM::Partition::MemMem(buf, 4, "ba", 2), nullptr);
    EXPECT_EQ(KRMM::Partition::MemMem("xyzab", 5, "bcd", 3), nullptr);
    // The buffer length is a hard limit, also when the bytes after it match.
    EXPECT_EQ(KRMM::Partition::MemMem("abcd", 3, "cd", 2), nullptr);
    EXPECT_EQ(KRMM::Partition::MemMem(nullptr, 4, "a", 1), nullptr);
}

TEST(MemMem, AgreesWithANaiveSearchAndAllocatesNothing) {
    std::mt19937 rng(99);
    auto heap = HeapRefusal::RecordOnly();
    unsigned char buf[64], pat[6];
    for (int round = 0; round < 5000; ++round) {
        const size_t bufLen = rng() % 40, patLen = 1 + rng() % 5;
        for (size_t i = 0; i < bufLen; ++i) buf[i] = static_cast<unsigned char>('a' + rng() % 2);
        for (size_t i = 0; i < patLen; ++i) pat[i] = static_cast<unsigned char>('a' + rng() % 2);
        const void* expected = nullptr;
        for (size_t at = 0; expected == nullptr && at + patLen <= bufLen; ++at)
            if (std::memcmp(buf + at, pat, patLen) == 0) expected = buf + at;
        ASSERT_EQ(KRMM::Partition::MemMem(buf, bufLen, pat, patLen), expected) << "round " << round;
    }
    EXPECT_EQ(heap.Requests(), 0u);
}

}  // namespace
