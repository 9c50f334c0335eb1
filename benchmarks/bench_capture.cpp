// bench_capture.cpp - the cost of recording allocation call stacks.
//
// capture: NewHandle(200) + DisposeHandle on a partition shared by all
// threads, with stack tracing on (every block records its call stack) and
// off, with 1 and 2 threads. items_per_second is the total over all threads.
#include "bench_common.h"

namespace krmm_bench {
namespace {

constexpr size_t kRequest = 200;

KRMM::Partition& TracedPartition(bool tracing) {
    static KRMM::Partition* on = [] {
        KRMM::Partition* p = NewPartition();
        p->EnableStackTraceInfo(true);
        return p;
    }();
    static KRMM::Partition* off = NewPartition();
    return tracing ? *on : *off;
}

void Capture(benchmark::State& state, bool tracing) {
    KRMM::Partition& partition = TracedPartition(tracing);
    for (auto _ : state) {
        KRMM::Handle h = partition.NewHandle(kRequest);
        benchmark::DoNotOptimize(h);
        partition.DisposeHandle(h);
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK_CAPTURE(Capture, on, true)->Name("capture/on/krmm")->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK_CAPTURE(Capture, off, false)->Name("capture/off/krmm")->Threads(1)->Threads(2)->UseRealTime();

} // namespace krmm_bench
