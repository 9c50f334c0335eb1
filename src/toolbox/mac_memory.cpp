// mac_memory.cpp - the classic Memory Manager calls (KRMM/MacMemory.h), built
// on the Partition operations.
//
// Each call finds the block's zone (toolbox/block_records.h), applies the
// classic rules the Partition members do not have (locked blocks stay put,
// empty and purgeable handles, the purge and grow-zone retries of a refused
// request) and leaves its result in the calling thread's MemError. Sizes
// are changed through the Partition's SetHandleSize, or, where a block must
// not move, through the core's in-place resize, so the counters and the
// registry stay the Partition's own.
//
// An empty handle is a registered header with masterPtr null, memSize and
// capacity 0 and no detached storage. Before the Partition sees it again
// (new storage, disposal) it gets its idle inline area back as data of size
// 0: the state a freshly allocated block of 0 bytes has.
//
// Thread safety: see the header. The calling thread's MemError and current
// zone are thread_local; the application zone is published with a release
// store. The block-record lock is taken inside block_records.cpp only.
#include <KRMM/MacMemory.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include <KRMM/KRMM.h>

#include "core/block_index.h"
#include "core/counters.h"
#include "core/layout.h"
#include "core/partition_hooks.h"
#include "core/resizing.h"
#include "platform/prim.h"
#include "toolbox/block_records.h"

