// block_records.cpp - the classic interface's block records and zone
// settings (see block_records.h).
//
// The table holds (handle, zone | bits) pairs; handle 0 marks a free slot.
// Zones are partition records, aligned to 8 bytes, so the flag bits ride in
// the low bits of the zone word. Removal shifts the rest of the probe run
// back (no tombstones), so a probe stops at the first free slot. The table
// is at most three quarters full; growth doubles it.
//
// Readers take no lock (a seqlock): they read the version (odd while a
// writer changes entries), probe with atomic loads and keep the answer only
// when the version has not moved; after a few failed tries they take the
// lock. A table that is outgrown stays allocated (retired, never freed), so
// a reader still probing it reads stale entries, never freed memory; the
// retired tables together are smaller than the current one.
//
// Thread safety: writers hold g_recordsLock; see the header.
#include "toolbox/block_records.h"

#include <atomic>
#include <cstdlib>

#include "platform/lock.h"
#include "platform/prim.h"
#include "platform/thread_safety.h"

namespace KRMM::toolbox {
namespace {

struct Slot {
    uintptr_t handle;  // 0: free
    uintptr_t zoneAndBits;
};

struct Table {
    size_t slotCount;  // a power of two
    Table* retired;    // the table this one replaced, kept for late readers
    Slot* slots;       // slotCount of them, right after this header
};

constexpr uintptr_t kBitsMask = 7;
static_assert(alignof(Partition) >= 8, "the flag bits live in the low bits of a zone address");
static_assert((kPurgeableBit | kResourceBit | kPointerBit) <= kBitsMask,
              "the flags fit beside the zone address");

constexpr size_t kInitialSlots = 1024;
constexpr int kOptimisticTries = 4;

struct ZoneSettings {
    Partition* zone;
    GrowZoneProcPtr growZone;
    ZoneSettings* next;
};

os_unfair_lock g_recordsLock{};

/// The capability type of g_recordsLock, for clang's analysis.
class KRMM_CAPABILITY("mutex") RecordsCapability {};
/// Stands for g_recordsLock in the annotations; never read or written.
[[maybe_unused]] RecordsCapability g_records;

// Published with release, read with acquire: a reader sees the table's
// entries as the writer left them before publishing.
std::atomic<Table*> g_table{nullptr};
// Odd while a writer changes entries. Entry stores are release stores and
// entry loads acquire loads: a reader that sees a new entry also sees the
// odd version that preceded it, and its second version load cannot move
// before its entry loads. The closing store is a release, paired with the
// reader's first (acquire) load.
std::atomic<uint64_t> g_version{0};
size_t g_used KRMM_GUARDED_BY(g_records) = 0;
size_t g_generation KRMM_GUARDED_BY(g_records) = 0;  // changes when the table is replaced
ZoneSettings* g_zones KRMM_GUARDED_BY(g_records) = nullptr;
// The zones that may have records, so that the end of a partition that never
// had any costs no walk of the table. Past its size every end walks.
constexpr size_t kTrackedZones = 16;
Partition* g_zonesWithRecords[kTrackedZones] KRMM_GUARDED_BY(g_records) = {};
bool g_zonesWithRecordsOverflowed KRMM_GUARDED_BY(g_records) = false;
// Relaxed is enough: a reader that sees a new epoch then takes
// g_recordsLock, which orders everything else.
std::atomic<uint64_t> g_epoch{0};

class KRMM_SCOPED_CAPABILITY RecordsLock {
public:
    RecordsLock() noexcept KRMM_ACQUIRE(g_records) KRMM_NO_THREAD_SAFETY_ANALYSIS {
        detail::LockAcquire(&g_recordsLock);
    }
    ~RecordsLock() KRMM_RELEASE() KRMM_NO_THREAD_SAFETY_ANALYSIS { detail::LockRelease(&g_recordsLock); }
    RecordsLock(const RecordsLock&) = delete;
    RecordsLock& operator=(const RecordsLock&) = delete;
};

// Fork: the forking thread holds the records' lock across the fork, so a
// child never starts with it held by a thread it does not have.
void HoldRecordsForFork() noexcept KRMM_NO_THREAD_SAFETY_ANALYSIS { detail::LockAcquire(&g_recordsLock); }
void ReleaseRecordsAfterFork() noexcept KRMM_NO_THREAD_SAFETY_ANALYSIS { detail::LockRelease(&g_recordsLock); }
[[gnu::constructor]] void RegisterRecordsForkHandlers() {
    prim::OnFork(HoldRecordsForFork, ReleaseRecordsAfterFork, ReleaseRecordsAfterFork);
}

// A writer's change of entries, between two version increments. Only
// writers, who hold the lock, change the version: plain stores suffice.
class EntryChange {
public:
    EntryChange() noexcept KRMM_REQUIRES(g_records) : version_(g_version.load(std::memory_order_relaxed)) {
        g_version.store(version_ + 1, std::memory_order_relaxed);
    }
    ~EntryChange() { g_version.store(version_ + 2, std::memory_order_release); }
    EntryChange(const EntryChange&) = delete;
    EntryChange& operator=(const EntryChange&) = delete;

private:
    uint64_t version_;
};

// Entries are read and written atomically: readers race with writers by
// design, and the version decides what they keep (orders: see g_version).
inline uintptr_t Load(const uintptr_t& word) noexcept {
    return std::atomic_ref<uintptr_t>(const_cast<uintptr_t&>(word)).load(std::memory_order_acquire);
}
inline void Store(uintptr_t& word, uintptr_t value) noexcept {
    std::atomic_ref<uintptr_t>(word).store(value, std::memory_order_release);
}
inline void StoreSlot(Slot& slot, uintptr_t handle, uintptr_t zoneAndBits) noexcept {
    Store(slot.handle, handle);
    Store(slot.zoneAndBits, zoneAndBits);
}

inline size_t Home(uintptr_t handle, size_t slotCount) noexcept {
    // Headers are 16-byte aligned heap addresses: drop the dead low bits,
    // then a multiplicative mix spreads neighbours over the table.
    return static_cast<size_t>(((handle >> 4) * 0x9E3779B97F4A7C15ull) >> 20) & (slotCount - 1);
}

// The slot holding `handle`, or the free slot where it would go; at most a
// table's length of steps (a reader may see a table being changed).
size_t Probe(const Table* table, uintptr_t handle) noexcept {
    const size_t mask = table->slotCount - 1;
    size_t i = Home(handle, table->slotCount);
    for (size_t steps = 0; steps < table->slotCount; ++steps, i = (i + 1) & mask) {
        const uintptr_t key = Load(table->slots[i].handle);
        if (key == 0 || key == handle) return i;
    }
    return i;
}

// Removes the entry at `i` and shifts the rest of its probe run back. Lock
// held, inside an EntryChange.
void EraseAt(Table* table, size_t i) noexcept KRMM_REQUIRES(g_records) {
    const size_t mask = table->slotCount - 1;
    Slot* slots = table->slots;
    size_t hole = i;
    for (size_t j = (i + 1) & mask; slots[j].handle != 0; j = (j + 1) & mask) {
        const size_t home = Home(slots[j].handle, table->slotCount);
        // The entry at j may fill the hole when its home is not cyclically
        // within (hole, j].
        const bool homeBetween = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
        if (!homeBetween) {
            StoreSlot(slots[hole], slots[j].handle, slots[j].zoneAndBits);
            hole = j;
        }
    }
    StoreSlot(slots[hole], 0, 0);
    --g_used;
}

// Notes that `zone` has records. Lock held.
void TrackZone(Partition* zone) noexcept KRMM_REQUIRES(g_records) {
    Partition** freeSlot = nullptr;
    for (Partition*& tracked : g_zonesWithRecords) {
        if (tracked == zone) return;
        if (tracked == nullptr && freeSlot == nullptr) freeSlot = &tracked;
    }
    if (freeSlot != nullptr) {
        *freeSlot = zone;
    } else {
        g_zonesWithRecordsOverflowed = true;
    }
}

// Forgets `zone` as one with records. \returns whether it may have had any.
bool UntrackZone(Partition* zone) noexcept KRMM_REQUIRES(g_records) {
    for (Partition*& tracked : g_zonesWithRecords) {
        if (tracked == zone) {
            tracked = nullptr;
            return true;
        }
    }
    return g_zonesWithRecordsOverflowed;
}

Table* NewTable(size_t slotCount) noexcept {
    static_assert(sizeof(Table) % alignof(Slot) == 0, "the slots follow the header, aligned");
    auto* table = static_cast<Table*>(std::calloc(1, sizeof(Table) + slotCount * sizeof(Slot)));
    if (table != nullptr) {
        table->slotCount = slotCount;
        table->slots = reinterpret_cast<Slot*>(table + 1);
    }
    return table;
}

// Fills `fresh` with every entry and publishes it. Lock held.
void Replace(Table* fresh) noexcept KRMM_REQUIRES(g_records) {
    Table* old = g_table.load(std::memory_order_relaxed);
    if (old != nullptr) {
        for (size_t i = 0; i < old->slotCount; ++i) {
            const Slot& slot = old->slots[i];
            if (slot.handle != 0) fresh->slots[Probe(fresh, slot.handle)] = slot;
        }
    }
    fresh->retired = old;
    g_table.store(fresh, std::memory_order_release);
    ++g_generation;
}

inline bool NeedsGrowth(const Table* table) noexcept KRMM_REQUIRES(g_records) {
    return table == nullptr || (g_used + 1) * 4 > table->slotCount * 3;
}

// The entry of `key` in the current table, read under the lock.
bool FindLocked(uintptr_t key, uintptr_t* zoneAndBits) noexcept KRMM_REQUIRES(g_records) {
    const Table* table = g_table.load(std::memory_order_relaxed);
    if (table == nullptr) return false;
    const Slot& slot = table->slots[Probe(table, key)];
    if (slot.handle != key) return false;
    *zoneAndBits = slot.zoneAndBits;
    return true;
}

inline BlockRecord RecordOf(uintptr_t zoneAndBits) noexcept {
    return BlockRecord{reinterpret_cast<Partition*>(zoneAndBits & ~kBitsMask),
                       static_cast<uint8_t>(zoneAndBits & kBitsMask)};
}

} // namespace

bool FindBlockZone(const void* handle, BlockRecord* out) noexcept {
    const auto key = reinterpret_cast<uintptr_t>(handle);
    if (key == 0) return false;
    for (int attempt = 0; attempt < kOptimisticTries; ++attempt) {
        const uint64_t before = g_version.load(std::memory_order_acquire);
        if (before & 1) continue;
        const Table* table = g_table.load(std::memory_order_acquire);
        if (table == nullptr) return false;
        const Slot& slot = table->slots[Probe(table, key)];
        const bool found = Load(slot.handle) == key;
        const uintptr_t zoneAndBits = Load(slot.zoneAndBits);
        if (g_version.load(std::memory_order_relaxed) != before) continue;
        if (found) *out = RecordOf(zoneAndBits);
        return found;
    }
    RecordsLock lock;
    uintptr_t zoneAndBits = 0;
    if (!FindLocked(key, &zoneAndBits)) return false;
    *out = RecordOf(zoneAndBits);
    return true;
}

bool TakeBlockZone(const void* handle, BlockRecord* out) noexcept {
    const auto key = reinterpret_cast<uintptr_t>(handle);
    if (key == 0) return false;
    RecordsLock lock;
    Table* table = g_table.load(std::memory_order_relaxed);
    if (table == nullptr) return false;
    const size_t i = Probe(table, key);
    if (table->slots[i].handle != key) return false;
    *out = RecordOf(table->slots[i].zoneAndBits);
    EntryChange change;
    EraseAt(table, i);
    return true;
}

bool RecordBlock(const void* handle, Partition* zone, uint8_t bits) noexcept {
    const auto key = reinterpret_cast<uintptr_t>(handle);
    const uintptr_t value = reinterpret_cast<uintptr_t>(zone) | bits;
    for (;;) {
        size_t wanted = 0;
        {
            RecordsLock lock;
            Table* table = g_table.load(std::memory_order_relaxed);
            if (table != nullptr) {
                Slot& slot = table->slots[Probe(table, key)];
                if (slot.handle == key || !NeedsGrowth(table)) {
                    EntryChange change;
                    if (slot.handle != key) ++g_used;
                    StoreSlot(slot, key, value);
                    TrackZone(zone);
                    return true;
                }
            }
            wanted = table == nullptr ? kInitialSlots : table->slotCount * 2;
        }
        // Grown with the lock released; another thread may have grown it meanwhile.
        Table* fresh = NewTable(wanted);
        if (fresh == nullptr) return false;
        {
            RecordsLock lock;
            const Table* table = g_table.load(std::memory_order_relaxed);
            if (table == nullptr || table->slotCount < wanted) {
                Replace(fresh);
                fresh = nullptr;
            }
        }
        std::free(fresh);
    }
}

void SetBlockBits(const void* handle, uint8_t bits) noexcept {
    const auto key = reinterpret_cast<uintptr_t>(handle);
    RecordsLock lock;
    Table* table = g_table.load(std::memory_order_relaxed);
    if (table == nullptr || key == 0) return;
    Slot& slot = table->slots[Probe(table, key)];
    if (slot.handle != key) return;
    EntryChange change;
    Store(slot.zoneAndBits, (slot.zoneAndBits & ~kBitsMask) | bits);
}

void ForgetBlock(const void* handle) noexcept {
    BlockRecord ignored;
    static_cast<void>(TakeBlockZone(handle, &ignored));
}

size_t CollectPurgeable(Partition* zone, size_t* cursor, const void** out, size_t max) noexcept {
    const uintptr_t wanted = reinterpret_cast<uintptr_t>(zone) | kPurgeableBit;
    RecordsLock lock;
    const Table* table = g_table.load(std::memory_order_relaxed);
    const size_t slotCount = table != nullptr ? table->slotCount : 0;
    // The cursor carries the generation in its high half: a replaced table
    // starts the walk again (handles already emptied are skipped by the caller).
    const size_t generation = *cursor >> 32;
    size_t i = generation == (g_generation & 0xFFFFFFFFu) ? (*cursor & 0xFFFFFFFFu) : 0;
    size_t n = 0;
    for (; i < slotCount && n < max; ++i) {
        const Slot& slot = table->slots[i];
        if (slot.handle != 0 && (slot.zoneAndBits & ~uintptr_t{kResourceBit}) == wanted)
            out[n++] = reinterpret_cast<const void*>(slot.handle);
    }
    *cursor = ((g_generation & 0xFFFFFFFFu) << 32) | i;
    return n;
}

GrowZoneProcPtr GrowZoneOf(Partition* zone) noexcept {
    RecordsLock lock;
    for (ZoneSettings* s = g_zones; s != nullptr; s = s->next)
        if (s->zone == zone) return s->growZone;
    return nullptr;
}

bool NoteZone(Partition* zone, bool setGrowZone, GrowZoneProcPtr growZone) noexcept {
    ZoneSettings* fresh = nullptr;
    for (;;) {
        {
            RecordsLock lock;
            ZoneSettings* s = g_zones;
            while (s != nullptr && s->zone != zone) s = s->next;
            if (s != nullptr) {
                if (setGrowZone) s->growZone = growZone;
                break;
            }
            if (fresh != nullptr) {
                *fresh = ZoneSettings{zone, setGrowZone ? growZone : nullptr, g_zones};
                g_zones = fresh;
                return true;
            }
        }
        // Made with the lock released, linked on the next round.
        fresh = static_cast<ZoneSettings*>(std::malloc(sizeof(ZoneSettings)));
        if (fresh == nullptr) return false;
    }
    std::free(fresh);
    return true;
}

bool ZoneKnown(Partition* zone) noexcept {
    RecordsLock lock;
    for (ZoneSettings* s = g_zones; s != nullptr; s = s->next)
        if (s->zone == zone) return true;
    return false;
}

uint64_t ZoneEpoch() noexcept {
    return g_epoch.load(std::memory_order_relaxed);
}

void DropZone(Partition* zone) noexcept {
    ZoneSettings* dropped = nullptr;
    {
        RecordsLock lock;
        for (ZoneSettings** link = &g_zones; *link != nullptr; link = &(*link)->next) {
            if ((*link)->zone == zone) {
                dropped = *link;
                *link = dropped->next;
                break;
            }
        }
        Table* table = g_table.load(std::memory_order_relaxed);
        if (table != nullptr && UntrackZone(zone)) {
            // Erasing shifts later entries back onto the slot just examined,
            // so the slot is looked at again before moving on. An entry
            // shifted from the table's start to its end was examined at the
            // start.
            const auto key = reinterpret_cast<uintptr_t>(zone);
            EntryChange change;
            for (size_t i = 0; i < table->slotCount;) {
                const Slot& slot = table->slots[i];
                if (slot.handle != 0 && (slot.zoneAndBits & ~kBitsMask) == key) {
                    EraseAt(table, i);
                } else {
                    ++i;
                }
            }
        }
        // Only a zone with settings can be some thread's current zone.
        if (dropped != nullptr) g_epoch.fetch_add(1, std::memory_order_relaxed);
    }
    std::free(dropped);
}

} // namespace KRMM::toolbox
