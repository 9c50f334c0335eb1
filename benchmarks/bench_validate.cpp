// bench_validate.cpp - membership tests against a populated registry.
//
// validate: at 1000, 10000, 100000 and 1000000 live blocks,
// - inline:   GetVerifiedHandle of the data pointer of a live 64-byte block;
// - detached: the same for blocks whose data was moved (an 8-byte block grown
//             to 24 bytes), which the chains find only by walking them all;
// - miss:     GetVerifiedHandle of a pointer that is not a block's (an
//             address inside a live block's data), which walks them all too;
// - handle:   HandleIsValid(h, true) of a live handle.
// Lookups go to random blocks in a fixed random order; the pointers asked
// about are taken in advance, so that only the check touches the blocks'
// memory (or, with the index, not even that). The counter
// index_bytes_per_block is the lookup index's table memory over the live
// blocks (0 where the library has no index). Absolute times: there is no
// raw-heap counterpart; the scale ratios (1M over 1k) are in the report.
#include <memory>

#include <KRMM/Diagnostics.h>

#include "bench_common.h"

namespace krmm_bench {
namespace {

constexpr size_t kSequenceLength = size_t{1} << 16;

enum class Shape { kInline, kDetached };

struct Population {
    KRMM::Partition* partition = NewPartition();
    std::vector<KRMM::Handle> handles;
    std::vector<const char*> data;  // the data pointer of each handle
    std::vector<uint32_t> order;
    Population(uint32_t blocks, Shape shape)
        : handles(blocks), data(blocks), order(SlotSequence(blocks, kSequenceLength, 7)) {
        for (uint32_t i = 0; i < blocks; ++i) {
            handles[i] = partition->NewHandle(shape == Shape::kInline ? 64 : 8);
            if (shape == Shape::kDetached) partition->SetHandleSize(handles[i], 24);
            data[i] = *handles[i];
        }
    }
    ~Population() {
        for (auto h : handles) partition->DisposeHandle(h);
        delete partition;
    }
};

// One population per (size, shape) for the whole run: a million blocks take
// a while to make.
Population& Shared(uint32_t blocks, Shape shape) {
    static std::unique_ptr<Population> slots[2][4];
    const int column = blocks == 1000 ? 0 : blocks == 10000 ? 1 : blocks == 100000 ? 2 : 3;
    auto& slot = slots[shape == Shape::kInline ? 0 : 1][column];
    if (!slot) slot = std::make_unique<Population>(blocks, shape);
    return *slot;
}

void Report(benchmark::State& state, const Population& pop) {
    const KRMM::diag::IndexStatistics stats = KRMM::diag::GetIndexStatistics(*pop.partition);
    state.counters["index_bytes_per_block"] =
        static_cast<double>(stats.tableBytes) / static_cast<double>(pop.handles.size());
}

void VerifyPointer(benchmark::State& state, uint32_t blocks, Shape shape, bool miss) {
    Population& pop = Shared(blocks, shape);
    size_t i = 0;
    for (auto _ : state) {
        const char* p = pop.data[pop.order[i++ & (kSequenceLength - 1)]];
        KRMM::Handle found = pop.partition->GetVerifiedHandle(p + miss * 4);
        benchmark::DoNotOptimize(found);
    }
    Report(state, pop);
}

void VerifyHandle(benchmark::State& state, uint32_t blocks) {
    Population& pop = Shared(blocks, Shape::kInline);
    size_t i = 0;
    for (auto _ : state) {
        KRMM::Handle h = pop.handles[pop.order[i++ & (kSequenceLength - 1)]];
        bool valid = pop.partition->HandleIsValid(h, true);
        benchmark::DoNotOptimize(valid);
    }
    Report(state, pop);
}

} // namespace

#define KRMM_VALIDATE_AT(n)                                                                              \
    BENCHMARK_CAPTURE(VerifyPointer, inline##n, n##u, Shape::kInline, false)->Name("validate/inline" #n "/krmm"); \
    BENCHMARK_CAPTURE(VerifyPointer, detached##n, n##u, Shape::kDetached, false)                         \
        ->Name("validate/detached" #n "/krmm");                                                          \
    BENCHMARK_CAPTURE(VerifyPointer, miss##n, n##u, Shape::kInline, true)->Name("validate/miss" #n "/krmm"); \
    BENCHMARK_CAPTURE(VerifyHandle, handle##n, n##u)->Name("validate/handle" #n "/krmm");

KRMM_VALIDATE_AT(1000)
KRMM_VALIDATE_AT(10000)
KRMM_VALIDATE_AT(100000)
KRMM_VALIDATE_AT(1000000)

} // namespace krmm_bench