namespace KRMM::toolbox {
namespace {

constexpr uint8_t kStateLocked = 0x80;
constexpr uint8_t kStatePurgeable = 0x40;
constexpr uint8_t kStateResource = 0x20;
// A grow-zone function that keeps reporting bytes freed while the request
// still fails is asked this often, then the request fails.
constexpr int kGrowZoneRounds = 64;
constexpr size_t kPurgeBatch = 64;

// Initial-exec TLS: every call writes MemError, and the general model costs
// a call into the dynamic linker per access. libKRMM is linked, not dlopen'd
// late, so its few bytes fit the static TLS block.
#define KRMM_FAST_TLS [[gnu::tls_model("initial-exec")]]

KRMM_FAST_TLS thread_local OSErr t_memError = noErr;

inline void Report(OSErr code) noexcept {
    t_memError = code;
}

// ---------------------------------------------------------------- zones

// Acquire/release: a thread that reads the pointer sees the partition fully
// constructed and listed.
std::atomic<Partition*> g_applicationZone{nullptr};
// 1 while one thread makes the application zone; the others yield until it
// is done (once per process: no lock is held across the maker's malloc).
// Acquire/release pairs the maker's stores with the waiters' reads.
std::atomic<int> g_applicationZoneBeingMade{0};

void OnPartitionEnding(Partition* partition) noexcept {
    DropZone(partition);
    Partition* expected = partition;
    g_applicationZone.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
}

[[maybe_unused]] const bool g_endHookInstalled =
    (detail::SetPartitionEndHook(&OnPartitionEnding), true);

Partition* MakeApplicationZone() noexcept {
    for (;;) {
        int idle = 0;
        if (g_applicationZoneBeingMade.compare_exchange_strong(idle, 1, std::memory_order_acquire)) {
            Partition* zone = g_applicationZone.load(std::memory_order_acquire);
            if (zone == nullptr) {
                // malloc'd like GetPartitionByIdentifier's records, so that
                // FreeAllPartitions may release it too (the end hook then
                // forgets it, and the next call makes a new one).
                if (void* record = std::malloc(sizeof(Partition))) {
                    zone = new (record) Partition();
                    zone->SetIdentifier("application zone");
                    g_applicationZone.store(zone, std::memory_order_release);
                }
            }
            g_applicationZoneBeingMade.store(0, std::memory_order_release);
            return zone;
        }
        while (g_applicationZoneBeingMade.load(std::memory_order_acquire) != 0) std::this_thread::yield();
        if (Partition* zone = g_applicationZone.load(std::memory_order_acquire)) return zone;
    }
}

inline Partition* TheApplicationZone() noexcept {
    Partition* zone = g_applicationZone.load(std::memory_order_acquire);
    return zone != nullptr ? zone : MakeApplicationZone();
}

// The calling thread's current zone: null means the application zone. The
// epoch tells when some partition has ended since the zone was checked.
struct CurrentZone {
    Partition* zone = nullptr;
    uint64_t epoch = 0;
};
KRMM_FAST_TLS thread_local CurrentZone t_currentZone;

Partition* Current() noexcept {
    CurrentZone& current = t_currentZone;
    if (current.zone != nullptr) {
        const uint64_t epoch = ZoneEpoch();
        if (epoch == current.epoch) return current.zone;
        if (ZoneKnown(current.zone)) {
            current.epoch = epoch;
            return current.zone;
        }
        current.zone = nullptr;  // its partition ended
    }
    return TheApplicationZone();
}

// ---------------------------------------------------------------- blocks

struct Block {
    Partition* zone;
    MemoryBlock* header;
    uint8_t bits;
};

// Finds the zone of handle `h`. A block the records do not know (made by a
// Partition member) is found through the lookup index (no walk of the
// partition list, which other threads may change) and then recorded.
// \returns false when `h` is no live block of any partition.
bool Resolve(const void* h, Block* out) noexcept {
    BlockRecord record;
    if (FindBlockZone(h, &record)) {
        *out = Block{record.zone, detail::BlockOf(h), record.bits};
        return true;
    }
    Partition* owner = detail::FindBlockOwner(h);
    // The owner may have been found through a data pointer: h must be a handle.
    if (owner == nullptr || !owner->HandleBelongsToUs(h)) return false;
    static_cast<void>(RecordBlock(h, owner, 0));  // remembered when there is room
    *out = Block{owner, detail::BlockOf(h), 0};
    return true;
}

// As Resolve, for a data pointer: the handle is the word in front of it, and
// the block's current data must be `p`.
bool ResolveData(const void* p, Block* out) noexcept {
    return p != nullptr && Resolve(detail::HeaderOf(p), out) && out->header->masterPtr == p;
}

inline bool IsEmpty(const MemoryBlock* block) noexcept {
    return block->masterPtr == nullptr;
}

// Whether the block's data may be released while the handle stays: not
// locked, no constructed object, and data the library owns. (Pointer blocks
// are never purgeable, and the calls that empty a handle refuse them.)
inline bool CanEmpty(const MemoryBlock* block) noexcept {
    return !block->locked && !block->instantiated && (block->flags & kBlockFlagResource) == 0;
}

// Locked handles and pointer blocks never move.
inline bool StaysPut(const Block& b) noexcept {
    return b.header->locked || (b.bits & kPointerBit) != 0;
}

void EmptyBlock(Partition* zone, MemoryBlock* block) noexcept {
    const char* oldData = block->masterPtr;
    if (block->flags & kBlockFlagDetached) {
        ::operator delete(detail::DetachedStorageOf(block));
        block->flags = static_cast<uint16_t>(block->flags & ~kBlockFlagDetached);
    }
    detail::AddBytesWithoutListLock(*zone, -static_cast<int64_t>(block->memSize));
    block->masterPtr = nullptr;
    block->memSize = 0;
    block->capacity = 0;
    detail::IndexDataMoved(*zone, block, oldData);  // no pointer finds it now
}

// An empty block gets its idle inline area back as data of size 0 (a pool
// block its whole pool slot), before the Partition resizes or releases it.
void Refill(Partition* zone, MemoryBlock* block) noexcept {
    block->masterPtr = detail::InlineDataOf(block);
    block->capacity = block->pool != nullptr ? detail::PoolHeaderOf(block->pool)->blockSize : 0;
    detail::IndexDataMoved(*zone, block, nullptr);
}

// Empties every unlocked purgeable handle of `zone` except the two kept.
// \returns how many were emptied.
size_t PurgeZone(Partition* zone, const void* keep1, const void* keep2) noexcept {
    size_t cursor = 0;
    size_t emptied = 0;
    const void* batch[kPurgeBatch];
    while (size_t n = CollectPurgeable(zone, &cursor, batch, kPurgeBatch)) {
        for (size_t i = 0; i < n; ++i) {
            if (batch[i] == keep1 || batch[i] == keep2) continue;
            MemoryBlock* block = detail::BlockOf(batch[i]);
            if (IsEmpty(block) || !CanEmpty(block)) continue;
            EmptyBlock(zone, block);
            ++emptied;
        }
    }
    return emptied;
}

// The bytes of the zone's handles that PurgeZone would release.
size_t PurgeableBytes(Partition* zone) noexcept {
    size_t cursor = 0;
    size_t bytes = 0;
    const void* batch[kPurgeBatch];
    while (size_t n = CollectPurgeable(zone, &cursor, batch, kPurgeBatch)) {
        for (size_t i = 0; i < n; ++i) {
            const MemoryBlock* block = detail::BlockOf(batch[i]);
            if (!IsEmpty(block) && CanEmpty(block)) bytes += block->memSize;
        }
    }
    return bytes;
}

KRMM_FAST_TLS thread_local bool t_inGrowZone = false;

struct GrowZoneScope {
    GrowZoneScope() noexcept { t_inGrowZone = true; }
    ~GrowZoneScope() { t_inGrowZone = false; }
    GrowZoneScope(const GrowZoneScope&) = delete;
    GrowZoneScope& operator=(const GrowZoneScope&) = delete;
};

// Runs `attempt` (a request of `needed` bytes in `zone`); when the heap
// refuses, again after purging the zone (sparing the handles the request
// works on), then after each grow-zone call that reports bytes freed.
template <class Attempt>
bool WithRetries(Partition* zone, size_t needed, const void* keep1, const void* keep2,
                 Attempt&& attempt) {
    if (attempt()) return true;
    if (PurgeZone(zone, keep1, keep2) > 0 && attempt()) return true;
    if (t_inGrowZone) return false;
    const GrowZoneProcPtr growZone = GrowZoneOf(zone);
    if (growZone == nullptr) return false;
    GrowZoneScope scope;
    const Size asked = static_cast<Size>(std::min<size_t>(needed, LONG_MAX));
    for (int round = 0; round < kGrowZoneRounds; ++round) {
        if (growZone(asked) <= 0) return false;
        if (attempt()) return true;
    }
    return false;
}

// Gives the block of `h` `size` bytes in its own zone, keeping a locked
// block where it is.
OSErr ResizeBlock(const Block& b, Handle h, size_t size, const void* keep = nullptr) {
    MemoryBlock* block = b.header;
    if (IsEmpty(block)) return nilHandleErr;
    if (block->instantiated) return memLockedErr;
    if (StaysPut(b)) {
        if (size > block->capacity) return memFullErr;
        detail::ResizeInPlace(*b.zone, block, size);
        return noErr;
    }
    return WithRetries(b.zone, size, h, keep, [&] { return b.zone->SetHandleSize(h, size); })
               ? noErr
               : memFullErr;
}

// A shrink never fails: where the Partition would move the data (and the
// heap refuses), the block keeps its storage instead.
void ShrinkBlock(const Block& b, Handle h, size_t size) {
    MemoryBlock* block = b.header;
    if (StaysPut(b) || block->instantiated || !b.zone->SetHandleSize(h, size))
        detail::ResizeInPlace(*b.zone, block, size);
}

// Records a handle just made in `zone`; releases it when it cannot be recorded.
Handle Adopt(Partition* zone, Handle h, uint8_t bits = 0) {
    if (RecordBlock(h, zone, bits)) return h;
    zone->DisposeHandle(h);
    return nullptr;
}

Handle MakeHandle(Partition* zone, Size size, bool clear, uint8_t bits = 0) {
    if (size < 0) return Report(memSCErr), nullptr;
    if (zone == nullptr) return Report(memWZErr), nullptr;
    const auto bytes = static_cast<unsigned long>(size);
    Handle h = nullptr;
    const bool made = WithRetries(zone, bytes, nullptr, nullptr, [&] {
        h = clear ? zone->NewHandleClear(bytes) : zone->NewHandle(bytes);
        return h != nullptr;
    });
    if (!made || Adopt(zone, h, bits) == nullptr) return Report(memFullErr), nullptr;
    Report(noErr);
    return h;
}

Handle MakeEmptyHandle(Partition* zone) {
    Handle h = MakeHandle(zone, 0, false);
    if (h != nullptr) EmptyBlock(zone, detail::BlockOf(h));
    return h;
}

Ptr MakePtr(Partition* zone, Size size, bool clear) {
    Handle h = MakeHandle(zone, size, clear, kPointerBit);
    return h != nullptr ? *h : nullptr;
}

// Purgeable handles with data inline in their header get storage of their
// own, so that purging them releases memory. Best effort: on a refusal the
// data stays inline.
void DetachForPurging(const Block& b, Handle h) {
    MemoryBlock* block = b.header;
    if (IsEmpty(block) || StaysPut(b) || !CanEmpty(block) || (block->flags & kBlockFlagDetached)) return;
    const size_t size = block->memSize;
    // A request beyond the capacity is what makes Resize move the data.
    if (b.zone->Resize(h, block->capacity + 1, ResizeCopyProc()))
        detail::ResizeInPlace(*b.zone, block, size);
}

// Sets the classic flags of a resolved handle.
OSErr SetState(const Block& b, Handle h, uint8_t state) {
    const uint8_t bits = static_cast<uint8_t>(((state & kStatePurgeable) ? kPurgeableBit : 0) |
                                              ((state & kStateResource) ? kResourceBit : 0) |
                                              (b.bits & kPointerBit));
    if (!RecordBlock(h, b.zone, bits)) return memFullErr;
    b.zone->SetHandleLockState_Legacy(h, (state & kStateLocked) != 0);
    if ((bits & kPurgeableBit) && !(b.bits & kPurgeableBit)) DetachForPurging(b, h);
    return noErr;
}

uint8_t StateOf(const Block& b) noexcept {
    return static_cast<uint8_t>((b.header->locked ? kStateLocked : 0) |
                                ((b.bits & kPurgeableBit) ? kStatePurgeable : 0) |
                                ((b.bits & kResourceBit) ? kStateResource : 0));
}

// Bytes a source lends to a call that may move the destination's data: a
// source inside that data is copied first.
class Source {
public:
    Source(const void* src, size_t size, const MemoryBlock* destination) noexcept : bytes_(src) {
        const auto begin = reinterpret_cast<uintptr_t>(destination->masterPtr);
        const auto from = reinterpret_cast<uintptr_t>(src);
        if (size != 0 && from < begin + destination->capacity && from + size > begin) {
            copy_ = std::malloc(size);
            if (copy_ != nullptr) std::memcpy(copy_, src, size);
            bytes_ = copy_;
        }
    }
    ~Source() { std::free(copy_); }
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
    /// The bytes, or null when the copy could not be made.
    const void* bytes() const noexcept { return bytes_; }

private:
    const void* bytes_;
    void* copy_ = nullptr;
};

// Checks a (handle, source, count) triple of the data calls and finds the
// handle's block. \returns noErr or the code to report.
OSErr CheckDataCall(Handle h, const void* src, long size, Block* b) noexcept {
    if (size < 0) return memSCErr;
    if (h == nullptr) return nilHandleErr;
    if (src == nullptr && size > 0) return memAdrErr;
    if (!Resolve(h, b)) return memAdrErr;
    return IsEmpty(b->header) ? nilHandleErr : noErr;
}

OSErr ReplaceBytes(const Block& b, Handle h, size_t start, size_t oldLength, const void* src,
                   size_t newLength) {
    const Source source(src, newLength, b.header);
    if (source.bytes() == nullptr && newLength != 0) return memFullErr;
    const size_t size = b.header->memSize;
    const size_t tail = size - start - oldLength;
    if (newLength > oldLength) {
        const OSErr err = ResizeBlock(b, h, size + (newLength - oldLength));
        if (err != noErr) return err;
    }
    char* data = *h;
    std::memmove(data + start + newLength, data + start + oldLength, tail);
    if (newLength != 0) std::memcpy(data + start, source.bytes(), newLength);
    if (newLength < oldLength) ShrinkBlock(b, h, size - (oldLength - newLength));
    return noErr;
}

long ClampToLong(size_t value) noexcept {
    return value > static_cast<size_t>(LONG_MAX) ? LONG_MAX : static_cast<long>(value);
}

// What a zone can still have: the machine's memory less the zone's bytes.
size_t ZoneRoom(Partition* zone) noexcept {
    size_t total = prim::PhysicalMemoryBytes();
    if (total == 0) total = static_cast<size_t>(LONG_MAX);
    const int64_t used = detail::CounterLoad(zone->bytesAllocated);
    if (used <= 0) return total;
    return static_cast<size_t>(used) >= total ? 0 : total - static_cast<size_t>(used);
}

long RoomOfCurrentZone() noexcept {
    Partition* zone = Current();
    if (zone == nullptr) return Report(memWZErr), 0;
    Report(noErr);
    return ClampToLong(ZoneRoom(zone));
}

} // namespace
} // namespace KRMM::toolbox

