// krmm_test.h - what every test file starts from: GoogleTest, KRMM, the heap
// and report recorders, header access, a byte pattern to check after every
// move, registry totals, and a log of memory-callback calls that never
// allocates (so it works while a HeapRefusal refuses).
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/KRMM.h>

#include "assert_log.h"
#include "heap_refusal.h"

namespace krmm_test {

using KRMM::Handle;
using KRMM::MemoryBlock;
using KRMM::Partition;
using std::make_tuple;

/// The header of a handle (a handle is the header's address), and back.
inline MemoryBlock* Hdr(const void* handle) { return static_cast<MemoryBlock*>(const_cast<void*>(handle)); }
inline Handle AsHandle(const MemoryBlock* block) { return reinterpret_cast<Handle>(const_cast<MemoryBlock*>(block)); }

inline char PatternByte(size_t i, unsigned seed) { return static_cast<char>(i * 131 + seed); }
inline void Fill(char* p, size_t n, unsigned seed) {
    for (size_t i = 0; i < n; ++i) p[i] = PatternByte(i, seed);
}
/// Success when the first n bytes at p still hold Fill's pattern for `seed`.
inline ::testing::AssertionResult Holds(const char* p, size_t n, unsigned seed) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != PatternByte(i, seed)) return ::testing::AssertionFailure() << "byte " << i << " of " << n;
    return ::testing::AssertionSuccess();
}

/// Headers linked in a registry, from its per-chain counts.
inline unsigned long Linked(const unsigned long (&counts)[1024]) {
    unsigned long n = 0;
    for (unsigned long c : counts) n += c;
    return n;
}

/// The calls of a memory callback: Hear logs them into g_heard.
struct Heard {
    int event;
    size_t size;
    void* userData;
};
inline Heard g_heard[16];
inline size_t g_heardCount = 0;
inline void Hear(int event, size_t size, void* userData) {
    if (g_heardCount < 16) g_heard[g_heardCount] = Heard{event, size, userData};
    ++g_heardCount;
}

} // namespace krmm_test
