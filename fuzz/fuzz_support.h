// fuzz_support.h - the plumbing of the partition fuzzer: reading the input,
// failing loudly, arming heap refusals around library calls, and recording
// what callbacks, destructors and copy procedures were told.
//
// Every library call of the fuzzer runs inside Guarded(): the replaced
// operator new of tests/support/heap_refusal.cpp is armed for exactly that
// call, so the model's own allocations are never counted or refused, and the
// sum of all LiveDelta() values is what the library still holds.
//
// The recorders write into fixed arrays: they run inside library calls, while
// the heap may be refusing, and must not allocate.
//
// Thread safety: single-threaded, like the fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <KRMM/KRMM.h>

#include "assert_log.h"
#include "heap_refusal.h"

namespace krmm_fuzz {

// A mismatch between the library and the model: print and abort, so that
// libFuzzer keeps the input.
[[noreturn]] void Mismatch(const char* file, int line, const char* condition, const std::string& detail);

#define FUZZ_CHECK(cond, detail)                                                 \
    do {                                                                         \
        if (!(cond)) ::krmm_fuzz::Mismatch(__FILE__, __LINE__, #cond, (detail)); \
    } while (0)

std::string Fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Reads the byte stream front to back; past its end every read yields 0.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Done() const { return pos_ >= size_; }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    uint32_t U32() { return U16() | (static_cast<uint32_t>(U16()) << 16); }
    bool Bit() { return (Byte() & 1) != 0; }
    // A data size: mostly small, often around the inline limit, sometimes so
    // large that no heap can give it (and no sum with it fits in size_t).
    size_t Size();

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Sizes at or above this are refused by every heap the fuzzer runs on.
inline constexpr size_t kHugeSize = size_t{1} << 62;

// What a Guarded() call saw of the heap.
struct HeapStats {
    size_t requests = 0;
    size_t refusals = 0;
    long liveDelta = 0;
};

// Running totals over a whole input.
struct Totals {
    long live = 0;          // allocations minus releases made inside the library
    size_t refusals = 0;    // refusals injected or met
};
Totals& RunTotals();

// The fault plan of one operation: 0 none, n > 0 refuse the n-th heap request.
// Requests of kHugeSize and more are always refused.
template <class F>
HeapStats Guarded(size_t failNth, F&& call) {
    HeapStats stats;
    {
        krmm_test::HeapRefusal arm(krmm_test::HeapPlan{failNth, kHugeSize, false});
        call();
        stats.requests = arm.Requests();
        stats.refusals = arm.Refusals();
        stats.liveDelta = arm.LiveDelta();
    }
    RunTotals().live += stats.liveDelta;
    RunTotals().refusals += stats.refusals;
    return stats;
}

// ---- memory callbacks: kCallbackProcs distinct functions, one recorder.
inline constexpr int kCallbackProcs = 130;  // more than the 128 slots of a table
KRMM::MemoryCallbackProc CallbackProc(int index);  // index -1 gives null
int CallbackIndex(KRMM::MemoryCallbackProc proc);   // -1 when not one of ours

struct Heard {
    int proc;
    int event;
    size_t size;
    void* userData;
};
struct HeardLog {
    static constexpr size_t kMax = 256;
    Heard entries[kMax];
    size_t count = 0;
};
HeardLog& Notifications();

// ---- block destructors: a few distinct functions, one recorder.
inline constexpr int kDestructorProcs = 3;
KRMM::BlockDestructorProc DestructorProc(int index);  // index -1 gives null

struct DestructorCall {
    int proc;
    const void* data;
    bool sawInstantiated;  // what GetInstantiatedState said inside the call
};
struct DestructorLog {
    static constexpr size_t kMax = 64;
    DestructorCall entries[kMax];
    size_t count = 0;
    const KRMM::Partition* partition = nullptr;  // asked for the instantiated state
};
DestructorLog& Destructors();

// Clears both recorders before an operation.
void ResetRecorders(const KRMM::Partition* partition);

// ---- the content pattern of a block: byte i of seed s.
inline uint8_t PatternByte(uint32_t seed, size_t i) {
    return static_cast<uint8_t>(seed * 131u + i * 7u + (i >> 8) * 13u);
}
void FillPattern(uint8_t* out, size_t n, uint32_t seed);

} // namespace krmm_fuzz