using namespace KRMM::toolbox;
namespace detail = KRMM::detail;

// ---------------------------------------------------------------- zones

THz ApplicationZone(void) {
    THz zone = TheApplicationZone();
    Report(zone != nullptr ? noErr : memWZErr);
    return zone;
}

THz SystemZone(void) {
    return ApplicationZone();
}

THz GetZone(void) {
    THz zone = Current();
    Report(zone != nullptr ? noErr : memWZErr);
    return zone;
}

void SetZone(THz zone) {
    if (zone == nullptr || zone == g_applicationZone.load(std::memory_order_acquire)) {
        t_currentZone.zone = nullptr;
        return Report(noErr);
    }
    // Read before the zone is noted: a partition ending in between makes the
    // next use check the zone again.
    const uint64_t epoch = ZoneEpoch();
    if (!NoteZone(zone, false, nullptr)) return Report(memFullErr);
    t_currentZone = CurrentZone{zone, epoch};
    Report(noErr);
}

THz HandleZone(Handle h) {
    Block b;
    if (h == nullptr) return Report(nilHandleErr), nullptr;
    if (!Resolve(h, &b)) return Report(memAdrErr), nullptr;
    Report(noErr);
    return b.zone;
}

THz PtrZone(Ptr p) {
    Block b;
    if (!ResolveData(p, &b)) return Report(memAdrErr), nullptr;
    Report(noErr);
    return b.zone;
}

