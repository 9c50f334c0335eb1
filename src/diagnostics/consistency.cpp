// consistency.cpp - a full check of a partition's records.
//
// Walks both registries bucket by bucket and the current pool, and reports
// every broken invariant as one line of text:
//
//  - chains: a head's prev is null, each header's prev is the one before it,
//    its bucket field is the chain's index and the hash of its address, no
//    header is met twice (a cycle, or a header on two chains), and the chain
//    length equals the bucket's count;
//  - headers: blockLink names the header, magic is kBlockMagic (a pool block:
//    kPoolBlockMagic), flags hold no unknown bit and fit the registry
//    (resource blocks only in the resource registry, pooled exactly when
//    `pool` is set), memSize <= capacity, masterPtr is not null, inline data
//    sits right after the header and detached data has the header's address
//    in its link word;
//  - the current pool: its storage block is registered, the PoolHeader's
//    stride, slots and firstBlock follow from its sizes, both slot lists are
//    well linked (prev pointers, inUse on the right list, every slot on
//    exactly one list), freeCount is the free list's length, and each pool
//    block is formatted (magic, flags, pool, blockLink) and registered
//    exactly when its slot is in use; a free block has its inline data back.
//
// Walks are bounded by the number of headers already visited, so a cycle
// ends the walk of its chain with a finding instead of a hang. Only the
// partition record, registered headers, the link words in front of detached
// data and the current pool's storage are read, and all of them but the
// partition record through a Reader: a pointer damaged into an address that
// is not mapped (an overrun into a neighbouring header) is reported as
// unreadable and not followed, instead of faulting the check.
//
// Thread safety: takes no lock; no other thread may change the partition
// during the call.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include <KRMM/Diagnostics.h>
#include <KRMM/KRMM.h>

#include "core/layout.h"
#include "core/sanitizer_hooks.h"
#include "diagnostics/frame_info.h"
#include "platform/prim.h"

namespace KRMM::diag {
namespace {

constexpr uint16_t kKnownFlags = kBlockFlagDetached | kBlockFlagPooled | kBlockFlagResource;

using HeaderSet = std::unordered_set<const MemoryBlock*, detail::AddressHash>;

class Findings {
public:
    [[gnu::format(printf, 2, 3)]] void Add(const char* format, ...) {
        char line[256];
        va_list args;
        va_start(args, format);
        std::vsnprintf(line, sizeof line, format, args);
        va_end(args);
        lines_.emplace_back(line);
    }
    std::vector<std::string> Take() { return std::move(lines_); }

private:
    std::vector<std::string> lines_;
};

const void* P(const void* p) {
    return p;
}

// Copies records out of memory that damaged pointers may lead to. The first
// read of a page goes through the platform's fault-free copy
// (prim::ReadMemory); a page read once is known to be mapped (nothing is
// unmapped during the check) and is copied directly after that. Under
// AddressSanitizer every read takes the fault-free copy, which the shadow
// does not check, so that a wild pointer into freed memory is reported as a
// finding rather than by the sanitizer.
class Reader {
public:
    template <class T>
    bool Read(const void* address, T* out) {
        return Copy(address, out, sizeof(T));
    }

private:
    static constexpr uintptr_t kPage = 4096;  // no larger than any real page

    bool Copy(const void* address, void* out, size_t bytes) {
        const uintptr_t begin = reinterpret_cast<uintptr_t>(address);
        if (address == nullptr || begin + bytes < begin) return false;
        const uintptr_t first = begin / kPage;
        const uintptr_t last = (begin + bytes - 1) / kPage;
#if !defined(KRMM_ASAN_HOOKS)
        bool known = true;
        for (uintptr_t page = first; page <= last && known; ++page) known = pages_.count(page) != 0;
        if (known) {
            std::memcpy(out, address, bytes);
            return true;
        }
#endif
        if (!prim::ReadMemory(address, out, bytes)) return false;
        for (uintptr_t page = first; page <= last; ++page) pages_.insert(page);
        return true;
    }

