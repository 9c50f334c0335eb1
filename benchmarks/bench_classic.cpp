// bench_classic.cpp - what the classic interface (KRMM/MacMemory.h) adds to
// the Partition members it is built on.
//
// classic_pair/set4096: a working set of 4096 live handles of 200 bytes; each
// step disposes of a random one and makes its replacement through
// ::NewHandle/::DisposeHandle, which also record and forget the block and
// find its zone. Its reference is pair_inline/set4096/krmm (bench_pairs.cpp):
// the same steps through the members.
// classic_size/set4096: GetHandleSize of a random live handle (a zone lookup
// and a header read) against the member (a header read).
#include <KRMM/MacMemory.h>

#include "bench_common.h"

namespace krmm_bench {
namespace {

constexpr long kRequest = 200;
constexpr uint32_t kSetSlots = 4096;
constexpr size_t kSequenceLength = size_t{1} << 16;

// 4096 live classic handles in a zone of their own, current while it lives.
struct ClassicSet {
    ClassicSet() : zone(NewPartition()), slots(kSetSlots) {
        SetZone(zone);
        for (auto& h : slots) h = NewHandle(kRequest);
    }
    ~ClassicSet() {
        for (auto& h : slots) DisposeHandle(h);
        SetZone(nullptr);
        delete zone;
    }
    KRMM::Partition* zone;
    std::vector<Handle> slots;
};

void ClassicPairSet(benchmark::State& state) {
    ClassicSet set;
    const std::vector<uint32_t> seq = SlotSequence(kSetSlots, kSequenceLength, 1);
    size_t i = 0;
    for (auto _ : state) {
        Handle& h = set.slots[seq[i++ & (kSequenceLength - 1)]];
        DisposeHandle(h);
        h = NewHandle(kRequest);
        benchmark::DoNotOptimize(h);
    }
}

template <bool kClassic>
void ClassicSizeSet(benchmark::State& state) {
    ClassicSet set;
    const std::vector<uint32_t> seq = SlotSequence(kSetSlots, kSequenceLength, 2);
    size_t i = 0;
    for (auto _ : state) {
        Handle h = set.slots[seq[i++ & (kSequenceLength - 1)]];
        if constexpr (kClassic) {
            benchmark::DoNotOptimize(GetHandleSize(h));
        } else {
            benchmark::DoNotOptimize(set.zone->GetHandleSize(h));
        }
    }
}

} // namespace

BENCHMARK(ClassicPairSet)->Name("classic_pair/set4096/krmm");
BENCHMARK(ClassicSizeSet<true>)->Name("classic_size/set4096/krmm");
BENCHMARK(ClassicSizeSet<false>)->Name("classic_size/set4096/member");

} // namespace krmm_bench
