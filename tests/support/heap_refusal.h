// heap_refusal.h - a replaced global operator new for tests.
//
// Behaves like the default one until a HeapRefusal is alive on the calling
// thread; then it records each request of that thread and refuses (throws
// std::bad_alloc) the Nth request from now and every request of at least
// some number of bytes. Other threads are never affected.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace krmm_test {

struct HeapPlan {
    size_t failNth = 0;             ///< refuse request number N (1-based); 0: none
    size_t failAtLeast = SIZE_MAX;  ///< refuse every request of at least this many bytes
};

class HeapRefusal {
public:
    explicit HeapRefusal(HeapPlan plan = {});
    ~HeapRefusal();
    HeapRefusal(const HeapRefusal&) = delete;
    HeapRefusal& operator=(const HeapRefusal&) = delete;

    size_t Requests() const;           ///< requests seen since construction, refused ones included
    size_t Refusals() const;           ///< requests refused since construction
    long LiveDelta() const;            ///< successful allocations minus releases
    std::vector<size_t> Sizes() const; ///< the sizes requested, in order (the first 4096)
};

} // namespace krmm_test
