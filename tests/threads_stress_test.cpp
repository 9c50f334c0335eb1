// threads_stress_test.cpp - one partition shared by threads that allocate,
// resize and release their own handles and resource blocks, hand pool blocks
// out and take them back (also across threads), register and unregister
// memory callbacks, switch call-stack capture, and take block lists under the
// lock; afterwards every registry chain and count, both pools' lists and
// every counter must be exactly what the threads' own tallies say.
//
// Bounded in time (KRMM_STRESS_SECONDS, default 3 s, a third of that under
// the sanitizers) and seeded (KRMM_STRESS_SEED); both are printed.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/KRMM.h>

#include "heap_refusal.h"

namespace {

using KRMM::Handle;
using KRMM::MemoryBlock;
using KRMM::Partition;
using KRMM::PoolHeader;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kSanitizerScale = 1.0 / 3;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr double kSanitizerScale = 1.0 / 3;
#else
constexpr double kSanitizerScale = 1.0;
#endif
#else
constexpr double kSanitizerScale = 1.0;
#endif

double StressSeconds() {
    const char* text = std::getenv("KRMM_STRESS_SECONDS");
    const double seconds = text != nullptr ? std::atof(text) : 3.0;
    return std::min(seconds, 9.0) * kSanitizerScale;
}

uint32_t StressSeed() {
    const char* text = std::getenv("KRMM_STRESS_SEED");
    return text != nullptr ? static_cast<uint32_t>(std::strtoul(text, nullptr, 0)) : 20261206u;
}

uint8_t Pattern(uint32_t seed, size_t i) {
    return static_cast<uint8_t>(seed * 31u + i * 7u);
}
void Fill(char* p, size_t n, uint32_t seed) {
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<char>(Pattern(seed, i));
}
bool Holds(const char* p, size_t n, uint32_t seed) {
    for (size_t i = 0; i < n; ++i)
        if (static_cast<uint8_t>(p[i]) != Pattern(seed, i)) return false;
    return true;
}

// Callbacks: each function is always registered with its own tag. The
// notification reads the table without the lock, while the registrar frees
// slots and fills them with other functions; a notification may then pair a
// function with a tag of the slot's previous or next registration (counted
// and printed), but never with anything that was not registered.
constexpr int kProcs = 6;
std::atomic<long> g_notified{0};
std::atomic<long> g_foreignTags{0};
std::atomic<long> g_strangers{0};
int g_tags[kProcs];
template <int N>
void Listener(int event, size_t, void* userData) {
    g_notified.fetch_add(1, std::memory_order_relaxed);
    if (userData == &g_tags[N]) return;
    const bool known = userData == nullptr || (userData >= &g_tags[0] && userData < &g_tags[kProcs]);
    (known && event == 1 ? g_foreignTags : g_strangers).fetch_add(1, std::memory_order_relaxed);
}
const KRMM::MemoryCallbackProc kListeners[kProcs] = {&Listener<0>, &Listener<1>, &Listener<2>,
                                                     &Listener<3>, &Listener<4>, &Listener<5>};

// What a thread counted into the partition, by the counting rules.
struct Tally {
    long calls = 0, blocks = 0, bytes = 0, ops = 0, failures = 0;
};

struct Shared {
    Partition partition;
    Handle sharedPool = nullptr;  // handed out directly, across threads
    std::mutex exchangeLock;
    std::vector<MemoryBlock*> exchange;  // pool blocks passed between threads
    Clock::time_point deadline;
    std::atomic<int> running{0};
    std::atomic<long> listings{0};
    std::atomic<bool> listingsAgreed{true};
};

struct OwnedBlock {
    Handle h;
    uint32_t seed;
};

// Allocates, resizes, copies and releases its own handles and resource
// blocks; now and then makes its own heap refuse a request.
void Owner(Shared& s, int index, uint32_t seed, Tally& t) {
    std::mt19937 rng(seed);
    Partition& p = s.partition;
    std::vector<OwnedBlock> mine;
    mine.reserve(64);
    char hostData[4][64];
    void* hosts[4];
    Handle resources[4] = {};
    for (int i = 0; i < 4; ++i) {
        Fill(hostData[i], sizeof hostData[i], static_cast<uint32_t>(index * 4 + i));
        hosts[i] = hostData[i];
    }
    const short file = static_cast<short>(index + 10);
    auto size = [&] { return rng() % 4 == 0 ? 5000 + rng() % 9000 : rng() % 300; };

    while (Clock::now() < s.deadline) {
        ++t.ops;
        const unsigned op = rng() % 10;
        if (op < 3 && mine.size() < 48) {
            const size_t n = size();
            const bool refuse = rng() % 16 == 0;
            Handle h;
            {
                auto heap = krmm_test::HeapRefusal(krmm_test::HeapPlan{refuse ? 1u : 0u, SIZE_MAX, false});
                h = p.NewHandle(n);
            }
            ++t.calls;
            ++t.blocks;
            t.bytes += static_cast<long>(n);
            if (h == nullptr) {
                ++t.failures;
                continue;
            }
            const uint32_t s2 = static_cast<uint32_t>(rng());
            Fill(*h, n, s2);
            mine.push_back({h, s2});
        } else if (op < 5 && !mine.empty()) {
            OwnedBlock& b = mine[rng() % mine.size()];
            const size_t old = p.GetHandleSize(b.h);
            const size_t n = size();
            if (rng() % 8 == 0) p.SetHandleOversize(b.h, rng() % 200, true);
            t.bytes += static_cast<long>(n) - static_cast<long>(old);
            ASSERT_TRUE(p.SetHandleSize(b.h, n));
            ASSERT_TRUE(Holds(*b.h, std::min(old, n), b.seed)) << "data lost across a resize";
            Fill(*b.h, n, b.seed);
        } else if (op < 7 && !mine.empty()) {
            const size_t k = rng() % mine.size();
            ASSERT_TRUE(Holds(*mine[k].h, p.GetHandleSize(mine[k].h), mine[k].seed));
            t.blocks -= 1;
            t.bytes -= static_cast<long>(p.GetHandleSize(mine[k].h));
            p.DisposeHandle(mine[k].h);
            mine[k] = mine.back();
            mine.pop_back();
        } else if (op == 7 && !mine.empty() && mine.size() < 48) {
            OwnedBlock copy = mine[rng() % mine.size()];
            const size_t n = p.GetHandleSize(copy.h);
            ++t.calls;
            ++t.blocks;
            t.bytes += static_cast<long>(n);
            ASSERT_TRUE(p.HandToHand(copy.h));
            ASSERT_TRUE(Holds(*copy.h, n, copy.seed));
            mine.push_back(copy);
        } else if (op == 8) {
            const int r = static_cast<int>(rng() % 4);
            if (resources[r] == nullptr) {
                ++t.calls;
                ++t.blocks;
                resources[r] = p.GetOrCreateHandleFromQTResourceHandle(&hosts[r], 64, file);
                ASSERT_NE(resources[r], nullptr);
                ASSERT_EQ(*resources[r], hostData[r]);
            }
            ASSERT_EQ(p.FindBlockWithQTResourceHandle(&hosts[r], file), resources[r]);
            ASSERT_TRUE(p.BlockIsResource(reinterpret_cast<MemoryBlock*>(resources[r])));
        } else if (op == 9) {
            const int r = static_cast<int>(rng() % 4);
            if (resources[r] != nullptr) {
                t.blocks -= 1;
                p.DeallocateResource(resources[r]);
                resources[r] = nullptr;
            }
        }
    }
    for (const OwnedBlock& b : mine) {
        ASSERT_TRUE(Holds(*b.h, p.GetHandleSize(b.h), b.seed));
        t.blocks -= 1;
        t.bytes -= static_cast<long>(p.GetHandleSize(b.h));
        p.DisposeHandle(b.h);
    }
    for (Handle r : resources) {
        if (r == nullptr) continue;
        t.blocks -= 1;
        p.DeallocateResource(r);
    }
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(Holds(hostData[i], sizeof hostData[i], static_cast<uint32_t>(index * 4 + i)));
}

// Hands out blocks of the shared pool directly and takes them back, some of
// them taken back by the other pool thread.
void PoolUser(Shared& s, uint32_t seed, Tally& t) {
    std::mt19937 rng(seed);
    Partition& p = s.partition;
    std::vector<MemoryBlock*> mine;
    mine.reserve(16);
    const size_t size = reinterpret_cast<PoolHeader*>(*s.sharedPool)->blockSize;
    while (Clock::now() < s.deadline) {
        ++t.ops;
        const unsigned op = rng() % 4;
        if (op == 0 && mine.size() < 12) {
            if (MemoryBlock* b = p.RequestPoolBlock(s.sharedPool)) {
                Fill(b->masterPtr, size, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(b)));
                mine.push_back(b);
            }
        } else if (op == 1 && !mine.empty()) {
            const size_t k = rng() % mine.size();
            MemoryBlock* b = mine[k];
            ASSERT_TRUE(p.IsHandleInUse(reinterpret_cast<Handle>(b)));
            ASSERT_TRUE(Holds(b->masterPtr, size, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(b))));
            p.ReleasePoolBlock(s.sharedPool, reinterpret_cast<Handle>(b));
            mine[k] = mine.back();
            mine.pop_back();
        } else if (op == 2 && !mine.empty()) {
            std::lock_guard<std::mutex> guard(s.exchangeLock);
            s.exchange.push_back(mine.back());
            mine.pop_back();
        } else if (op == 3) {
            std::lock_guard<std::mutex> guard(s.exchangeLock);
            if (!s.exchange.empty() && mine.size() < 12) {
                mine.push_back(s.exchange.back());
                s.exchange.pop_back();
            }
        }
    }
    for (MemoryBlock* b : mine) p.ReleasePoolBlock(s.sharedPool, reinterpret_cast<Handle>(b));
}

