// bench_scaling.cpp - throughput at 1 and 2 threads, in one run.
//
// Each worker repeats NewHandle(200), writes the 200 bytes, DisposeHandle;
// the reference repeats operator new(336) (the library's one heap allocation
// for that request), the same writes, operator delete. Layouts:
//   own    - every worker has a partition of its own
//   shared - all workers use one partition
//   raw    - the heap alone
//   counters - the heap, plus the updates of the public counters that a
//            pair in one shared partition makes (bytesAllocated, numBlocks,
//            numCalls: one cache line), as atomic adds and nothing else; no
//            lock, no chain. What exact counters alone allow one partition.
//
// Every benchmark iteration runs a window with 1 worker and then a window
// with 2, back to back, so that load from elsewhere falls on both alike.
// Only time in which every worker of the window runs is counted: a worker
// works in batches of kBatch pairs and reads the wall clock and its thread's
// CPU clock around each; a batch counts only if it ran undisturbed (its CPU
// time at least 95% of its wall time). With two workers only the time in
// which undisturbed batches of both overlap counts, and each batch
// contributes its pairs in proportion to its overlapped share. So a machine
// shared with other work yields less data, not wrong data. Counters:
//   ops_1t, ops_2t  - operations per second in total, 1 and 2 workers
//   bytes_2t        - bytes written per second with 2 workers
//   ratio_2_over_1  - ops_2t / ops_1t (2.0 is perfect scaling)
//   counted_2t_ms   - the overlapped time the 2-worker figure rests on
// Each partition keeps 64 blocks alive, so its chains are not empty while
// the pair runs.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "bench_common.h"

namespace krmm_bench {
namespace {

constexpr size_t kRequest = 200;
constexpr size_t kHeapBytes = 136 + kRequest;
constexpr int kMaxWorkers = 2;
constexpr int kResident = 64;
constexpr int kBatch = 256;
constexpr size_t kMaxBatches = size_t{1} << 16;  // far more than a window holds
constexpr auto kWindow = std::chrono::milliseconds(40);

enum class Layout { own, shared, raw, counters };

struct Window {
    // acquire/release: simple reasoning; these flags are off the measured path.
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<bool> stop{false};
};

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Batch {
    double start, end;  // wall clock
};

// The public counters' share of a pair: relaxed atomic adds, as the library
// makes them (numBlocks and numCalls under a lock, which they would need
// instead if list work of one partition ran in parallel).
void CountersOnlyPair(KRMM::Partition& partition) {
    const auto add = [](auto& field, auto delta) {
        std::atomic_ref(field).fetch_add(delta, std::memory_order_relaxed);
    };
    void* p = ::operator new(kHeapBytes);
    add(partition.bytesAllocated, int64_t{kRequest});
    add(partition.numCalls, int32_t{1});
    add(partition.numBlocks, int64_t{1});
    std::memset(p, 0x5A, kRequest);
    benchmark::DoNotOptimize(p);
    add(partition.bytesAllocated, -int64_t{kRequest});
    add(partition.numBlocks, int64_t{-1});
    ::operator delete(p);
}

void Pair(KRMM::Partition* partition, Layout layout) {
    if (layout == Layout::counters) {
        CountersOnlyPair(*partition);
    } else if (partition != nullptr) {
        KRMM::Handle h = partition->NewHandle(kRequest);
        std::memset(*h, 0x5A, kRequest);
        benchmark::DoNotOptimize(*h);
        partition->DisposeHandle(h);
    } else {
        void* p = ::operator new(kHeapBytes);
        std::memset(p, 0x5A, kRequest);
        benchmark::DoNotOptimize(p);
        ::operator delete(p);
    }
}

// Runs batches until the window closes; `batches` (reserved, so nothing is
// allocated meanwhile) receives the undisturbed ones.
void Work(Window& window, KRMM::Partition* partition, Layout layout, std::vector<Batch>& batches) {
    window.ready.fetch_add(1, std::memory_order_acq_rel);
    while (!window.go.load(std::memory_order_acquire)) std::this_thread::yield();
    double wall = WallSeconds(), cpu = ThreadCpuSeconds();
    while (!window.stop.load(std::memory_order_relaxed)) {
        for (int k = 0; k < kBatch; ++k) Pair(partition, layout);
        const double wallEnd = WallSeconds(), cpuEnd = ThreadCpuSeconds();
        if (cpuEnd - cpu >= 0.95 * (wallEnd - wall) && batches.size() < kMaxBatches)
            batches.push_back({wall, wallEnd});
        wall = wallEnd;
        cpu = cpuEnd;
    }
}

struct Counted {
    double pairs = 0;
    double seconds = 0;
};

// Pairs done, and time spent, while every worker ran undisturbed.
Counted CountTogether(const std::vector<std::vector<Batch>>& logs) {
    Counted c;
    if (logs.size() == 1) {
        for (const Batch& b : logs[0]) {
            c.pairs += kBatch;
            c.seconds += b.end - b.start;
        }
        return c;
    }
    // Two workers: each log is in time order; walk both.
    const std::vector<Batch>& a = logs[0];
    const std::vector<Batch>& b = logs[1];
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const double from = std::max(a[i].start, b[j].start);
        const double to = std::min(a[i].end, b[j].end);
        if (to > from) {
            c.seconds += to - from;
            c.pairs += kBatch * (to - from) / (a[i].end - a[i].start);
            c.pairs += kBatch * (to - from) / (b[j].end - b[j].start);
        }
        if (a[i].end < b[j].end) ++i; else ++j;
    }
    return c;
}

Counted RunWindow(int workers, KRMM::Partition* const* partitions, Layout layout) {
    Window window;
    std::vector<std::vector<Batch>> logs(static_cast<size_t>(workers));
    for (auto& log : logs) log.reserve(kMaxBatches);
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w)
        threads.emplace_back([&, w] { Work(window, partitions[w], layout, logs[static_cast<size_t>(w)]); });
    while (window.ready.load(std::memory_order_acquire) != workers) std::this_thread::yield();
    window.go.store(true, std::memory_order_release);
    std::this_thread::sleep_for(kWindow);
    window.stop.store(true, std::memory_order_relaxed);
    for (auto& t : threads) t.join();
    return CountTogether(logs);
}

