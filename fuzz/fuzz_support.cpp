// fuzz_support.cpp - recorders, procedures and helpers of the partition fuzzer.
#include "fuzz_support.h"

#include <array>
#include <cstdarg>
#include <utility>

// Huge requests are refusals, not reports: the sanitizer's allocator returns
// null (and the replaced operator new throws std::bad_alloc) instead of dying.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1:detect_leaks=1";
}

namespace krmm_fuzz {

void Mismatch(const char* file, int line, const char* condition, const std::string& detail) {
    std::fprintf(stderr, "\nKRMM fuzz mismatch at %s:%d: %s\n  %s\n", file, line, condition, detail.c_str());
    std::abort();
}

std::string Fmt(const char* format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

size_t Reader::Size() {
    const uint8_t kind = Byte();
    switch (kind % 16) {
        case 0: return 0;
        case 1: case 2: case 3: return Byte() % 17;
        case 4: case 5: case 6: case 7: return U16() % 400;
        case 8: case 9: return 4990 + Byte() % 21;                  // around the inline limit
        case 10: case 11: return 5000 + U16() % 15000;              // detached
        case 12: return U16() % 2000;
        case 13: return 10000 - 10 + Byte() % 21;                   // a shrink tolerance edge
        case 14: return ~size_t{0} - Byte();                        // wraps anything added to it
        default: return kHugeSize + (size_t{U16()} << 40);          // representable, never granted
    }
}

Totals& RunTotals() {
    static Totals totals;
    return totals;
}

HeardLog& Notifications() {
    static HeardLog log;
    return log;
}

DestructorLog& Destructors() {
    static DestructorLog log;
    return log;
}

void ResetRecorders(const KRMM::Partition* partition) {
    Notifications().count = 0;
    Destructors().count = 0;
    Destructors().partition = partition;
}

namespace {

template <int N>
void Listener(int event, size_t size, void* userData) {
    HeardLog& log = Notifications();
    if (log.count < HeardLog::kMax) log.entries[log.count] = Heard{N, event, size, userData};
    ++log.count;
}

template <int... N>
constexpr auto MakeListeners(std::integer_sequence<int, N...>) {
    return std::array<KRMM::MemoryCallbackProc, sizeof...(N)>{&Listener<N>...};
}

template <int N>
void Destructor(const void* data) {
    DestructorLog& log = Destructors();
    const bool state = log.partition != nullptr && log.partition->GetInstantiatedState(data);
    if (log.count < DestructorLog::kMax) log.entries[log.count] = DestructorCall{N, data, state};
    ++log.count;
}

const auto kListeners = MakeListeners(std::make_integer_sequence<int, kCallbackProcs>{});
const KRMM::BlockDestructorProc kDestructors[kDestructorProcs] = {&Destructor<0>, &Destructor<1>, &Destructor<2>};

} // namespace

KRMM::MemoryCallbackProc CallbackProc(int index) {
    return index < 0 ? nullptr : kListeners[static_cast<size_t>(index % kCallbackProcs)];
}

int CallbackIndex(KRMM::MemoryCallbackProc proc) {
    for (int i = 0; i < kCallbackProcs; ++i)
        if (kListeners[static_cast<size_t>(i)] == proc) return i;
    return -1;
}

KRMM::BlockDestructorProc DestructorProc(int index) {
    return index < 0 ? nullptr : kDestructors[index % kDestructorProcs];
}

void FillPattern(uint8_t* out, size_t n, uint32_t seed) {
    for (size_t i = 0; i < n; ++i) out[i] = PatternByte(seed, i);
}

} // namespace krmm_fuzz