// Registers and unregisters the listeners, and switches stack capture.
void Registrar(Shared& s, uint32_t seed, Tally& t) {
    std::mt19937 rng(seed);
    Partition& p = s.partition;
    int counts[kProcs] = {};
    while (Clock::now() < s.deadline) {
        ++t.ops;
        const int k = static_cast<int>(rng() % kProcs);
        if (rng() % 2 == 0) {
            ASSERT_TRUE(p.RegisterMemoryCallbackFunction(kListeners[k], &g_tags[k]));
            ++counts[k];
        } else {
            ASSERT_EQ(p.UnregisterMemoryCallbackFunction(kListeners[k]), counts[k] > 0);
            if (counts[k] > 0) --counts[k];
        }
        if (rng() % 64 == 0) p.EnableStackTraceInfo(rng() % 2 == 0);
        std::this_thread::yield();
    }
    for (int k = 0; k < kProcs; ++k)
        while (counts[k]-- > 0) ASSERT_TRUE(p.UnregisterMemoryCallbackFunction(kListeners[k]));
    p.EnableStackTraceInfo(false);
}

// Takes block lists; the enumeration walks the chains without the lock, so
// the lister holds it, with a vector that has room enough not to allocate.
void Lister(Shared& s, Tally& t) {
    Partition& p = s.partition;
    std::vector<const void*> list;
    list.reserve(4096);
    static const void* array[4096];
    while (Clock::now() < s.deadline) {
        ++t.ops;
        KRMM::EnterCriticalSection(&KRMM_CriticalSection);
        const size_t count = p.GetBlockCount();
        const size_t listed = p.GetAllBlocks(list);
        const size_t stored = p.GetAllBlocks(array, 4096);
        unsigned long chained = 0;
        bool linked = true;
        for (size_t i = 0; i < 1024; ++i) {
            chained += p.blockCounts[i];
            const MemoryBlock* prev = nullptr;
            for (const MemoryBlock* b = p.blockBuckets[i]; b != nullptr; prev = b, b = b->next)
                linked = linked && b->prev == prev && b->bucket == i;
        }
        const bool same = std::equal(array, array + stored, list.begin());
        KRMM::LeaveCriticalSection(&KRMM_CriticalSection);
        if (count != listed || count != stored || count != chained || !linked || !same)
            s.listingsAgreed.store(false);
        s.listings.fetch_add(1, std::memory_order_relaxed);
        std::this_thread::yield();
    }
}