    std::unordered_set<uintptr_t, detail::AddressHash> pages_;
};

// `block` is the header's address, `copy` what it holds.
void CheckHeader(const MemoryBlock* block, const MemoryBlock& copy, bool resourceRegistry,
                 const char* registry, Reader& reader, Findings& out) {
    if (copy.blockLink != block)
        out.Add("%s block %p: blockLink is %p", registry, P(block), P(copy.blockLink));
    if ((copy.flags & ~kKnownFlags) != 0)
        out.Add("%s block %p: unknown flag bits 0x%x", registry, P(block), unsigned{copy.flags});
    const bool isResource = (copy.flags & kBlockFlagResource) != 0;
    const bool isPooled = (copy.flags & kBlockFlagPooled) != 0;
    if (isResource != resourceRegistry)
        out.Add("%s block %p: resource flag %s in this registry", registry, P(block),
                isResource ? "set" : "clear");
    if (isPooled != (copy.pool != nullptr))
        out.Add("%s block %p: pooled flag %s but pool is %p", registry, P(block),
                isPooled ? "set" : "clear", P(copy.pool));
    const uint32_t expectedMagic = isPooled ? kPoolBlockMagic : kBlockMagic;
    if (copy.magic != expectedMagic)
        out.Add("%s block %p: magic 0x%08" PRIx32 ", expected 0x%08" PRIx32, registry, P(block),
                copy.magic, expectedMagic);
    if (copy.memSize > copy.capacity)
        out.Add("%s block %p: memSize %zu exceeds capacity %zu", registry, P(block), copy.memSize,
                copy.capacity);
    const bool detached = (copy.flags & kBlockFlagDetached) != 0;
    if (copy.masterPtr == nullptr) {
        // A resource block's data is the host's, and the host may have none.
        if (!isResource || detached) out.Add("%s block %p: masterPtr is null", registry, P(block));
    } else if (detached) {
        MemoryBlock* link = nullptr;
        if (!reader.Read(copy.masterPtr - KRMM::detail::kLinkWordSize, &link))
            out.Add("%s block %p: detached data at %p cannot be read", registry, P(block), P(copy.masterPtr));
        else if (link != block)
            out.Add("%s block %p: detached data's link word is %p", registry, P(block), P(link));
    } else if (!isResource && copy.masterPtr != KRMM::detail::InlineDataOf(const_cast<MemoryBlock*>(block))) {
        out.Add("%s block %p: inline data at %p, expected %p", registry, P(block), P(copy.masterPtr),
                P(KRMM::detail::InlineDataOf(const_cast<MemoryBlock*>(block))));
    }
}

void CheckRegistry(MemoryBlock* const* buckets, const unsigned long* counts, bool resourceRegistry,
                   HeaderSet& seen, Reader& reader, Findings& out) {
    const char* registry = resourceRegistry ? "resource" : "ordinary";
    for (size_t i = 0; i < KRMM::detail::kBucketCount; ++i) {
        size_t length = 0;
        const MemoryBlock* previous = nullptr;
        MemoryBlock copy;
        for (const MemoryBlock* block = buckets[i]; block != nullptr; block = copy.next) {
            if (!reader.Read(block, &copy)) {
                out.Add("%s bucket %zu: block %p cannot be read (a wild pointer)", registry, i, P(block));
                break;
            }
            if (!seen.insert(block).second) {
                out.Add("%s bucket %zu: block %p met twice (a cycle or two chains)", registry, i, P(block));
                break;
            }
            ++length;
            if (copy.prev != previous)
                out.Add("%s bucket %zu: block %p has prev %p, expected %p", registry, i, P(block),
                        P(copy.prev), P(previous));
            if (copy.bucket != i)
                out.Add("%s bucket %zu: block %p has bucket %u", registry, i, P(block), unsigned{copy.bucket});
            const unsigned long hash = Partition::GetMemoryBlockHash(block);
            if (hash != i) out.Add("%s bucket %zu: block %p hashes to bucket %lu", registry, i, P(block), hash);
            CheckHeader(block, copy, resourceRegistry, registry, reader, out);
            previous = block;
        }
        if (counts[i] != length)
            out.Add("%s bucket %zu: count %lu, chain holds %zu", registry, i, counts[i], length);
    }
}

// Walks one slot list of the pool `header` describes, over the copy `slots`
// of its slot records, checking links and inUse. \returns its length.
size_t CheckSlotList(const PoolHeader& header, const std::vector<PoolSlot>& slots, const PoolSlot* head,
                     bool usedList, std::vector<int>& listOf, Findings& out) {
    const char* name = usedList ? "used" : "free";
    size_t length = 0;
    const PoolSlot* previous = nullptr;
    for (const PoolSlot* at = head; at != nullptr;) {
        if (at < header.slots || at >= header.slots + header.blockCount) {
            out.Add("pool %s list: slot %p lies outside the slot records", name, P(at));
            break;
        }
        const size_t index = static_cast<size_t>(at - header.slots);
        const PoolSlot& slot = slots[index];
        if (listOf[index] != 0) {
            out.Add("pool %s list: slot %zu met again (a cycle or both lists)", name, index);
            break;
        }
        listOf[index] = usedList ? 2 : 1;
        ++length;
        if (slot.index != index) out.Add("pool slot %zu: index field is %zu", index, slot.index);
        if (slot.prevSlot != previous)
            out.Add("pool %s list: slot %zu has prevSlot %p, expected %p", name, index, P(slot.prevSlot),
                    P(previous));
        if ((slot.inUse != 0) != usedList)
            out.Add("pool %s list: slot %zu has inUse %u", name, index, unsigned{slot.inUse});
        previous = at;
        at = slot.nextSlot;
    }
    return length;
}

void CheckPool(const Partition& partition, const HeaderSet& registered, Reader& reader, Findings& out) {
    const Handle pool = partition.currentPool;
    if (!registered.count(reinterpret_cast<const MemoryBlock*>(pool))) {
        out.Add("current pool %p: its storage block is not registered", P(pool));
        return;  // nothing of it can be trusted to be there
    }
    const MemoryBlock* const storage = reinterpret_cast<const MemoryBlock*>(pool);
    MemoryBlock storageCopy;
    PoolHeader header;
    const auto* const at = reader.Read(storage, &storageCopy)
                               ? reinterpret_cast<const PoolHeader*>(storageCopy.masterPtr)
                               : nullptr;
    if (at == nullptr || !reader.Read(at, &header)) {
        out.Add("current pool: its header at %p cannot be read", P(at));
        return;
    }
    const auto* slotArea = reinterpret_cast<const PoolSlot*>(at + 1);
    if (header.slots != slotArea || header.blockStride != header.blockSize + KRMM::detail::kHeaderSize ||
        header.firstBlock != reinterpret_cast<const MemoryBlock*>(slotArea + header.blockCount)) {
        out.Add("current pool: header does not match its layout (slots %p, stride %zu, firstBlock %p)",
                P(header.slots), header.blockStride, P(header.firstBlock));
        return;
    }

    // A pool of no blocks keeps freeList at its (empty) slot area, never followed.
    if (header.blockCount == 0) {
        if (header.freeCount != 0 || header.usedList != nullptr)
            out.Add("current pool: no blocks, but freeCount %zu and usedList %p", header.freeCount,
                    P(header.usedList));
        return;
    }
    // The storage block's size bounds what the pool's header may claim.
    const size_t room = storageCopy.memSize > sizeof(PoolHeader) ? storageCopy.memSize - sizeof(PoolHeader) : 0;
    if (header.blockCount > room / (sizeof(PoolSlot) + header.blockStride)) {
        out.Add("current pool: %zu blocks do not fit in its storage of %zu bytes", header.blockCount,
                storageCopy.memSize);
        return;
    }
    std::vector<PoolSlot> slots(header.blockCount);
    for (size_t i = 0; i < header.blockCount; ++i) {
        if (!reader.Read(slotArea + i, &slots[i])) {
            out.Add("current pool: slot %zu cannot be read", i);
            return;
        }
    }
    std::vector<int> listOf(header.blockCount, 0);  // 0 none, 1 free, 2 used
    const size_t freeLength = CheckSlotList(header, slots, header.freeList, false, listOf, out);
    if (header.freeCount != freeLength)
        out.Add("current pool: freeCount %zu, free list holds %zu", header.freeCount, freeLength);
    CheckSlotList(header, slots, header.usedList, true, listOf, out);

    for (size_t i = 0; i < header.blockCount; ++i) {
        if (listOf[i] == 0) out.Add("pool slot %zu: on neither list", i);
        const auto* block = reinterpret_cast<const MemoryBlock*>(
            reinterpret_cast<const char*>(header.firstBlock) + i * header.blockStride);
        MemoryBlock copy;
        if (!reader.Read(block, &copy)) {
            out.Add("pool block %zu: header at %p cannot be read", i, P(block));
            continue;
        }
        if (copy.magic != kPoolBlockMagic)
            out.Add("pool block %zu: magic 0x%08" PRIx32, i, copy.magic);
        if ((copy.flags & kBlockFlagPooled) == 0 || copy.pool != pool)
            out.Add("pool block %zu: not marked as this pool's (flags 0x%x, pool %p)", i,
                    unsigned{copy.flags}, P(copy.pool));
        if (copy.blockLink != block) out.Add("pool block %zu: blockLink is %p", i, P(copy.blockLink));
        const bool inUse = slots[i].inUse != 0;
        if (inUse != (registered.count(block) != 0))
            out.Add("pool block %zu: slot %s but the block is %sregistered", i, inUse ? "in use" : "free",
                    inUse ? "not " : "");
        if (!inUse && (copy.flags & kBlockFlagDetached) != 0)
            out.Add("pool block %zu: free but still detached", i);
    }
}

} // namespace

std::vector<std::string> CheckPartition(const Partition& partition) {
    Findings findings;
    Reader reader;
    HeaderSet ordinary;
    HeaderSet resources;
    CheckRegistry(partition.blockBuckets, partition.blockCounts, false, ordinary, reader, findings);
    CheckRegistry(partition.resourceBuckets, partition.resourceCounts, true, resources, reader, findings);
    for (const MemoryBlock* block : resources)
        if (ordinary.count(block)) findings.Add("block %p is in both registries", P(block));
    if (partition.currentPool != nullptr) CheckPool(partition, ordinary, reader, findings);
    return findings.Take();
}

} // namespace KRMM::diag
