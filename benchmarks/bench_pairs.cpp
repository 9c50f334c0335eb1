// bench_pairs.cpp - one allocation and its release, against the raw heap.
//
// pair_inline:   NewHandle(200) + DisposeHandle, one heap allocation of
//                136 + 200 = 336 bytes; reference operator new(336) + delete.
// pair_detached: NewHandle(5008) + DisposeHandle, a 144-byte header and
//                5008 + 8 bytes of storage; reference operator new(144) +
//                operator new(5016) and both deletes, in the library's order.
//
// Each in two shapes: "hot" (allocate and release the same block at once) and
// "set4096" (a working set of 4096 live blocks; each step releases a random
// one and allocates its replacement).
#include <new>

#include "bench_common.h"

namespace krmm_bench {
namespace {

constexpr size_t kInlineRequest = 200;
constexpr size_t kInlineHeap = 136 + kInlineRequest;
constexpr size_t kDetachedRequest = 5008;
constexpr size_t kDetachedHeader = 144;
constexpr size_t kDetachedStorage = kDetachedRequest + 8;
constexpr uint32_t kSetSlots = 4096;
constexpr size_t kSequenceLength = size_t{1} << 16;

// ---------------------------------------------------------------- hot loops

void PairInlineHotKrmm(benchmark::State& state) {
    KRMM::Partition* partition = NewPartition();
    for (auto _ : state) {
        KRMM::Handle h = partition->NewHandle(kInlineRequest);
        benchmark::DoNotOptimize(h);
        partition->DisposeHandle(h);
    }
    delete partition;
}

void PairInlineHotRaw(benchmark::State& state) {
    for (auto _ : state) {
        void* p = ::operator new(kInlineHeap);
        benchmark::DoNotOptimize(p);
        ::operator delete(p);
    }
}

void PairDetachedHotKrmm(benchmark::State& state) {
    KRMM::Partition* partition = NewPartition();
    for (auto _ : state) {
        KRMM::Handle h = partition->NewHandle(kDetachedRequest);
        benchmark::DoNotOptimize(h);
        partition->DisposeHandle(h);
    }
    delete partition;
}

void PairDetachedHotRaw(benchmark::State& state) {
    for (auto _ : state) {
        void* header = ::operator new(kDetachedHeader);
        benchmark::DoNotOptimize(header);
        void* storage = ::operator new(kDetachedStorage);
        benchmark::DoNotOptimize(storage);
        ::operator delete(storage);
        ::operator delete(header);
    }
}

// ---------------------------------------------------------- working sets

template <size_t kRequest>
void PairSetKrmm(benchmark::State& state) {
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

void PairInlineSetRaw(benchmark::State& state) {
    std::vector<void*> slots(kSetSlots);
    for (auto& p : slots) p = ::operator new(kInlineHeap);
    const std::vector<uint32_t> seq = SlotSequence(kSetSlots, kSequenceLength, 1);
    size_t i = 0;
    for (auto _ : state) {
        void*& p = slots[seq[i++ & (kSequenceLength - 1)]];
        ::operator delete(p);
        p = ::operator new(kInlineHeap);
        benchmark::DoNotOptimize(p);
    }
    for (auto p : slots) ::operator delete(p);
}

struct DetachedPair {
    void* header;
    void* storage;
};

void PairDetachedSetRaw(benchmark::State& state) {
    std::vector<DetachedPair> slots(kSetSlots);
    for (auto& s : slots) s = {::operator new(kDetachedHeader), ::operator new(kDetachedStorage)};
    const std::vector<uint32_t> seq = SlotSequence(kSetSlots, kSequenceLength, 1);
    size_t i = 0;
    for (auto _ : state) {
        DetachedPair& s = slots[seq[i++ & (kSequenceLength - 1)]];
        ::operator delete(s.storage);
        ::operator delete(s.header);
        s.header = ::operator new(kDetachedHeader);
        benchmark::DoNotOptimize(s.header);
        s.storage = ::operator new(kDetachedStorage);
        benchmark::DoNotOptimize(s.storage);
    }
    for (auto& s : slots) {
        ::operator delete(s.storage);
        ::operator delete(s.header);
    }
}

} // namespace

BENCHMARK(PairInlineHotKrmm)->Name("pair_inline/hot/krmm");
BENCHMARK(PairInlineHotRaw)->Name("pair_inline/hot/raw");
BENCHMARK(PairSetKrmm<kInlineRequest>)->Name("pair_inline/set4096/krmm");
BENCHMARK(PairInlineSetRaw)->Name("pair_inline/set4096/raw");
BENCHMARK(PairDetachedHotKrmm)->Name("pair_detached/hot/krmm");
BENCHMARK(PairDetachedHotRaw)->Name("pair_detached/hot/raw");
BENCHMARK(PairSetKrmm<kDetachedRequest>)->Name("pair_detached/set4096/krmm");
BENCHMARK(PairDetachedSetRaw)->Name("pair_detached/set4096/raw");

} // namespace krmm_bench
