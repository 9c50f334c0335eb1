// threads_stress_test.cpp - one partition shared by threads that allocate
// (through the current pool or the heap), resize and release their own
// handles (some requests refused), make and release resource blocks, hand
// out and take back blocks of a second pool, register and unregister memory
// callbacks (which hear the refusals); afterwards every chain, count, pool list and counter must be exactly what
// the threads' own tallies say.
//
// Bounded in time (KRMM_STRESS_SECONDS, default 3 s, a third of that under
// the sanitizers) and seeded (KRMM_STRESS_SEED); both are printed.
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include <KRMM/Diagnostics.h>

#include "krmm_test.h"

namespace {

using namespace krmm_test;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kScale = 1.0 / 3;
#else
constexpr double kScale = 1.0;
#endif

// A notification reads the table without the lock while the registrar
// changes it, so it may pair a function with a neighbouring registration's
// tag or a freed slot's null, never with user data nobody registered.
int g_tags[6];
std::atomic<long> g_strangers{0};
template <int N>
void Listener(int event, size_t, void* userData) {
    const bool known = userData == nullptr || (userData >= g_tags && userData < g_tags + 6);
    g_strangers.fetch_add(!known || event != 1, std::memory_order_relaxed);
}
const KRMM::MemoryCallbackProc kProcs[6] = {&Listener<0>, &Listener<1>, &Listener<2>,
                                            &Listener<3>, &Listener<4>, &Listener<5>};

TEST(ThreadStress, SharedPartitionStaysConsistent) {
    const char* secondsText = std::getenv("KRMM_STRESS_SECONDS");
    const char* seedText = std::getenv("KRMM_STRESS_SEED");
    const double seconds = std::min(secondsText ? std::atof(secondsText) : 3.0, 9.0) * kScale;
    const auto seed = static_cast<uint32_t>(seedText ? std::strtoul(seedText, nullptr, 0) : 20261206u);
    std::printf("stress: %.1f s, seed %u\n", seconds, seed);

    Partition p;
    const Handle current = p.CreatePool(64, 48), shared = p.CreatePool(48, 40);  // the second is handed out directly
    p.SetCurrentPool(current);
    p.SetPoolEnabled(true);
    const auto counters = [&] { return make_tuple(p.numCalls, p.numBlocks, p.bytesAllocated, p.numpoolHits); };
    const auto before = counters();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(long(seconds * 1e6));
    const auto running = [&] { return std::chrono::steady_clock::now() < deadline; };
    // Every block is released again, so the counters end up changed by the
    // refused requests alone (counted on entry, never out).
    std::atomic<int> calls{0};
    std::atomic<int64_t> refusedBlocks{0}, refusedBytes{0}, poolHits{0};

    const auto owner = [&](uint32_t id) {
        std::mt19937 rng(seed + id);
        std::vector<std::pair<Handle, unsigned>> mine;  // handle, pattern seed
        std::vector<MemoryBlock*> pooled, resources;    // pool blocks' pattern seed: id
        char resourceData[64] = {};
        auto size = [&] { return rng() % 4 == 0 ? 5000 + rng() % 9000 : rng() % 300; };
        const auto release = [&](size_t k) {
            EXPECT_TRUE(Holds(*mine[k].first, p.GetHandleSize(mine[k].first), mine[k].second));
            p.DisposeHandle(mine[k].first), mine[k] = mine.back(), mine.pop_back();
        };
        while (running()) {
            const unsigned op = rng() % 11;
            if (op < 3 && mine.size() < 48) {
                const size_t n = size(), refuse = rng() % 16 == 0;
                // The refusal plan lives until the end of the statement.
                const Handle h = (HeapRefusal(HeapPlan{refuse}), p.NewHandle(n));
                calls += 1;
                if (h == nullptr) refusedBlocks += 1, refusedBytes += int64_t(n);
                else mine.emplace_back(h, unsigned(rng())), Fill(*h, n, mine.back().second);
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
                ASSERT_TRUE(Holds(pooled.back()->masterPtr, 48, id));
                p.ReleasePoolBlock(shared, AsHandle(pooled.back())), pooled.pop_back();
            } else if (op == 9 && resources.size() < 8) {
                calls += 1, resources.push_back(p.AllocateFromExistingResource(resourceData, sizeof resourceData));
            } else if (op == 10 && !resources.empty()) {
                p.DeallocateResource(resources.back()), resources.pop_back();
            }
        }
        while (!mine.empty()) release(0);
        for (MemoryBlock* b : pooled) p.ReleasePoolBlock(shared, AsHandle(b));
        for (MemoryBlock* b : resources) p.DeallocateResource(b);
    };
    // The registrar registers and unregisters the listeners (counted) and switches stack capture.
    const auto registrar = [&](uint32_t id) {
        std::mt19937 rng(seed + id);
        int counts[6] = {};
        while (running()) {
            const int k = static_cast<int>(rng() % 6);
            const bool add = rng() % 2 == 0;
            EXPECT_EQ(add ? p.RegisterMemoryCallbackFunction(kProcs[k], &g_tags[k]) : p.UnregisterMemoryCallbackFunction(kProcs[k]),
                      add || counts[k] > 0);
            counts[k] += add ? 1 : -(counts[k] > 0);
            if (rng() % 64 == 0) p.EnableStackTraceInfo(rng() % 2 == 0);
            std::this_thread::yield();
        }
        for (int k = 0; k < 6; ++k)
            while (counts[k]-- > 0) EXPECT_TRUE(p.UnregisterMemoryCallbackFunction(kProcs[k]));
        p.EnableStackTraceInfo(false);
    };
    std::vector<std::thread> threads;
    for (uint32_t id = 0; id < 4; ++id) threads.emplace_back(owner, id);
    threads.emplace_back(registrar, 4);
    for (std::thread& thread : threads) thread.join();

    std::printf("stress: %d requests, %ld refused\n", calls.load(), long(refusedBlocks.load()));
    EXPECT_EQ(g_strangers.load(), 0) << "a callback was called with user data nobody registered";
    EXPECT_EQ(counters(), make_tuple(std::get<0>(before) + calls, std::get<1>(before) + refusedBlocks,
                                     std::get<2>(before) + refusedBytes, std::get<3>(before) + poolHits))
        << "calls, blocks, bytes, pool hits";
    EXPECT_EQ(Linked(p.blockCounts), 2ul) << "only the pools' storage";
    EXPECT_EQ(Linked(p.resourceCounts), 0ul);
    EXPECT_EQ(std::count(std::begin(p.callbackRefCounts), std::end(p.callbackRefCounts), 0), 128);
    for (Handle pool : {current, shared}) {
        p.SetCurrentPool(pool);  // the check walks the current pool's lists
        EXPECT_EQ(KRMM::diag::CheckPartition(p), std::vector<std::string>{});
        EXPECT_EQ(reinterpret_cast<KRMM::PoolHeader*>(*pool)->freeCount, reinterpret_cast<KRMM::PoolHeader*>(*pool)->blockCount);
    }
}

} // namespace
