// bench_threads.cpp - many threads allocating from one partition.
//
// The shape of a well-known multi-threaded malloc benchmark: every thread
// keeps 1024 live blocks; each step frees a random one of them and allocates
// a new block of a size drawn from an inverse-square distribution between 4
// and 32768 bytes, and touches every byte of it. The library side uses one
// partition shared by all threads (NewHandle / DisposeHandle), the reference
// raw operator new / delete. items_per_second is the total over all threads.
// Case "own" gives every thread a partition of its own: then only the
// process-wide lock is shared between the threads.
//
// The library side also reports, per lock acquisition (two per step: one to
// unlink, one to link), how often the acquire found the lock held
// (contended_share) and how often a waiter slept in the kernel (sleep_share).
#include <cmath>
#include <cstring>
#include <new>

#include <KRMM/Diagnostics.h>

#include "bench_common.h"

namespace krmm_bench {
namespace {

constexpr uint32_t kLiveBlocks = 1024;
constexpr size_t kTableSize = 8192;
constexpr float kMinSize = 4;
constexpr float kMaxSize = 32768;

// Inverse-square distribution on [kMinSize, kMaxSize] by inversion.
std::vector<uint32_t> SizeTable(uint64_t seed) {
    Rng rng(seed);
    const float minPow = 1.0f / kMinSize;
    const float maxPow = 1.0f / kMaxSize;
    std::vector<uint32_t> sizes(kTableSize);
    for (auto& s : sizes) {
        const float r = static_cast<float>(rng.Next() >> 40) / static_cast<float>(1u << 24);
        s = static_cast<uint32_t>(1.0f / ((maxPow - minPow) * r + minPow));
    }
    return sizes;
}

KRMM::Partition& SharedPartition() {
    static KRMM::Partition* partition = NewPartition();
    return *partition;
}

struct Tables {
    std::vector<uint32_t> sizes;
    std::vector<uint32_t> slots;
    explicit Tables(int thread)
        : sizes(SizeTable(100 + static_cast<uint64_t>(thread))),
          slots(SlotSequence(kLiveBlocks, kTableSize, 200 + static_cast<uint64_t>(thread))) {}
};

KRMM::Partition& OwnPartition(int thread) {
    static KRMM::Partition* partitions[2] = {NewPartition(), NewPartition()};
    return *partitions[thread % 2];
}

void ThreadsKrmm(benchmark::State& state, bool shared) {
    KRMM::Partition& partition = shared ? SharedPartition() : OwnPartition(state.thread_index());
    const Tables t(state.thread_index());
    std::vector<KRMM::Handle> live(kLiveBlocks);
    for (uint32_t i = 0; i < kLiveBlocks; ++i) live[i] = partition.NewHandle(t.sizes[i]);
    KRMM::diag::LockStatistics before{};
    if (state.thread_index() == 0) before = KRMM::diag::GetLockStatistics();
    size_t i = 0;
    for (auto _ : state) {
        const size_t k = i++ & (kTableSize - 1);
        KRMM::Handle& h = live[t.slots[k]];
        partition.DisposeHandle(h);
        const uint32_t size = t.sizes[k];
        h = partition.NewHandle(size);
        std::memset(*h, 0x5A, size);
    }
    if (state.thread_index() == 0) {
        const KRMM::diag::LockStatistics after = KRMM::diag::GetLockStatistics();
        const double acquires = 2.0 * static_cast<double>(state.iterations()) * state.threads();
        state.counters["contended_share"] =
            static_cast<double>(after.contendedAcquires - before.contendedAcquires) / acquires;
        state.counters["sleep_share"] =
            static_cast<double>(after.kernelSleeps - before.kernelSleeps) / acquires;
    }
    state.SetItemsProcessed(state.iterations());
    for (auto h : live) partition.DisposeHandle(h);
}

void ThreadsRaw(benchmark::State& state) {
    const Tables t(state.thread_index());
    std::vector<void*> live(kLiveBlocks);
    for (uint32_t i = 0; i < kLiveBlocks; ++i) live[i] = ::operator new(t.sizes[i]);
    size_t i = 0;
    for (auto _ : state) {
        const size_t k = i++ & (kTableSize - 1);
        void*& p = live[t.slots[k]];
        ::operator delete(p);
        const uint32_t size = t.sizes[k];
        p = ::operator new(size);
        std::memset(p, 0x5A, size);
    }
    state.SetItemsProcessed(state.iterations());
    for (auto p : live) ::operator delete(p);
}

} // namespace

BENCHMARK_CAPTURE(ThreadsKrmm, shared, true)->Name("threads/shared/krmm")->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK_CAPTURE(ThreadsKrmm, own, false)->Name("threads/own/krmm")->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(ThreadsRaw)->Name("threads/shared/raw")->Threads(1)->Threads(2)->UseRealTime();

} // namespace krmm_bench