// ---------------------------------------------------------------- handles

Handle NewHandle(Size size) {
    return MakeHandle(Current(), size, false);
}

Handle NewHandleClear(Size size) {
    return MakeHandle(Current(), size, true);
}

Handle NewHandleSys(Size size) {
    return MakeHandle(TheApplicationZone(), size, false);
}

Handle NewHandleSysClear(Size size) {
    return MakeHandle(TheApplicationZone(), size, true);
}

Handle NewEmptyHandle(void) {
    return MakeEmptyHandle(Current());
}

Handle NewEmptyHandleSys(void) {
    return MakeEmptyHandle(TheApplicationZone());
}

void DisposeHandle(Handle h) {
    Block b;
    BlockRecord record;
    if (h == nullptr) return Report(noErr);
    if (TakeBlockZone(h, &record)) {
        b = Block{record.zone, detail::BlockOf(h), record.bits};
    } else if (Resolve(h, &b)) {
        ForgetBlock(h);  // found among the partitions, and recorded meanwhile
    } else {
        return Report(memAdrErr);
    }
    if (b.header->flags & KRMM::kBlockFlagResource) {
        b.zone->DeallocateResource(h);
    } else {
        if (IsEmpty(b.header)) Refill(b.zone, b.header);
        b.zone->DisposeHandle(h);
    }
    Report(noErr);
}

