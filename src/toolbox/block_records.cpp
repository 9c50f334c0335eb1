// block_records.cpp - the classic interface's block records and zone
// settings (see block_records.h).
//
// The table holds (handle, zone | bits) pairs; handle 0 marks a free slot.
// Zones are partition records, aligned to 8 bytes, so the two flag bits ride
// in the low bits of the zone word. Removal shifts the rest of the probe run
// back (no tombstones), so a probe stops at the first free slot. The table
// is at most three quarters full; growth doubles it.
//
// Thread safety: g_recordsLock guards everything in this file; see the header.
#include "toolbox/block_records.h"

#include <atomic>
#include <cstdlib>

#include "platform/lock.h"

namespace KRMM::toolbox {
namespace {

struct Slot {
    uintptr_t handle;  // 0: free
    uintptr_t zoneAndBits;
};

constexpr uintptr_t kBitsMask = 7;
static_assert(alignof(Partition) >= 8, "the flag bits live in the low bits of a zone address");
static_assert((kPurgeableBit | kResourceBit | kPointerBit) <= kBitsMask,
              "the flags fit beside the zone address");

constexpr size_t kInitialSlots = 1024;

struct ZoneSettings {
    Partition* zone;
    GrowZoneProcPtr growZone;
    ZoneSettings* next;
};

os_unfair_lock g_recordsLock{};
Slot* g_slots = nullptr;
size_t g_slotCount = 0;  // a power of two, or 0 before the first record
size_t g_used = 0;
size_t g_generation = 0;  // changes when the table is rebuilt
ZoneSettings* g_zones = nullptr;
// The zones that may have records, so that the end of a partition that never
// had any costs no walk of the table. Past its size every end walks.
constexpr size_t kTrackedZones = 16;
Partition* g_zonesWithRecords[kTrackedZones] = {};
bool g_zonesWithRecordsOverflowed = false;
// Relaxed is enough: a reader that sees a new epoch then takes
// g_recordsLock, which orders everything else.
std::atomic<uint64_t> g_epoch{0};

class RecordsLock {
public:
    RecordsLock() noexcept { detail::LockAcquire(&g_recordsLock); }
    ~RecordsLock() { detail::LockRelease(&g_recordsLock); }
    RecordsLock(const RecordsLock&) = delete;
    RecordsLock& operator=(const RecordsLock&) = delete;
};

inline size_t Home(uintptr_t handle, size_t slotCount) noexcept {
    // Headers are 16-byte aligned heap addresses: drop the dead low bits,
    // then a multiplicative mix spreads neighbours over the table.
    return static_cast<size_t>(((handle >> 4) * 0x9E3779B97F4A7C15ull) >> 20) & (slotCount - 1);
}

// The slot holding `handle`, or the free slot where it would go. Lock held,
// table not empty.
size_t Probe(uintptr_t handle) noexcept {
    size_t i = Home(handle, g_slotCount);
    while (g_slots[i].handle != 0 && g_slots[i].handle != handle) i = (i + 1) & (g_slotCount - 1);
    return i;
}

// Removes the entry at `i` and shifts the rest of its probe run back.
void EraseAt(size_t i) noexcept {
    const size_t mask = g_slotCount - 1;
    size_t hole = i;
    for (size_t j = (i + 1) & mask; g_slots[j].handle != 0; j = (j + 1) & mask) {
        const size_t home = Home(g_slots[j].handle, g_slotCount);
        // The entry at j may fill the hole when its home is not cyclically
        // within (hole, j].
        const bool homeBetween = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
        if (!homeBetween) {
            g_slots[hole] = g_slots[j];
            hole = j;
        }
    }
    g_slots[hole] = Slot{0, 0};
    --g_used;
}

// Copies every entry into `fresh` (zeroed, `count` slots) and installs it.
// Lock held. \returns the old array, for the caller to free unlocked.
Slot* Rehash(Slot* fresh, size_t count) noexcept {
    Slot* old = g_slots;
    const size_t oldCount = g_slotCount;
    g_slots = fresh;
    g_slotCount = count;
    for (size_t i = 0; i < oldCount; ++i) {
        if (old[i].handle != 0) g_slots[Probe(old[i].handle)] = old[i];
    }
    ++g_generation;
    return old;
}

// Notes that `zone` has records. Lock held.
void TrackZone(Partition* zone) noexcept {
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
bool UntrackZone(Partition* zone) noexcept {
    for (Partition*& tracked : g_zonesWithRecords) {
        if (tracked == zone) {
            tracked = nullptr;
            return true;
        }
    }
    return g_zonesWithRecordsOverflowed;
}

inline bool NeedsGrowth() noexcept {
    return g_slotCount == 0 || (g_used + 1) * 4 > g_slotCount * 3;
}

} // namespace

bool FindBlockZone(const void* handle, BlockRecord* out) noexcept {
    const auto key = reinterpret_cast<uintptr_t>(handle);
    if (key == 0) return false;
    RecordsLock lock;
    if (g_slotCount == 0) return false;
    const Slot& slot = g_slots[Probe(key)];
    if (slot.handle == 0) return false;
    out->zone = reinterpret_cast<Partition*>(slot.zoneAndBits & ~kBitsMask);
    out->bits = static_cast<uint8_t>(slot.zoneAndBits & kBitsMask);
    return true;
}

bool RecordBlock(const void* handle, Partition* zone, uint8_t bits) noexcept {
    const auto key = reinterpret_cast<uintptr_t>(handle);
    const uintptr_t value = reinterpret_cast<uintptr_t>(zone) | bits;
    for (;;) {
        size_t wanted = 0;
        {
            RecordsLock lock;
            if (g_slotCount != 0) {
                const size_t i = Probe(key);
                if (g_slots[i].handle == key) {
                    g_slots[i].zoneAndBits = value;
                    return true;
                }
                if (!NeedsGrowth()) {
                    g_slots[i] = Slot{key, value};
                    ++g_used;
                    TrackZone(zone);
                    return true;
                }
            }
            wanted = g_slotCount == 0 ? kInitialSlots : g_slotCount * 2;
        }
        // Grow with the lock released; another thread may have grown it meanwhile.
        auto* fresh = static_cast<Slot*>(std::calloc(wanted, sizeof(Slot)));
        if (fresh == nullptr) return false;
        Slot* unused = fresh;
        {
            RecordsLock lock;
            if (g_slotCount < wanted) unused = Rehash(fresh, wanted);
        }
        std::free(unused);
    }
}

void SetBlockBits(const void* handle, uint8_t bits) noexcept {
    const auto key = reinterpret_cast<uintptr_t>(handle);
    RecordsLock lock;
    if (g_slotCount == 0) return;
    Slot& slot = g_slots[Probe(key)];
    if (slot.handle == key) slot.zoneAndBits = (slot.zoneAndBits & ~kBitsMask) | bits;
}

void ForgetBlock(const void* handle) noexcept {
    const auto key = reinterpret_cast<uintptr_t>(handle);
    RecordsLock lock;
    if (g_slotCount == 0 || key == 0) return;
    const size_t i = Probe(key);
    if (g_slots[i].handle == key) EraseAt(i);
}

size_t CollectPurgeable(Partition* zone, size_t* cursor, const void** out, size_t max) noexcept {
    const uintptr_t wanted = reinterpret_cast<uintptr_t>(zone) | kPurgeableBit;
    RecordsLock lock;
    // The cursor carries the generation in its high half: a rebuilt table
    // starts the walk again (handles already emptied are skipped by the caller).
    const size_t generation = *cursor >> 32;
    size_t i = generation == (g_generation & 0xFFFFFFFFu) ? (*cursor & 0xFFFFFFFFu) : 0;
    size_t n = 0;
    for (; i < g_slotCount && n < max; ++i) {
        if ((g_slots[i].zoneAndBits & ~uintptr_t{kResourceBit}) == wanted && g_slots[i].handle != 0)
            out[n++] = reinterpret_cast<const void*>(g_slots[i].handle);
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
        // Erasing shifts later entries back onto the slot just examined, so
        // the slot is looked at again before moving on. An entry shifted
        // from the table's start to its end was examined at the start.
        const auto key = reinterpret_cast<uintptr_t>(zone);
        const size_t slotCount = UntrackZone(zone) ? g_slotCount : 0;
        for (size_t i = 0; i < slotCount;) {
            if (g_slots[i].handle != 0 && (g_slots[i].zoneAndBits & ~kBitsMask) == key) {
                EraseAt(i);
            } else {
                ++i;
            }
        }
        // Only a zone with settings can be some thread's current zone.
        if (dropped != nullptr) g_epoch.fetch_add(1, std::memory_order_relaxed);
    }
    std::free(dropped);
}

} // namespace KRMM::toolbox
