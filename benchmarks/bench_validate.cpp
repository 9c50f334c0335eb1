// bench_validate.cpp - membership tests against a populated registry.
//
// validate: GetVerifiedHandle of the data pointer of a live inline block, and
// HandleIsValid(h, true) of a live handle, at 1000 and 10000 live blocks of
// 64 bytes, looked up in a random order. Absolute times: there is no raw-heap
// counterpart.
#include "bench_common.h"

namespace krmm_bench {
namespace {

constexpr size_t kRequest = 64;
constexpr size_t kSequenceLength = size_t{1} << 16;

struct Population {
    KRMM::Partition* partition = NewPartition();
    std::vector<KRMM::Handle> handles;
    std::vector<uint32_t> order;
    explicit Population(uint32_t blocks) : handles(blocks), order(SlotSequence(blocks, kSequenceLength, 7)) {
        for (auto& h : handles) h = partition->NewHandle(kRequest);
    }
    ~Population() {
        for (auto h : handles) partition->DisposeHandle(h);
        delete partition;
    }
};

void VerifyPointer(benchmark::State& state, uint32_t blocks) {
    Population pop(blocks);
    size_t i = 0;
    for (auto _ : state) {
        KRMM::Handle h = pop.handles[pop.order[i++ & (kSequenceLength - 1)]];
        KRMM::Handle found = pop.partition->GetVerifiedHandle(*h);
        benchmark::DoNotOptimize(found);
    }
}

void VerifyHandle(benchmark::State& state, uint32_t blocks) {
    Population pop(blocks);
    size_t i = 0;
    for (auto _ : state) {
        KRMM::Handle h = pop.handles[pop.order[i++ & (kSequenceLength - 1)]];
        bool valid = pop.partition->HandleIsValid(h, true);
        benchmark::DoNotOptimize(valid);
    }
}

} // namespace

BENCHMARK_CAPTURE(VerifyPointer, 1000, 1000u)->Name("validate/pointer1000/krmm");
BENCHMARK_CAPTURE(VerifyPointer, 10000, 10000u)->Name("validate/pointer10000/krmm");
BENCHMARK_CAPTURE(VerifyHandle, 1000, 1000u)->Name("validate/handle1000/krmm");
BENCHMARK_CAPTURE(VerifyHandle, 10000, 10000u)->Name("validate/handle10000/krmm");

} // namespace krmm_bench
