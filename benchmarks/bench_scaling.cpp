// bench_scaling.cpp - throughput at 1 and 2 threads, in one run.
//
// Each worker repeats NewHandle(200), writes the 200 bytes, DisposeHandle;
// the reference repeats operator new(336) (the library's one heap allocation
// for that request), the same writes, operator delete. Layouts:
//   own    - every worker has a partition of its own
//   shared - all workers use one partition
//   raw    - the heap alone
//
// Every benchmark iteration runs a window with 1 worker and then a window
// with 2, back to back, so that load from elsewhere on the machine falls on
// both alike. A window counts only while all of its workers run: the workers
// are started, wait at a gate until every one of them is ready, run until the
// window closes, and the operations done before the gate opened or after it
// closed are not counted. The machine may be shared: a pair of windows
// counts only if in both every worker had its core for at least 90% of the
// window (its thread CPU time says so). Counters:
//   ops_1t, ops_2t  - operations per second in total, 1 and 2 workers
//   bytes_2t        - bytes written per second with 2 workers
//   ratio_2_over_1  - ops_2t / ops_1t (2.0 is perfect scaling)
//   valid_share     - the share of window pairs that counted
// Each worker keeps 64 blocks of its own alive, so a partition's chains are
// not empty while the pair runs.
#include <atomic>
#include <chrono>
#include <ctime>
#include <cstring>
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
constexpr auto kWindow = std::chrono::milliseconds(40);

enum class Layout { own, shared, raw };

struct Window {
    // The gate opens once every worker is ready; stop closes it. Relaxed
    // would do for the flags themselves (the counts are read after join),
    // acquire/release keeps the reasoning simple and costs nothing here.
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<bool> stop{false};
};

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct WorkerResult {
    uint64_t pairs = 0;
    double cpuSeconds = 0;
};

// Runs the pair until the window closes: the pairs finished inside it, and
// the CPU time the worker got meanwhile.
WorkerResult Work(Window& window, KRMM::Partition* partition) {
    window.ready.fetch_add(1, std::memory_order_acq_rel);
    while (!window.go.load(std::memory_order_acquire)) {
    }
    const double cpuStart = ThreadCpuSeconds();
    uint64_t done = 0;
    while (!window.stop.load(std::memory_order_relaxed)) {
        for (int k = 0; k < 32; ++k) {
            if (partition != nullptr) {
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
        done += 32;
    }
    return {done, ThreadCpuSeconds() - cpuStart};
}

struct WindowResult {
    uint64_t pairs;
    double seconds;
    bool allRan;  // every worker had its core for at least 90% of the window
};

WindowResult RunWindow(int workers, KRMM::Partition* const* partitions) {
    Window window;
    std::vector<WorkerResult> done(static_cast<size_t>(workers));
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w)
        threads.emplace_back([&, w] { done[static_cast<size_t>(w)] = Work(window, partitions[w]); });
    while (window.ready.load(std::memory_order_acquire) != workers) std::this_thread::yield();
    const auto start = std::chrono::steady_clock::now();
    window.go.store(true, std::memory_order_release);
    std::this_thread::sleep_for(kWindow);
    window.stop.store(true, std::memory_order_relaxed);
    const auto end = std::chrono::steady_clock::now();
    for (auto& t : threads) t.join();
    const double seconds = std::chrono::duration<double>(end - start).count();
    WindowResult result{0, seconds, true};
    for (const WorkerResult& d : done) {
        result.pairs += d.pairs;
        result.allRan = result.allRan && d.cpuSeconds >= 0.9 * seconds;
    }
    return result;
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

    uint64_t ops[kMaxWorkers + 1] = {};
    double seconds[kMaxWorkers + 1] = {};
    int valid = 0, pairs = 0;
    for (auto _ : state) {
        WindowResult windows[kMaxWorkers + 1];
        double iteration = 0;
        bool allRan = true;
        for (int workers = 1; workers <= kMaxWorkers; ++workers) {
            windows[workers] = RunWindow(workers, partitions);
            iteration += windows[workers].seconds;
            allRan = allRan && windows[workers].allRan;
        }
        state.SetIterationTime(iteration);
        ++pairs;
        if (!allRan) continue;
        ++valid;
        for (int workers = 1; workers <= kMaxWorkers; ++workers) {
            ops[workers] += windows[workers].pairs;
            seconds[workers] += windows[workers].seconds;
        }
    }
    // No valid pair (a busy machine, or the runner's one-iteration trial):
    // zeros, which no reader mistakes for a measurement.
    const double ops1 = valid > 0 ? static_cast<double>(ops[1]) / seconds[1] : 0;
    const double ops2 = valid > 0 ? static_cast<double>(ops[2]) / seconds[2] : 0;
    state.counters["ops_1t"] = ops1;
    state.counters["ops_2t"] = ops2;
    state.counters["bytes_2t"] = ops2 * kRequest;
    state.counters["ratio_2_over_1"] = valid > 0 ? ops2 / ops1 : 0;
    state.counters["valid_share"] = static_cast<double>(valid) / pairs;
    // The partitions release the resident blocks when they are destroyed.
}

} // namespace

BENCHMARK_CAPTURE(Scaling, own, Layout::own)->Name("scaling/own/krmm")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Scaling, shared, Layout::shared)->Name("scaling/shared/krmm")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Scaling, raw, Layout::raw)->Name("scaling/shared/raw")->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace krmm_bench
