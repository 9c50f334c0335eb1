// snapshots.cpp - block lists that survive address reuse, and what the
// lookup index reports about itself.
//
// A snapshot pairs each live block's handle with its allocation sequence
// number from the lookup index (core/block_index.h). Comparing pairs rather
// than addresses tells a block that was released during an edit and whose
// address a new block then took from the block that was there before.
//
// Thread safety: no lock; the chains and the index are read as they stand,
// so the caller keeps other threads from allocating or releasing in the
// partition meanwhile.
#include <unordered_set>
#include <vector>

#include <KRMM/Diagnostics.h>
#include <KRMM/KRMM.h>

#include "core/block_index.h"
#include "core/hardening.h"
#include "core/layout.h"

namespace KRMM::diag {
namespace {

struct StampHash {
    size_t operator()(const BlockStamp& stamp) const noexcept {
        return std::hash<const void*>{}(stamp.handle) ^ (stamp.sequence * 0x9E3779B97F4A7C15ull);
    }
};
struct StampEqual {
    bool operator()(const BlockStamp& a, const BlockStamp& b) const noexcept {
        return a.handle == b.handle && a.sequence == b.sequence;
    }
};

// Calls `visit` with the stamp of every live ordinary block, in chain order.
template <class Visit>
void ForEachStamp(const Partition& partition, Visit visit) {
    for (size_t i = 0; i < KRMM::detail::kBucketCount; ++i) {
        for (const MemoryBlock* block = partition.blockBuckets[i]; block != nullptr; block = block->next)
            visit(BlockStamp{block, KRMM::detail::FindHandle(partition, block, true).sequence});
    }
}

} // namespace

bool HardenedChecks() noexcept {
    return KRMM::detail::kHardened;
}

IndexStatistics GetIndexStatistics(const Partition& partition) noexcept {
    const KRMM::detail::IndexFootprint footprint = KRMM::detail::FootprintOf(partition);
    return {footprint.entries, footprint.liveBytes, footprint.retiredBytes};
}

std::vector<BlockStamp> TakeBlockSnapshot(const Partition& partition) {
    // Blocks registered before the first snapshot read 0: every later block
    // has a number, so none of them can pass for one of these.
    KRMM::detail::EnableSequences(partition);
    std::vector<BlockStamp> stamps;
    ForEachStamp(partition, [&](const BlockStamp& stamp) { stamps.push_back(stamp); });
    return stamps;
}

std::vector<const void*> BlocksNewSince(const Partition& partition, const std::vector<BlockStamp>& before) {
    const std::unordered_set<BlockStamp, StampHash, StampEqual> known(before.begin(), before.end());
    std::vector<const void*> fresh;
    ForEachStamp(partition, [&](const BlockStamp& stamp) {
        if (known.count(stamp) == 0) fresh.push_back(stamp.handle);
    });
    return fresh;
}

} // namespace KRMM::diag