Size GetHandleSize(Handle h) {
    Block b;
    if (h == nullptr) return Report(nilHandleErr), 0;
    if (!Resolve(h, &b)) return Report(memAdrErr), 0;
    if (IsEmpty(b.header)) return Report(nilHandleErr), 0;
    Report(noErr);
    return ClampToLong(b.header->memSize);
}

void SetHandleSize(Handle h, Size newSize) {
    Block b;
    if (newSize < 0) return Report(memSCErr);
    if (h == nullptr) return Report(nilHandleErr);
    if (!Resolve(h, &b)) return Report(memAdrErr);
    Report(ResizeBlock(b, h, static_cast<size_t>(newSize)));
}

void HLock(Handle h) {
    Block b;
    if (h == nullptr) return Report(nilHandleErr);
    if (!Resolve(h, &b)) return Report(memAdrErr);
    b.zone->HLock(h);
    Report(noErr);
}

void HUnlock(Handle h) {
    Block b;
    if (h == nullptr) return Report(nilHandleErr);
    if (!Resolve(h, &b)) return Report(memAdrErr);
    b.zone->HUnlock(h);
    Report(noErr);
}

void HLockHi(Handle h) {
    HLock(h);
}

void MoveHHi(Handle h) {
    Block b;
    if (h == nullptr) return Report(nilHandleErr);
    if (!Resolve(h, &b)) return Report(memAdrErr);
    Report(b.header->locked ? memLockedErr : noErr);
}