TEST(ThreadStress, SharedPartitionStaysConsistent) {
    const double seconds = StressSeconds();
    const uint32_t seed = StressSeed();
    std::printf("stress: %.1f s, seed %u\n", seconds, seed);

    auto shared = std::make_unique<Shared>();
    Shared& s = *shared;
    Partition& p = s.partition;
    Handle current = p.CreatePool(64, 48);
    s.sharedPool = p.CreatePool(48, 40);
    ASSERT_NE(current, nullptr);
    ASSERT_NE(s.sharedPool, nullptr);
    p.SetCurrentPool(current);
    p.SetPoolEnabled(true);
    const int32_t calls0 = p.numCalls;
    const int64_t blocks0 = p.numBlocks, bytes0 = p.bytesAllocated;

    constexpr int kOwners = 3, kPoolUsers = 2;
    std::vector<Tally> tallies(kOwners + kPoolUsers + 2);
    s.deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> threads;
    for (int i = 0; i < kOwners; ++i) threads.emplace_back(Owner, std::ref(s), i, seed + i, std::ref(tallies[i]));
    for (int i = 0; i < kPoolUsers; ++i)
        threads.emplace_back(PoolUser, std::ref(s), seed + 100 + i, std::ref(tallies[kOwners + i]));
    threads.emplace_back(Registrar, std::ref(s), seed + 200, std::ref(tallies[kOwners + kPoolUsers]));
    threads.emplace_back(Lister, std::ref(s), std::ref(tallies[kOwners + kPoolUsers + 1]));
    for (std::thread& t : threads) t.join();
    for (MemoryBlock* b : s.exchange) p.ReleasePoolBlock(s.sharedPool, reinterpret_cast<Handle>(b));

    Tally sum;
    for (const Tally& t : tallies) {
        sum.calls += t.calls;
        sum.blocks += t.blocks;
        sum.bytes += t.bytes;
        sum.ops += t.ops;
        sum.failures += t.failures;
    }
    std::printf("stress: %zu threads, %ld operations, %ld refusals heard by %ld notifications "
                "(%ld with a neighbouring registration's tag), %ld listings\n",
                threads.size(), sum.ops, sum.failures, g_notified.load(), g_foreignTags.load(), s.listings.load());
    RecordProperty("threads", static_cast<int>(threads.size()));
    RecordProperty("operations", static_cast<int>(sum.ops));

    EXPECT_TRUE(s.listingsAgreed.load()) << "a block list disagreed with the chains taken under the same lock";
    EXPECT_EQ(g_strangers.load(), 0) << "a callback was called with user data nobody registered";
    EXPECT_EQ(p.numCalls, calls0 + sum.calls);
    EXPECT_EQ(p.numBlocks, blocks0 + sum.blocks);
    EXPECT_EQ(p.bytesAllocated, bytes0 + sum.bytes);
    EXPECT_EQ(p.GetBlockCount(), 2u) << "only the two pools' storage is left";
    unsigned long chained = 0, resources = 0;
    for (size_t i = 0; i < 1024; ++i) {
        chained += p.blockCounts[i];
        resources += p.resourceCounts[i];
        EXPECT_EQ(p.resourceBuckets[i], nullptr);
    }
    EXPECT_EQ(chained, 2u);
    EXPECT_EQ(resources, 0u);
    for (Handle pool : {current, s.sharedPool}) {
        const PoolHeader* h = reinterpret_cast<PoolHeader*>(*pool);
        EXPECT_EQ(h->freeCount, h->blockCount);
        EXPECT_EQ(h->usedList, nullptr);
        size_t onFreeList = 0;
        for (const KRMM::PoolSlot* slot = h->freeList; slot != nullptr; slot = slot->nextSlot) {
            EXPECT_EQ(slot->inUse, 0);
            ++onFreeList;
        }
        EXPECT_EQ(onFreeList, h->blockCount);
    }
    for (int i = 0; i < 128; ++i) EXPECT_EQ(p.callbackRefCounts[i], 0);
}

} // namespace
