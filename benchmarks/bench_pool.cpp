// bench_pool.cpp - a pool hand-out and take-back against the heap path.
//
// pool_cycle: Allocate(200) + Deallocate on a partition whose current pool
// (blocks of 200 bytes) is switched on, against the same pair on a partition
// without a pool, which takes one heap allocation of 336 bytes each time.
#include "bench_common.h"

namespace krmm_bench {
namespace {

constexpr size_t kRequest = 200;
constexpr size_t kPoolBlocks = 64;

void PoolCycle(benchmark::State& state) {
    KRMM::Partition* partition = NewPartition();
    KRMM::Handle pool = partition->CreatePool(kRequest, kPoolBlocks);
    partition->SetCurrentPool(pool);
    partition->SetPoolEnabled(true);
    for (auto _ : state) {
        KRMM::Ptr p = partition->Allocate(kRequest);
        benchmark::DoNotOptimize(p);
        partition->Deallocate(p);
    }
    if (partition->numpoolHits != static_cast<int64_t>(state.iterations()))
        state.SkipWithError("requests did not come from the pool");
    partition->DestroyPool(pool);
    delete partition;
}

void HeapCycle(benchmark::State& state) {
    KRMM::Partition* partition = NewPartition();
    for (auto _ : state) {
        KRMM::Ptr p = partition->Allocate(kRequest);
        benchmark::DoNotOptimize(p);
        partition->Deallocate(p);
    }
    delete partition;
}

} // namespace

BENCHMARK(PoolCycle)->Name("pool_cycle/hot/pool");
BENCHMARK(HeapCycle)->Name("pool_cycle/hot/heap");

} // namespace krmm_bench
