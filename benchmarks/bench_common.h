// bench_common.h - shared pieces of the KRMM benchmarks.
//
// Naming: every benchmark is "<group>/<case>/<side>", where side is "krmm"
// for the library and another word ("raw", "vector", "model", ...) for the
// reference it is compared against. scripts/bench_report.py pairs them up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include <KRMM/KRMM.h>

namespace krmm_bench {

/// A small, fast, seeded generator: the same sequence on both sides of a comparison.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint64_t Next() {
        uint64_t x = state_;
        x ^= x >> 12;
        x ^= x << 25;
        x ^= x >> 27;
        state_ = x;
        return x * 0x2545F4914F6CDD1Dull;
    }
    /// Uniform in [0, n).
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(((Next() >> 32) * n) >> 32); }

private:
    uint64_t state_;
};

/// A precomputed sequence of slot indices, so that drawing a slot costs the
/// same (one load) on both sides.
inline std::vector<uint32_t> SlotSequence(uint32_t slots, size_t length, uint64_t seed) {
    Rng rng(seed);
    std::vector<uint32_t> seq(length);
    for (auto& s : seq) s = rng.Below(slots);
    return seq;
}

/// A partition on the heap (the record is large); destroyed with its blocks.
inline KRMM::Partition* NewPartition() {
    return new KRMM::Partition();
}

} // namespace krmm_bench
