// threads_stress_test.cpp - one partition shared by threads that allocate
// (through the current pool or the heap), resize and release their own
// handles (some requests refused), make and release resource blocks, and
// hand out and take back blocks of a pool, register and unregister memory callbacks
// (which hear the refusals), and take block lists under the lock;
// afterwards every chain, count, pool list and counter must be exactly what
// the threads' own tallies say.
//
// Bounded in time (KRMM_STRESS_SECONDS, default 3 s, a third of that under
// the sanitizers) and seeded (KRMM_STRESS_SEED); both are printed.
#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <thread>

#include <KRMM/Diagnostics.h>

#include "krmm_test.h"

namespace {

using namespace krmm_test;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kScale = 1.0 / 3;
#else
constexpr double kScale = 1.0;
#endif

// Each listener is registered with its own tag. A notification reads the
// table without the lock while the registrar changes it, so it may pair a
// function with a neighbouring registration's tag or a freed slot's null,
// never with user data nobody registered.
constexpr int kListeners = 6;
int g_tags[kListeners];
std::atomic<long> g_strangers{0};
template <int N>
void Listener(int event, size_t, void* userData) {
    const bool known = !userData || userData == &g_tags[N] || (userData >= g_tags && userData < g_tags + kListeners);
    g_strangers.fetch_add(!known || event != 1, std::memory_order_relaxed);
}
const KRMM::MemoryCallbackProc kProcs[kListeners] = {&Listener<0>, &Listener<1>, &Listener<2>,
                                                     &Listener<3>, &Listener<4>, &Listener<5>};

TEST(ThreadStress, SharedPartitionStaysConsistent) {
    const char* secondsText = std::getenv("KRMM_STRESS_SECONDS");
    const char* seedText = std::getenv("KRMM_STRESS_SEED");
    const double seconds = std::min(secondsText ? std::atof(secondsText) : 3.0, 9.0) * kScale;
    const auto seed = static_cast<uint32_t>(seedText ? std::strtoul(seedText, nullptr, 0) : 20261206u);
    std::printf("stress: %.1f s, seed %u\n", seconds, seed);

    Partition p;
    const Handle current = p.CreatePool(64, 48), shared = p.CreatePool(48, 40);  // the second is handed out directly
    ASSERT_TRUE(current != nullptr && shared != nullptr);
    p.SetCurrentPool(current);
    p.SetPoolEnabled(true);
    const auto counters = [&] {
        return make_tuple(long{p.numCalls}, long{p.numBlocks}, long{p.bytesAllocated}, long{p.numpoolHits});
    };
    const auto [calls0, blocks0, bytes0, hits0] = counters();
    const auto deadline = Clock::now() + std::chrono::microseconds(static_cast<long>(seconds * 1e6));
    const auto running = [&] { return Clock::now() < deadline; };
    // Every block the owners get is released again, so the counters must end
    // up changed by the refused requests alone (counted on entry, never out).
    std::atomic<long> calls{0}, refusedBlocks{0}, refusedBytes{0}, poolHits{0};
    std::atomic<bool> listingsAgreed{true};

    // Owners allocate (one request in 16 refused), resize and release their
    // own handles, and hand out and take back blocks of the shared pool.
    const auto owner = [&](uint32_t id) {
        std::mt19937 rng(seed + id);
        std::vector<std::pair<Handle, unsigned>> mine;  // handle, pattern seed
        std::vector<MemoryBlock*> pooled, resources;   // pool blocks' pattern seed: id
        char resourceData[64] = {};
        auto size = [&] { return rng() % 4 == 0 ? 5000 + rng() % 9000 : rng() % 300; };
        auto release = [&](size_t k) {
            EXPECT_TRUE(Holds(*mine[k].first, p.GetHandleSize(mine[k].first), mine[k].second));
            p.DisposeHandle(mine[k].first);
            mine[k] = mine.back(), mine.pop_back();
        };
        while (running()) {
            const unsigned op = rng() % 11;
            if (op < 3 && mine.size() < 48) {
                const size_t n = size(), refuse = rng() % 16 == 0;
                // The refusal plan lives until the end of the statement.
                const Handle h = (HeapRefusal(HeapPlan{refuse}), p.NewHandle(n));
                calls += 1;
                if (h == nullptr)
                    refusedBlocks += 1, refusedBytes += static_cast<long>(n);
                else
                    mine.emplace_back(h, static_cast<unsigned>(rng())), Fill(*h, n, mine.back().second);
                poolHits += h != nullptr && Hdr(h)->pool == current;
            } else if (op < 5 && !mine.empty()) {
                const auto [h, fill] = mine[rng() % mine.size()];
                const size_t old = p.GetHandleSize(h), n = size();
                if (rng() % 8 == 0) p.SetHandleOversize(h, rng() % 200, true);
                ASSERT_TRUE(p.SetHandleSize(h, n));
                ASSERT_TRUE(Holds(*h, std::min(old, n), fill)) << "data lost across a resize";
                Fill(*h, n, fill);
            } else if (op < 7 && !mine.empty()) {
                release(rng() % mine.size());
            } else if (op == 7 && pooled.size() < 12) {
                if (MemoryBlock* b = p.RequestPoolBlock(shared)) Fill(b->masterPtr, 48, id), pooled.push_back(b);
            } else if (op == 8 && !pooled.empty()) {
                ASSERT_TRUE(p.IsHandleInUse(AsHandle(pooled.back())));
                ASSERT_TRUE(Holds(pooled.back()->masterPtr, 48, id));
                p.ReleasePoolBlock(shared, AsHandle(pooled.back()));
                pooled.pop_back();
            } else if (op == 9 && resources.size() < 8) {
                calls += 1;
                resources.push_back(p.AllocateFromExistingResource(resourceData, sizeof resourceData));
            } else if (op == 10 && !resources.empty()) {
                p.DeallocateResource(resources.back());
                resources.pop_back();
            }
        }
        for (MemoryBlock* b : resources) p.DeallocateResource(b);
        while (!mine.empty()) release(0);
        for (MemoryBlock* b : pooled) p.ReleasePoolBlock(shared, AsHandle(b));
    };
    // The registrar registers and unregisters the listeners (counted) and switches stack capture.
    const auto registrar = [&](uint32_t id) {
        std::mt19937 rng(seed + id);
        int counts[kListeners] = {};
        while (running()) {
            const int k = static_cast<int>(rng() % kListeners);
            const bool add = rng() % 2 == 0;
            EXPECT_EQ(add ? p.RegisterMemoryCallbackFunction(kProcs[k], &g_tags[k])
                          : p.UnregisterMemoryCallbackFunction(kProcs[k]),
                      add || counts[k] > 0);
            counts[k] += add ? 1 : -(counts[k] > 0);
            if (rng() % 64 == 0) p.EnableStackTraceInfo(rng() % 2 == 0);
            std::this_thread::yield();
        }
        for (int k = 0; k < kListeners; ++k)
            while (counts[k]-- > 0) EXPECT_TRUE(p.UnregisterMemoryCallbackFunction(kProcs[k]));
        p.EnableStackTraceInfo(false);
    };
    // The lister takes block lists under the lock (the enumeration walks the
    // chains without it), into a vector with room enough not to allocate.
    const auto lister = [&](uint32_t) {
        std::vector<const void*> list;
        list.reserve(4096);
        while (running()) {
            KRMM::EnterCriticalSection(&KRMM_CriticalSection);
            const size_t count = p.GetBlockCount(), listed = p.GetAllBlocks(list), chained = Linked(p.blockCounts);
            KRMM::LeaveCriticalSection(&KRMM_CriticalSection);
            if (count != listed || count != chained) listingsAgreed.store(false);
            std::this_thread::yield();
        }
    };
    const std::function<void(uint32_t)> roles[] = {owner, owner, owner, owner, owner, registrar, lister};
    std::vector<std::thread> threads;
    for (uint32_t id = 0; id < std::size(roles); ++id) threads.emplace_back(roles[id], id);
    for (std::thread& thread : threads) thread.join();

    std::printf("stress: %ld requests, %ld refused\n", calls.load(), refusedBlocks.load());
    EXPECT_TRUE(listingsAgreed.load()) << "a block list disagreed with the chain counts under the same lock";
    EXPECT_EQ(g_strangers.load(), 0) << "a callback was called with user data nobody registered";
    EXPECT_EQ(counters(), make_tuple(calls0 + calls, blocks0 + refusedBlocks, bytes0 + refusedBytes, hits0 + poolHits))
        << "calls, blocks, bytes, pool hits";
    EXPECT_EQ(p.GetBlockCount(), 2ul) << "only the pools' storage";
    EXPECT_EQ(Linked(p.blockCounts), 2ul);
    EXPECT_EQ(Linked(p.resourceCounts), 0ul);
    EXPECT_EQ(std::count(std::begin(p.callbackRefCounts), std::end(p.callbackRefCounts), 0), 128);
    for (Handle pool : {current, shared}) {
        p.SetCurrentPool(pool);  // the check walks the current pool's lists
        EXPECT_EQ(KRMM::diag::CheckPartition(p), std::vector<std::string>{});
        const auto* h = reinterpret_cast<KRMM::PoolHeader*>(*pool);
        EXPECT_EQ(h->freeCount, h->blockCount);
        EXPECT_EQ(h->usedList, nullptr);
    }
}

} // namespace
