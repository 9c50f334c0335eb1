// bench_classic.cpp - what the classic interface (KRMM/MacMemory.h) adds to
// the Partition members it is built on.
//
// classic_pair/set4096: a working set of 4096 live handles of 200 bytes; each
// step disposes of a random one and makes its replacement, through
// ::NewHandle/::DisposeHandle ("krmm") against the members of the same
// partition ("member"). The classic side also records and forgets the block
// and finds its zone.
// classic_size/set4096: GetHandleSize of a random live handle (a zone lookup
// and a header read) against the member (a header read).
#include <KRMM/MacMemory.h>

#include "bench_common.h"

namespace krmm_bench {
namespace {

constexpr long kRequest = 200;
constexpr uint32_t kSetSlots = 4096;
constexpr size_t kSequenceLength = size_t{1} << 16;

void ClassicPairSetKrmm(benchmark::State& state) {
    KRMM::Partition* partition = NewPartition();
    SetZone(partition);
    std::vector<Handle> slots(kSetSlots);
    for (auto& h : slots) h = NewHandle(kRequest);
    const std::vector<uint32_t> seq = SlotSequence(kSetSlots, kSequenceLength, 1);
    size_t i = 0;
    for (auto _ : state) {
        Handle& h = slots[seq[i++ & (kSequenceLength - 1)]];
        DisposeHandle(h);
        h = NewHandle(kRequest);
        benchmark::DoNotOptimize(h);
    }
    for (auto& h : slots) DisposeHandle(h);
    SetZone(nullptr);
    delete partition;
}

void ClassicPairSetMember(benchmark::State& state) {
    KRMM::Partition* partition = NewPartition();
    std::vector<KRMM::Handle> slots(kSetSlots);
    for (auto& h : slots) h = partition->NewHandle(kRequest);
    const std::vector<uint32_t> seq = SlotSequence(kSetSlots, kSequenceLength, 1);
    size_t i = 0;
    for (auto _ : state) {
        KRMM::Handle& h = slots[seq[i++ & (kSequenceLength - 1)]];
        partition->DisposeHandle(h);
        h = partition->NewHandle(kRequest);
        benchmark::DoNotOptimize(h);
    }
    for (auto& h : slots) partition->DisposeHandle(h);
    delete partition;
}

template <bool kClassic>
void ClassicSizeSet(benchmark::State& state) {
    KRMM::Partition* partition = NewPartition();
    SetZone(partition);
    std::vector<Handle> slots(kSetSlots);
    for (auto& h : slots) h = NewHandle(kRequest);
    const std::vector<uint32_t> seq = SlotSequence(kSetSlots, kSequenceLength, 2);
    size_t i = 0;
    for (auto _ : state) {
        Handle h = slots[seq[i++ & (kSequenceLength - 1)]];
        if constexpr (kClassic) {
            benchmark::DoNotOptimize(GetHandleSize(h));
        } else {
            benchmark::DoNotOptimize(partition->GetHandleSize(h));
        }
    }
    for (auto& h : slots) DisposeHandle(h);
    SetZone(nullptr);
    delete partition;
}

} // namespace

BENCHMARK(ClassicPairSetKrmm)->Name("classic_pair/set4096/krmm");
BENCHMARK(ClassicPairSetMember)->Name("classic_pair/set4096/member");
BENCHMARK(ClassicSizeSet<true>)->Name("classic_size/set4096/krmm");
BENCHMARK(ClassicSizeSet<false>)->Name("classic_size/set4096/member");

} // namespace krmm_bench