namespace {

// HGetState's flags of `h` changed by `set` and `clear`.
void ChangeState(Handle h, uint8_t set, uint8_t clear) {
    Block b;
    if (h == nullptr) return Report(nilHandleErr);
    if (!Resolve(h, &b)) return Report(memAdrErr);
    Report(SetState(b, h, static_cast<uint8_t>((StateOf(b) | set) & ~clear)));
}

} // namespace

void HPurge(Handle h) {
    ChangeState(h, kStatePurgeable, 0);
}

void HNoPurge(Handle h) {
    ChangeState(h, 0, kStatePurgeable);
}

void HSetRBit(Handle h) {
    ChangeState(h, kStateResource, 0);
}

void HClrRBit(Handle h) {
    ChangeState(h, 0, kStateResource);
}

SignedByte HGetState(Handle h) {
    Block b;
    if (h == nullptr) return Report(nilHandleErr), 0;
    if (!Resolve(h, &b)) return Report(memAdrErr), 0;
    Report(noErr);
    return static_cast<SignedByte>(StateOf(b));
}

void HSetState(Handle h, SignedByte flags) {
    const auto state = static_cast<uint8_t>(flags);
    ChangeState(h, state, static_cast<uint8_t>(~state));
}

void EmptyHandle(Handle h) {
    Block b;
    if (h == nullptr) return Report(nilHandleErr);
    if (!Resolve(h, &b)) return Report(memAdrErr);
    if (IsEmpty(b.header)) return Report(noErr);
    if (!CanEmpty(b.header) || (b.bits & kPointerBit)) return Report(memPurErr);
    EmptyBlock(b.zone, b.header);
    Report(noErr);
}

void ReallocateHandle(Handle h, Size size) {
    Block b;
    if (size < 0) return Report(memSCErr);
    if (h == nullptr) return Report(nilHandleErr);
    if (!Resolve(h, &b)) return Report(memAdrErr);
    KRMM::MemoryBlock* block = b.header;
    if (!IsEmpty(block)) {
        if (!CanEmpty(block) || (b.bits & kPointerBit)) return Report(memLockedErr);
        EmptyBlock(b.zone, block);
    }
    const auto bytes = static_cast<unsigned long>(size);
    const bool ok = WithRetries(b.zone, bytes, h, nullptr, [&] {
        Refill(b.zone, block);
        if (b.zone->SetHandleSize(h, bytes)) return true;
        EmptyBlock(b.zone, block);  // nothing was allocated: back to empty
        return false;
    });
    Report(ok ? noErr : memFullErr);
}

Handle RecoverHandle(Ptr p) {
    Block b;
    if (!ResolveData(p, &b)) return Report(memAdrErr), nullptr;
    Report(noErr);
    return reinterpret_cast<Handle>(b.header);
}

// ---------------------------------------------------------------- pointers

Ptr NewPtr(Size size) {
    return MakePtr(Current(), size, false);
}

Ptr NewPtrClear(Size size) {
    return MakePtr(Current(), size, true);
}

Ptr NewPtrSys(Size size) {
    return MakePtr(TheApplicationZone(), size, false);
}

Ptr NewPtrSysClear(Size size) {
    return MakePtr(TheApplicationZone(), size, true);
}

