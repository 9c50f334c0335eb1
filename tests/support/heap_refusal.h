// heap_refusal.h - a replaced global operator new for tests.
//
// Every test binary links a replacement of the global operator new/delete.
// It behaves like the default one until a HeapRefusal is alive on the calling
// thread; then it counts and records each request of that thread and refuses
// (throws std::bad_alloc) the ones the plan names: the Nth request from now,
// and/or every request of at least some number of bytes. Other threads are
// never affected.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace krmm_test {

struct HeapPlan {
    size_t failNth = 0;                  ///< refuse request number N (1-based); 0: none
    size_t failAtLeast = SIZE_MAX;       ///< refuse every request of at least this many bytes
    bool failAllAfterNth = false;        ///< with failNth: also refuse every later request
};

class HeapRefusal {
public:
    explicit HeapRefusal(HeapPlan plan = {});
    ~HeapRefusal();
    HeapRefusal(const HeapRefusal&) = delete;
    HeapRefusal& operator=(const HeapRefusal&) = delete;

    static HeapRefusal FailNth(size_t n) { return HeapRefusal(HeapPlan{n, SIZE_MAX, false}); }
    static HeapRefusal FailAtLeast(size_t bytes) { return HeapRefusal(HeapPlan{0, bytes, false}); }
    static HeapRefusal RecordOnly() { return HeapRefusal(HeapPlan{}); }

    /// Requests seen (refused ones included) since construction.
    size_t Requests() const;
    /// Requests refused since construction.
    size_t Refusals() const;
    /// Successful allocations minus deallocations since construction.
    long LiveDelta() const;
    /// The sizes of the requests seen, in order (at most the first 4096).
    std::vector<size_t> Sizes() const;
};

} // namespace krmm_test
