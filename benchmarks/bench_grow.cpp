// bench_grow.cpp - growing one handle a byte at a time.
//
// grow_append: 100000 times SetHandleSize(h, n + 1) and a write of the new
// byte, starting from NewHandle(0). References:
//   vector - std::vector<char>::push_back, the same bytes;
//   model  - the least any move can do: operator new of the new size plus
//            the slack and the link word, memcpy of the old bytes, operator
//            delete of the old storage, whenever the capacity is exhausted.
// Case "slack16" uses the default move slack (16 bytes); "oversize4096"
// first calls SetHandleOversize(h, 4096, true), and its model uses 4096.
#include <algorithm>
#include <cstring>
#include <new>

#include "bench_common.h"

namespace krmm_bench {
namespace {

constexpr size_t kAppends = 100000;
constexpr size_t kHeaderSize = 136;
constexpr size_t kLinkWord = 8;
constexpr size_t kMinCapacity = 8;

void GrowKrmm(benchmark::State& state, unsigned int oversize) {
    KRMM::Partition* partition = NewPartition();
    for (auto _ : state) {
        KRMM::Handle h = partition->NewHandle(0);
        if (oversize != 0) partition->SetHandleOversize(h, oversize, true);
        for (size_t n = 0; n < kAppends; ++n) {
            if (!partition->SetHandleSize(h, n + 1)) state.SkipWithError("SetHandleSize failed");
            (*h)[n] = static_cast<char>(n);
        }
        benchmark::DoNotOptimize(*h);
        partition->DisposeHandle(h);
    }
    delete partition;
}

void GrowVector(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<char> v;
        for (size_t n = 0; n < kAppends; ++n) v.push_back(static_cast<char>(n));
        benchmark::DoNotOptimize(v.data());
    }
}

void GrowModel(benchmark::State& state, size_t slack) {
    for (auto _ : state) {
        // The first data lives inline in the header's allocation, as NewHandle(0)'s does.
        char* header = static_cast<char*>(::operator new(kHeaderSize + kMinCapacity));
        char* storage = nullptr;
        char* data = header + kHeaderSize;
        size_t capacity = kMinCapacity;
        for (size_t n = 0; n < kAppends; ++n) {
            if (n + 1 > capacity) {
                char* grown = static_cast<char*>(::operator new(n + 1 + slack + kLinkWord));
                std::memcpy(grown + kLinkWord, data, n);
                ::operator delete(storage);
                storage = grown;
                data = grown + kLinkWord;
                capacity = n + 1 + slack;
            }
            data[n] = static_cast<char>(n);
        }
        benchmark::DoNotOptimize(data);
        ::operator delete(storage);
        ::operator delete(header);
    }
}

} // namespace

BENCHMARK_CAPTURE(GrowKrmm, slack16, 0u)->Name("grow_append/slack16/krmm")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(GrowModel, slack16, size_t{16})->Name("grow_append/slack16/model")->Unit(benchmark::kMillisecond);
BENCHMARK(GrowVector)->Name("grow_append/any/vector")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(GrowKrmm, oversize4096, 4096u)->Name("grow_append/oversize4096/krmm")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(GrowModel, oversize4096, size_t{4096})->Name("grow_append/oversize4096/model")->Unit(benchmark::kMillisecond);

} // namespace krmm_bench