void DisposePtr(Ptr p) {
    Block b;
    if (p == nullptr) return Report(noErr);
    if (!ResolveData(p, &b)) return Report(memAdrErr);
    ForgetBlock(b.header);
    b.zone->DisposePtr(p);
    Report(noErr);
}

Size GetPtrSize(Ptr p) {
    Block b;
    if (!ResolveData(p, &b)) return Report(memAdrErr), 0;
    Report(noErr);
    return ClampToLong(b.header->memSize);
}

void SetPtrSize(Ptr p, Size newSize) {
    Block b;
    if (newSize < 0) return Report(memSCErr);
    if (!ResolveData(p, &b)) return Report(memAdrErr);
    if (static_cast<size_t>(newSize) > b.header->capacity) return Report(memFullErr);
    detail::ResizeInPlace(*b.zone, b.header, static_cast<size_t>(newSize));
    Report(noErr);
}

// ---------------------------------------------------------------- data

OSErr HandToHand(Handle* h) {
    Block b;
    if (h == nullptr || *h == nullptr) return Report(nilHandleErr), nilHandleErr;
    if (!Resolve(*h, &b)) return Report(memAdrErr), memAdrErr;
    if (IsEmpty(b.header)) return Report(nilHandleErr), nilHandleErr;
    KRMM::Partition* zone = Current();
    if (zone == nullptr) return Report(memWZErr), memWZErr;
    Handle copy = nullptr;
    const bool made = WithRetries(zone, b.header->memSize, *h, nullptr, [&] {
        copy = zone->DuplicateHandle(*h);
        return copy != nullptr;
    });
    if (!made || Adopt(zone, copy) == nullptr) return Report(memFullErr), memFullErr;
    *h = copy;
    Report(noErr);
    return noErr;
}

OSErr PtrToHand(const void* src, Handle* dst, long size) {
    if (dst == nullptr) return Report(nilHandleErr), nilHandleErr;
    if (size < 0) return Report(memSCErr), memSCErr;
    if (src == nullptr && size > 0) return Report(memAdrErr), memAdrErr;
    Handle h = MakeHandle(Current(), size, false);
    if (h != nullptr && size > 0) std::memcpy(*h, src, static_cast<size_t>(size));
    *dst = h;
    return t_memError;
}

OSErr PtrToXHand(const void* src, Handle dst, long size) {
    Block b;
    OSErr err = CheckDataCall(dst, src, size, &b);
    if (err == noErr) {
        const auto bytes = static_cast<size_t>(size);
        const Source source(src, bytes, b.header);
        if (source.bytes() == nullptr && bytes != 0) {
            err = memFullErr;
        } else if ((err = ResizeBlock(b, dst, bytes)) == noErr && bytes != 0) {
            std::memcpy(*dst, source.bytes(), bytes);
        }
    }
    Report(err);
    return err;
}

OSErr HandAndHand(Handle src, Handle dst) {
    Block from;
    Block to;
    OSErr err = noErr;
    if (src == nullptr || dst == nullptr) {
        err = nilHandleErr;
    } else if (!Resolve(src, &from) || !Resolve(dst, &to)) {
        err = memAdrErr;
    } else if (IsEmpty(from.header) || IsEmpty(to.header)) {
        err = nilHandleErr;
    } else {
        // Both sizes before the resize: the same handle doubles its data.
        const size_t srcSize = from.header->memSize;
        const size_t dstSize = to.header->memSize;
        err = ResizeBlock(to, dst, dstSize + srcSize, src);
        if (err == noErr && srcSize != 0) std::memcpy(*dst + dstSize, *src, srcSize);
    }
    Report(err);
    return err;
}

OSErr PtrAndHand(const void* src, Handle dst, long size) {
    Block b;
    OSErr err = CheckDataCall(dst, src, size, &b);
    if (err == noErr && size > 0) {
        err = ReplaceBytes(b, dst, b.header->memSize, 0, src, static_cast<size_t>(size));
    }
    Report(err);
    return err;
}