void Scaling(benchmark::State& state, Layout layout) {
    std::vector<std::unique_ptr<KRMM::Partition>> owned;
    KRMM::Partition* partitions[kMaxWorkers] = {};
    if (layout != Layout::raw) {
        owned.emplace_back(NewPartition());
        if (layout == Layout::own) owned.emplace_back(NewPartition());
        for (int w = 0; w < kMaxWorkers; ++w) partitions[w] = owned[layout == Layout::own ? w : 0].get();
    }
    for (auto& p : owned)
        for (int i = 0; i < kResident; ++i) p->NewHandle(kRequest);

    Counted total[kMaxWorkers + 1];
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (int workers = 1; workers <= kMaxWorkers; ++workers) {
            const Counted c = RunWindow(workers, partitions, layout);
            total[workers].pairs += c.pairs;
            total[workers].seconds += c.seconds;
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    // Nothing counted (a machine too busy, or the runner's one-iteration
    // trial): zeros, which no reader mistakes for a measurement.
    const auto rate = [&](int w) { return total[w].seconds > 0 ? total[w].pairs / total[w].seconds : 0.0; };
    state.counters["ops_1t"] = rate(1);
    state.counters["ops_2t"] = rate(2);
    state.counters["bytes_2t"] = rate(2) * kRequest;
    state.counters["ratio_2_over_1"] = rate(1) > 0 ? rate(2) / rate(1) : 0.0;
    state.counters["counted_2t_ms"] = total[2].seconds * 1e3;
    // The partitions release the resident blocks when they are destroyed.
}

} // namespace

BENCHMARK_CAPTURE(Scaling, own, Layout::own)->Name("scaling/own/krmm")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Scaling, shared, Layout::shared)->Name("scaling/shared/krmm")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Scaling, raw, Layout::raw)->Name("scaling/shared/raw")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Scaling, counters, Layout::counters)
    ->Name("scaling/shared/counters_only")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace krmm_bench
