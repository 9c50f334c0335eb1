// statistics.cpp - the allocation-size histogram, the counter report and the
// two debug-output functions.
//
// The histogram holds only what the application records: nothing in the
// library calls MemoryStat_AddAlloc. A size counts in the class numbered by
// how many of the first twelve bounds are <= the size, so a size equal to a
// bound counts in the class above the label that ends at it, and the last
// class has no upper limit. The report goes to standard output line by line
// through OutputDebugStringA.
//
// Thread safety: no lock is taken. The histogram and the counters are
// updated with relaxed atomic increments; the report reads each counter and
// the current pool's header as they stand, so a report taken while other
// threads allocate is a set of individually exact but unsynchronised values.
#include <cstdio>
#include <type_traits>

#include <KRMM/KRMM.h>

#include "core/counters.h"
#include "core/layout.h"

namespace KRMM {
namespace {

// Bounds compared when classifying; the thirteenth bound only labels.
constexpr size_t kComparedBounds = detail::kStatClasses - 1;
constexpr size_t kLineBufferSize = 256;   // every report line fits
constexpr size_t kLabelBufferSize = 128;  // every label fits (44 bytes at most)
// The signed type of size_t, which printf's %zd reads.
using SignedSize = std::make_signed_t<size_t>;

} // namespace

void OutputDebugStringA(const char* text) {
    if (text != nullptr) std::printf("%s", text);
}

void Partition::MemoryStat_AddAlloc(size_t size) {
    // The size must be positive; a size of 0 is left out of the histogram.
    if (size == 0) return;
    size_t slot = 0;
    for (size_t i = 0; i < kComparedBounds; ++i) slot += statSlotBounds[i] <= size ? 1 : 0;
    detail::CounterAdd(statSlotCounts[slot], size_t{1});
    detail::CounterAdd(statTotal, 1);
}

void Partition::MemoryStat_GetSlotBoundsStr(char* dst, size_t slot) const {
    if (slot >= detail::kStatClasses) {
        dst[0] = '\0';  // no such class
        return;
    }
    const unsigned long long low = slot == 0 ? 0ull : statSlotBounds[slot - 1] + 1ull;
    const unsigned long long high = statSlotBounds[slot];
    std::snprintf(dst, 44, "%llu - %llu", low, high);
}

void Partition::PrintMemoryStats(unsigned int options) const {
    char line[kLineBufferSize];

    std::snprintf(line, sizeof line,
                  "KRMM: numCalls: %d. numBlocks: %zd. bytesAllocated: %zd   numAllocates: %zd   "
                  "numpoolHits: %zd\n",
                  detail::CounterLoad(numCalls), static_cast<SignedSize>(detail::CounterLoad(numBlocks)),
                  static_cast<SignedSize>(detail::CounterLoad(bytesAllocated)),
                  static_cast<SignedSize>(detail::CounterLoad(numAllocates)),
                  static_cast<SignedSize>(detail::CounterLoad(numpoolHits)));
    OutputDebugStringA(line);

    // A current pool is reported whether or not pooled allocation is on.
    const Handle pool = currentPool;
    std::snprintf(line, sizeof line, "Pool: %s\n", pool != nullptr ? "present" : "absent");
    OutputDebugStringA(line);
    if (pool != nullptr) {
        const PoolHeader* header = detail::PoolHeaderOf(pool);
        std::snprintf(line, sizeof line, "    TotalHandles: %zd    NumUsed: %zd\n",
                      static_cast<SignedSize>(header->blockCount),
                      static_cast<SignedSize>(header->blockCount - header->freeCount));
        OutputDebugStringA(line);
    }

    const int32_t total = detail::CounterLoad(statTotal);
    if ((options & 1u) == 0 || total <= 0) return;
    char label[kLabelBufferSize];
    for (size_t slot = 0; slot < detail::kStatClasses; ++slot) {
        const size_t count = detail::CounterLoad(statSlotCounts[slot]);
        MemoryStat_GetSlotBoundsStr(label, slot);
        std::snprintf(line, sizeof line, "%zu) %zu allocations in range %s (%.2f%%)\n", slot, count, label,
                      static_cast<double>(count) * 100.0 / static_cast<double>(total));
        OutputDebugStringA(line);
    }
}

} // namespace KRMM

void OutputDebugString(char* text) {
    if (text != nullptr) std::puts(text);
}