long Munger(Handle h, long offset, const void* ptr1, long len1, const void* ptr2, long len2) {
    Block b;
    if (h == nullptr) return Report(nilHandleErr), -1;
    if (!Resolve(h, &b)) return Report(memAdrErr), -1;
    if (IsEmpty(b.header)) return Report(nilHandleErr), -1;
    if (offset < 0 || len2 < 0 || (ptr1 != nullptr && len1 < 0)) return Report(memSCErr), -1;
    const size_t size = b.header->memSize;
    if (static_cast<size_t>(offset) > size) return Report(noErr), -1;

    size_t start = static_cast<size_t>(offset);
    size_t targetLength = 0;
    if (len1 == 0) {
        targetLength = 0;  // insert at offset
    } else if (ptr1 == nullptr) {
        const size_t rest = size - start;
        targetLength = len1 < 0 ? rest : std::min(static_cast<size_t>(len1), rest);
    } else {
        const void* found = KRMM::Partition::MemMem(*h + start, size - start, ptr1,
                                                     static_cast<unsigned long>(len1));
        if (found == nullptr) return Report(noErr), -1;
        start = static_cast<size_t>(static_cast<const char*>(found) - *h);
        targetLength = static_cast<size_t>(len1);
    }
    if (ptr2 == nullptr) return Report(noErr), static_cast<long>(start);

    const OSErr err = ReplaceBytes(b, h, start, targetLength, ptr2, static_cast<size_t>(len2));
    Report(err);
    return err == noErr ? static_cast<long>(start) + len2 : -1;
}

void BlockMove(const void* src, void* dst, Size size) {
    if (size < 0) return Report(memSCErr);
    if (size > 0 && (src == nullptr || dst == nullptr)) return Report(memAdrErr);
    if (size > 0) std::memmove(dst, src, static_cast<size_t>(size));
    Report(noErr);
}

void BlockMoveData(const void* src, void* dst, Size size) {
    BlockMove(src, dst, size);
}

// ---------------------------------------------------------------- errors and heap

OSErr MemError(void) {
    return t_memError;
}

long FreeMem(void) {
    return RoomOfCurrentZone();
}

long MaxBlock(void) {
    return RoomOfCurrentZone();
}

Size MaxMem(Size* grow) {
    if (grow != nullptr) *grow = 0;
    if (KRMM::Partition* zone = Current()) PurgeZone(zone, nullptr, nullptr);
    return RoomOfCurrentZone();
}

Size CompactMem(Size cbNeeded) {
    if (cbNeeded < 0) return Report(memSCErr), 0;
    return RoomOfCurrentZone();
}

void PurgeMem(Size cbNeeded) {
    if (cbNeeded < 0) return Report(memSCErr);
    KRMM::Partition* zone = Current();
    if (zone == nullptr) return Report(memWZErr);
    PurgeZone(zone, nullptr, nullptr);
    Report(ZoneRoom(zone) < static_cast<size_t>(cbNeeded) ? memFullErr : noErr);
}

void PurgeSpace(long* total, long* contig) {
    KRMM::Partition* zone = Current();
    if (zone == nullptr) return Report(memWZErr);
    const long space = ClampToLong(ZoneRoom(zone) + PurgeableBytes(zone));
    if (total != nullptr) *total = space;
    if (contig != nullptr) *contig = space;
    Report(noErr);
}

void MoreMasters(void) {
    Report(noErr);
}

void SetGrowZone(GrowZoneProcPtr growZone) {
    KRMM::Partition* zone = Current();
    if (zone == nullptr) return Report(memWZErr);
    Report(NoteZone(zone, true, growZone) ? noErr : memFullErr);
}

Handle TempNewHandle(Size size, OSErr* resultCode) {
    Handle h = MakeHandle(TheApplicationZone(), size, false);
    if (resultCode != nullptr) *resultCode = t_memError;
    return h;
}

long TempFreeMem(void) {
    KRMM::Partition* zone = TheApplicationZone();
    if (zone == nullptr) return Report(memWZErr), 0;
    Report(noErr);
    return ClampToLong(ZoneRoom(zone));
}

Size TempMaxMem(Size* grow) {
    if (grow != nullptr) *grow = 0;
    return TempFreeMem();
}
