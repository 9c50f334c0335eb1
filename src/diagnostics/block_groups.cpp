// block_groups.cpp - live blocks grouped by the call stack that allocated
// them, and the frame descriptions the reports print.
//
// A block's stack is its record (made for every block handed out while
// tracing was on) without slot 0, the capturing routine, up to the first null slot.
// Blocks are weighed by memSize. The membership test and the copy of a
// block's size and record happen together under KRMM_CriticalSection, so a
// record is never read while a capture replaces it and a block that was
// released since the list was taken is skipped, not read. Everything that
// allocates (the groups, the keys) runs after the lock is released.
//
// Thread safety: the lock is taken once per block, for a chain walk and a
// copy of at most 59 words. The caller keeps other threads from releasing
// blocks of the partition during the call (a block released between the copy
// and the end of the call is simply counted).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <KRMM/Diagnostics.h>
#include <KRMM/KRMM.h>

#include "core/layout.h"
#include "core/registry.h"
#include "diagnostics/frame_info.h"
#include "platform/lock.h"
#include "platform/prim.h"

namespace KRMM::diag {
namespace {

struct StackHash {
    size_t operator()(const std::vector<void*>& frames) const noexcept {
        size_t hash = frames.size();
        for (void* frame : frames)
            hash = hash * 1099511628211u ^ std::hash<const void*>{}(frame);
        return hash;
    }
};

using HandleSet = std::unordered_set<const void*, detail::AddressHash>;

struct BlockSnapshot {
    size_t size = 0;
    size_t frameCount = 0;  // frames after slot 0, up to the first null
    void* frames[KRMM::detail::kStackSlots];
};

// Copies the size and stack of `handle` while it is registered in the
// ordinary registry. \returns false for a block that is not (any more).
bool Snapshot(const Partition& partition, const void* handle, BlockSnapshot* out) noexcept {
    const unsigned long bucket = Partition::GetMemoryBlockHash(static_cast<const MemoryBlock*>(handle));
    KRMM::detail::CriticalSection lock;
    if (!KRMM::detail::ChainHolds(partition.blockBuckets[bucket], handle)) return false;
    const MemoryBlock* block = static_cast<const MemoryBlock*>(handle);
    out->size = block->memSize;
    out->frameCount = 0;
    if (const std::vector<void*>* record = block->stackTrace) {
        const size_t slots = std::min(record->size(), KRMM::detail::kStackSlots);
        for (size_t i = 1; i < slots && (*record)[i] != nullptr; ++i)
            out->frames[out->frameCount++] = (*record)[i];
    }
    return true;
}

BlockGroups Group(const Partition& partition, const std::vector<const void*>& candidates,
                  const HandleSet& excluded) {
    BlockGroups result;
    std::unordered_map<std::vector<void*>, size_t, StackHash> index;
    HandleSet seen;
    BlockSnapshot snapshot;
    std::vector<void*> key;
    for (const void* handle : candidates) {
        if (handle == nullptr || excluded.count(handle) != 0 || !seen.insert(handle).second) continue;
        if (!Snapshot(partition, handle, &snapshot)) continue;
        key.assign(snapshot.frames, snapshot.frames + snapshot.frameCount);
        auto [slot, added] = index.try_emplace(key, result.groups.size());
        if (added) result.groups.push_back(StackGroup{key, 0, 0});
        StackGroup& group = result.groups[slot->second];
        group.blockCount += 1;
        group.byteCount += snapshot.size;
        result.blockCount += 1;
        result.byteCount += snapshot.size;
    }
    std::sort(result.groups.begin(), result.groups.end(), [](const StackGroup& a, const StackGroup& b) {
        if (a.byteCount != b.byteCount) return a.byteCount > b.byteCount;
        if (a.blockCount != b.blockCount) return a.blockCount > b.blockCount;
        return std::lexicographical_compare(a.frames.begin(), a.frames.end(), b.frames.begin(),
                                            b.frames.end(), std::less<void*>{});
    });
    return result;
}

std::vector<const void*> LiveBlocks(const Partition& partition) {
    std::vector<const void*> blocks;
    blocks.resize(partition.GetAllBlocks(blocks));
    return blocks;
}

} // namespace

BlockGroups GroupNewBlocks(const Partition& partition, const std::vector<const void*>& before,
                           const std::vector<const void*>& after) {
    const HandleSet old(before.begin(), before.end());
    return Group(partition, after, old);
}

BlockGroups GroupNewBlocks(const Partition& partition, const std::vector<const void*>& before) {
    return GroupNewBlocks(partition, before, LiveBlocks(partition));
}

BlockGroups GroupLiveBlocks(const Partition& partition) {
    return Group(partition, LiveBlocks(partition), {});
}

namespace detail {

std::string Demangle(const char* symbol) {
    const std::unique_ptr<char, prim::FreeDeleter> demangled(prim::Demangle(symbol));
    return demangled != nullptr ? std::string(demangled.get()) : std::string(symbol);
}

std::string FrameInfo::DisplayName() const {
    if (!function.empty()) return function;
    char text[64];
    if (!module.empty() && moduleStart != 0 && address >= moduleStart) {
        std::snprintf(text, sizeof text, "+0x%jx", static_cast<uintmax_t>(address - moduleStart));
        return module + text;
    }
    std::snprintf(text, sizeof text, "0x%jx", static_cast<uintmax_t>(address));
    return text;
}

const FrameInfo& FrameTable::Describe(const void* frame) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(frame);
    if (auto known = frames_.find(address); known != frames_.end()) return *known->second;

    auto info = std::make_unique<FrameInfo>();
    info->address = address;
    prim::FrameDetail detail;
    char file[4096];
    if (prim::DescribeFrame(frame, &detail, file, sizeof file)) {
        if (detail.module != nullptr) info->module = detail.module;
        if (detail.modulePath != nullptr) info->modulePath = detail.modulePath;
        info->moduleStart = detail.moduleStart;
        info->moduleLimit = detail.moduleLimit;
        info->moduleOffset = detail.moduleOffset;
        info->mainProgram = detail.mainProgram;
        if (detail.symbol != nullptr) {
            info->symbol = detail.symbol;
            info->function = Demangle(detail.symbol);
            info->offset = detail.offset;
        }
        info->file = file;
        info->line = detail.line;
    }
    return *frames_.emplace(address, std::move(info)).first->second;
}

} // namespace detail
} // namespace KRMM::diag
