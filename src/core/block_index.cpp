// block_index.cpp - the lookup index beside the block registry: per-partition
// maps of headers and of moved data pointers, and the process-wide map from
// partition to index. Design, writers and readers: core/block_index.h.
#include "core/block_index.h"

#include <atomic>
#include <cstdint>
#include <new>
#include <optional>

#include "core/layout.h"
#include "core/list_guard.h"
#include "platform/lock.h"
#include "platform/prim.h"

// The functions on the allocation paths are always inlined; across files
// that takes effect in the link-time optimised release build, and elsewhere
// GCC says it cannot inline them, which is expected.
#pragma GCC diagnostic ignored "-Wattributes"

namespace KRMM::detail {
namespace {

constexpr unsigned kTagShift = 48;
constexpr uint64_t kAddressMask = (uint64_t{1} << kTagShift) - 1;
constexpr uint64_t kEmpty = 0;
constexpr uint64_t kTombstone = 1;  // never a real key: real keys carry a tag
constexpr uint64_t kTagData = 4;
constexpr uint64_t kTagPartition = 5;
constexpr size_t kMinCapacity = 256;  // 4 KiB of slots
constexpr int kReadAttempts = 8;
constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;

// A table is two arrays of words in zeroed memory from the kernel, accessed
// through atomic_ref (no constructor runs over it): the keys, and (for maps
// that keep values) the values at the same positions. The header map keeps
// values only once a snapshot asked for sequence numbers, so until then an
// entry costs 8 bytes / load.
struct Table {
    size_t capacity;  // any size: the hash is scaled to it, not masked
    size_t bytes;     // the mapping's size
    Table* retiredNext;
    bool hasValues;
    uint64_t* keys() noexcept { return reinterpret_cast<uint64_t*>(this + 1); }
    uint64_t* values() noexcept { return hasValues ? keys() + capacity : nullptr; }
};
static_assert(sizeof(Table) % alignof(uint64_t) == 0, "the key words follow the table header");

constexpr size_t kNotFound = static_cast<size_t>(-1);

// Words of a table are read by lookups on other threads while a writer
// changes them. Acquire on a key load pairs with the release of the key
// store, so a reader that sees a key also sees the value written before it.
[[gnu::always_inline]] inline uint64_t LoadWord(const uint64_t& word, std::memory_order order) noexcept {
    return std::atomic_ref<uint64_t>(const_cast<uint64_t&>(word)).load(order);
}
[[gnu::always_inline]] inline void StoreWord(uint64_t& word, uint64_t value, std::memory_order order) noexcept {
    std::atomic_ref<uint64_t>(word).store(value, order);
}

inline uint64_t KeyOf(const void* address, uint64_t tag) noexcept {
    return reinterpret_cast<uintptr_t>(address) | (tag << kTagShift);
}
inline bool Keyable(const void* address) noexcept {
    const uintptr_t a = reinterpret_cast<uintptr_t>(address);
    return a > kTombstone && a <= kAddressMask;
}
inline bool IsEntry(uint64_t key) noexcept {
    return key != kEmpty && key != kTombstone;
}

Table* NewTable(size_t capacity, bool hasValues) noexcept {
    const size_t bytes = sizeof(Table) + capacity * sizeof(uint64_t) * (hasValues ? 2 : 1);
    void* pages = prim::MapZeroedPages(bytes);
    if (pages == nullptr) return nullptr;
    return new (pages) Table{capacity, bytes, nullptr, hasValues};
}

// The address's mixed bits scaled to [0, capacity): multiply and keep the
// high word, which needs no power-of-two size.
[[gnu::always_inline]] inline size_t Home(const Table* table, uint64_t address) noexcept {
    const unsigned __int128 scaled = static_cast<unsigned __int128>(address * kGolden) * table->capacity;
    return static_cast<size_t>(scaled >> 64);
}

// The position holding `address`, or kNotFound. Stops at the first empty
// slot: linear probing never leaves an empty slot between an entry and its home.
[[gnu::always_inline]] inline size_t Probe(Table* table, uint64_t address) noexcept {
    const uint64_t* keys = table->keys();
    for (size_t i = Home(table, address), n = 0; n < table->capacity; ++n) {
        const uint64_t key = LoadWord(keys[i], std::memory_order_acquire);
        if (key == kEmpty) return kNotFound;
        if (key != kTombstone && (key & kAddressMask) == address) return i;
        if (++i == table->capacity) i = 0;
    }
    return kNotFound;
}

// Writes an entry into the first free slot from its home. Writers only.
// \returns whether the slot was empty (rather than a tombstone).
[[gnu::always_inline]] inline bool Place(Table* table, uint64_t key, uint64_t value) noexcept {
    uint64_t* keys = table->keys();
    for (size_t i = Home(table, key & kAddressMask);;) {
        const uint64_t old = LoadWord(keys[i], std::memory_order_relaxed);
        if (!IsEntry(old)) {
            if (uint64_t* values = table->values()) StoreWord(values[i], value, std::memory_order_relaxed);
            StoreWord(keys[i], key, std::memory_order_release);
            return old == kEmpty;
        }
        if (++i == table->capacity) i = 0;
    }
}

// One open-addressed map. The table pointer and version are read by lookups
// on any thread; the counts and the retired list belong to the writers (the
// counts are atomics only because ReserveForLink reads them as a hint).
struct AddressMap {
    std::atomic<Table*> table{nullptr};
    std::atomic<uint32_t> version{0};  // odd while a rebuild moves entries in place
    std::atomic<size_t> live{0};       // entries; changed only by the map's writers (Bump)
    std::atomic<size_t> used{0};       // entries + tombstones; the same
    Table* retired = nullptr;          // replaced tables, unmapped with the map
    // Tables made from now on keep values. Relaxed: set once, before the
    // rebuild that gives the map such a table, by a writer.
    std::atomic<bool> keepValues{true};
};

// Changes a count of the map. Its writers exclude each other, so a relaxed
// load and store suffice (no locked instruction); the atomic type only makes
// ReserveForLink's unguarded read of it a defined one.
inline void Bump(std::atomic<size_t>& count, size_t delta) noexcept {
    count.store(count.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
}

// A table is rebuilt when a link would fill more than 13/16 of it, into a
// table that the entries fill to at most 9/16 (in place if it is that big).
inline bool NeedsRebuild(const AddressMap& map, const Table* table) noexcept {
    return table == nullptr || (map.used.load(std::memory_order_relaxed) + 1) * 16 > table->capacity * 13;
}
inline size_t CapacityFor(size_t entries) noexcept {
    const size_t wanted = (entries + 1) * 16 / 9 + 1;
    return wanted > kMinCapacity ? wanted : kMinCapacity;
}

struct Found {
    bool known;
    uint64_t key;    // 0: absent
    uint64_t value;
};

// A lookup by any thread, no lock: a seqlock read over version and table.
// When the caller needs the key word only (`needValue` false), a hit is
// taken at once: a key word is written whole, and a table holds an entry
// only while its block is registered (a replaced table is never written
// again). A miss, or a value, is taken only if version and table did not
// change meanwhile, since a rebuild moves entries and a value may then be
// read beside another entry's key.
[[gnu::always_inline]] inline Found Lookup(const AddressMap& map, uint64_t address, bool needValue = true) noexcept {
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        // Acquire: the table's contents as published, and the version before
        // the slots are read (paired with the writers' release stores).
        const uint32_t version = map.version.load(std::memory_order_acquire);
        Table* table = map.table.load(std::memory_order_acquire);
        uint64_t key = kEmpty;
        uint64_t value = 0;
        if (table != nullptr && (version & 1) == 0) {
            const size_t i = Probe(table, address);
            if (i != kNotFound) {
                key = LoadWord(table->keys()[i], std::memory_order_relaxed);
                if (!needValue && IsEntry(key) && (key & kAddressMask) == address) return {true, key, 0};
                if (const uint64_t* values = table->values()) value = LoadWord(values[i], std::memory_order_relaxed);
            }
        }
        // The slot reads stay before the re-reads below (seqlock reader). A
        // table is replaced before it is discarded, so reads that met the
        // discard see the new pointer here and try again.
        std::atomic_thread_fence(std::memory_order_acquire);
        if ((version & 1) != 0 || map.version.load(std::memory_order_relaxed) != version ||
            map.table.load(std::memory_order_relaxed) != table)
            continue;
        if (!IsEntry(key) || (key & kAddressMask) != address) return {true, kEmpty, 0};
        return {true, key, value};
    }
    return {false, kEmpty, 0};
}

// A lookup of the key word only: the hit, the common case of every check,
// inline and without the version; a miss, or a probe that met a rebuild, out
// of line through Lookup (which settles it under the version).
[[gnu::noinline]] Found LookupKeySettled(const AddressMap& map, uint64_t address) noexcept {
    return Lookup(map, address, false);
}
[[gnu::always_inline]] inline Found LookupKey(const AddressMap& map, uint64_t address) noexcept {
    // acquire: the table's contents as published.
    Table* table = map.table.load(std::memory_order_acquire);
    if (table != nullptr) {
        const size_t i = Probe(table, address);
        // relaxed, read again: a rehash may have moved the entry since the probe.
        const uint64_t key = i != kNotFound ? LoadWord(table->keys()[i], std::memory_order_relaxed) : kEmpty;
        if (IsEntry(key) && (key & kAddressMask) == address) return {true, key, 0};
    }
    return LookupKeySettled(map, address);
}

// Writers (exclusion as the header says). The caller made room.
[[gnu::always_inline]] inline bool Insert(AddressMap& map, uint64_t key, uint64_t value) noexcept {
    Table* table = map.table.load(std::memory_order_relaxed);
    // Room was reserved before the critical section; a map that other links
    // filled meanwhile past 15/16 gives up rather than probe forever.
    if (table == nullptr || (map.used.load(std::memory_order_relaxed) + 1) * 16 > table->capacity * 15) return false;
    if (Place(table, key, value)) Bump(map.used, 1);
    Bump(map.live, 1);
    return true;
}

// Removes `address`; \returns its key, or 0 when absent. A tombstone whose
// successor is empty becomes empty itself, and so on backwards: no entry
// lies beyond an empty slot from its home, so no lookup loses its way.
[[gnu::always_inline]] inline uint64_t Erase(AddressMap& map, uint64_t address) noexcept {
    Table* table = map.table.load(std::memory_order_relaxed);
    if (table == nullptr) return kEmpty;
    size_t i = Probe(table, address);
    if (i == kNotFound) return kEmpty;
    uint64_t* keys = table->keys();
    const size_t last = table->capacity - 1;
    const uint64_t key = LoadWord(keys[i], std::memory_order_relaxed);
    Bump(map.live, static_cast<size_t>(-1));
    if (LoadWord(keys[i == last ? 0 : i + 1], std::memory_order_relaxed) != kEmpty) {
        StoreWord(keys[i], kTombstone, std::memory_order_release);
        return key;
    }
    size_t freed = 0;
    do {
        StoreWord(keys[i], kEmpty, std::memory_order_release);
        ++freed;
        i = i == 0 ? last : i - 1;
    } while (LoadWord(keys[i], std::memory_order_relaxed) == kTombstone && freed < table->capacity);
    Bump(map.used, 0 - freed);
    return key;
}

// Copies `map` into `fresh` (bigger, or keeping values) and retires the old
// table, which it returns for discarding. Writers excluded; lookups go on in
// either table.
Table* MoveToTable(AddressMap& map, Table* fresh) noexcept {
    Table* table = map.table.load(std::memory_order_relaxed);
    if (table != nullptr) {
        const uint64_t* keys = table->keys();
        const uint64_t* values = table->values();
        for (size_t i = 0; i < table->capacity; ++i) {
            const uint64_t key = LoadWord(keys[i], std::memory_order_relaxed);
            if (IsEntry(key)) Place(fresh, key, values != nullptr ? LoadWord(values[i], std::memory_order_relaxed) : 0);
        }
        table->retiredNext = map.retired;
        map.retired = table;
    }
    // Release: the copied slots before the pointer that leads to them.
    map.table.store(fresh, std::memory_order_release);
    map.used.store(map.live.load(std::memory_order_relaxed), std::memory_order_relaxed);
    return table;
}

// Clears the tombstones of `map`'s table in place, under an odd version.
// Writers excluded; lookups that overlap it try again. \returns false when
// the table has no empty slot to start from (Insert never fills it so far).
bool RehashInPlace(AddressMap& map) noexcept {
    Table* table = map.table.load(std::memory_order_relaxed);
    uint64_t* keys = table->keys();
    const uint64_t* values = table->values();
    // The pass starts after a slot that was empty before any tombstone is
    // cleared: no probe path crosses it, so every slot between an entry's
    // home and its place has been dealt with by the time the entry moves,
    // and no later move empties one of them. (After a cleared tombstone,
    // an entry whose path crossed it could be left behind an emptied slot.)
    size_t start = kNotFound;
    for (size_t i = 0; i < table->capacity && start == kNotFound; ++i)
        if (LoadWord(keys[i], std::memory_order_relaxed) == kEmpty) start = i;
    if (start == kNotFound) return false;

    const uint32_t version = map.version.load(std::memory_order_relaxed);
    map.version.store(version + 1, std::memory_order_relaxed);
    // Release fence: the odd version is visible before any slot changes.
    std::atomic_thread_fence(std::memory_order_release);
    for (size_t i = 0; i < table->capacity; ++i)
        if (LoadWord(keys[i], std::memory_order_relaxed) == kTombstone) StoreWord(keys[i], kEmpty, std::memory_order_relaxed);
    // Each entry moves to the first empty slot from its home, which is never
    // past where it was.
    for (size_t n = 1; n < table->capacity; ++n) {
        const size_t i = (start + n) % table->capacity;
        const uint64_t key = LoadWord(keys[i], std::memory_order_relaxed);
        if (!IsEntry(key)) continue;
        const uint64_t value = values != nullptr ? LoadWord(values[i], std::memory_order_relaxed) : 0;
        StoreWord(keys[i], kEmpty, std::memory_order_relaxed);
        Place(table, key, value);
    }
    map.used.store(map.live.load(std::memory_order_relaxed), std::memory_order_relaxed);
    // Release: the moved slots before the even version.
    map.version.store(version + 2, std::memory_order_release);
    return true;
}

void UnmapAll(AddressMap& map) noexcept {
    Table* table = map.table.exchange(nullptr, std::memory_order_relaxed);
    if (table != nullptr) prim::UnmapPages(table, table->bytes);
    while (map.retired != nullptr) {
        Table* next = map.retired->retiredNext;
        prim::UnmapPages(map.retired, map.retired->bytes);
        map.retired = next;
    }
}

// The index's writer flag: a test-and-set spin flag, held for a few slot
// writes, or for a rebuild. Acquire/release: the map changes of one holder
// are seen by the next.
class WriterFlag {
public:
    explicit WriterFlag(std::atomic<bool>& flag) noexcept : flag_(flag) { Take(flag_); }
    ~WriterFlag() { Give(flag_); }
    WriterFlag(const WriterFlag&) = delete;
    WriterFlag& operator=(const WriterFlag&) = delete;

    // Acquire/release: a holder sees everything the previous holder changed.
    // seq_cst on the exchange: a data move's handshake (DataMoveGuard) loads
    // the stripe's word after it, and that load must not pass the store.
    static void Take(std::atomic<bool>& flag) noexcept {
        while (flag.exchange(true, std::memory_order_seq_cst)) {
            while (flag.load(std::memory_order_relaxed)) CpuRelax();
        }
    }
    static void Give(std::atomic<bool>& flag) noexcept { flag.store(false, std::memory_order_release); }

private:
    std::atomic<bool>& flag_;
};

} // namespace

struct PartitionIndex {
    AddressMap headers;              // header -> sequence number
    AddressMap data;                 // moved data pointer -> header
    std::atomic<bool> writer{false};
    std::atomic<bool> broken{false};  // relaxed: once set it stays, lookups then walk chains
    uint64_t nextSequence = 1;       // under the chain guard
    const Partition* owner = nullptr;
};

namespace {

// The process-wide map from partition address to its index. Changed only by
// construction, destruction and FreeAllPartitions (never two at once), under
// its own flag; read by any thread.
AddressMap g_partitions;
std::atomic<bool> g_partitionsWriter{false};

inline bool Broken(const PartitionIndex* index) noexcept {
    return index->broken.load(std::memory_order_relaxed);
}

// Gives up on an index: lookups walk chains from now on. Relaxed: a lookup
// that still uses the index meanwhile races with the change it missed, as a
// chain walk racing with the link would.
inline void Break(PartitionIndex* index) noexcept {
    index->broken.store(true, std::memory_order_relaxed);
}

// A data move (Resize) changes the data map, and retags the header map,
// beside the list work of the partition, which changes both under the chain
// guard. It may not take that guard: Resize takes no lock, and its caller
// may hold the exported lock, which holds every stripe. So the two meet in a
// handshake instead, and list work pays no locked instruction for it:
//
// - list work that changes the data map does so under the stripe, and after
//   taking the stripe waits while the index's writer flag is up
//   (WaitOutDataMove);
// - a data move raises the writer flag and then looks at the stripe: if it
//   is free, or held with all the others by the exported lock's holder, the
//   move goes ahead; otherwise it lowers the flag, waits for the stripe, and
//   tries again. The holder itself changes the data map only through the
//   public chain operations, which take the flag (DataMapWriter).
//
// Each side stores (the flag; the stripe) and then loads what the other
// stores, with a full fence between, so at least one of them sees the
// other and waits. Neither waits while holding what the other needs.
class DataMoveGuard {
public:
    explicit DataMoveGuard(PartitionIndex& index) noexcept;
    ~DataMoveGuard();
    DataMoveGuard(const DataMoveGuard&) = delete;
    DataMoveGuard& operator=(const DataMoveGuard&) = delete;

private:
    std::atomic<bool>& flag_;
};

// Who a rebuild must exclude, besides the map's other writers.
enum class RebuildExclusion {
    kWriterFlag,  // the partition map: only writers, under the flag
    kChainGuard,  // an index's map from outside the chain guard: the guard, then the flag
    kDataMove,    // an index's map from inside a data move: the handshake
};

// Makes room for one entry in `map` of `index` (null: the partition map).
// The caller holds nothing. \returns false when the pages were refused.
bool Rebuilt(AddressMap& map, PartitionIndex* index, RebuildExclusion exclusion) noexcept;

[[gnu::always_inline]] inline bool Reserve(AddressMap& map, PartitionIndex* index, RebuildExclusion exclusion) noexcept {
    // acquire: runs before the chain guard is taken, so the table's fields
    // (its capacity) are seen only through the release that published it.
    return !NeedsRebuild(map, map.table.load(std::memory_order_acquire)) || Rebuilt(map, index, exclusion);
}

// Reserve's slow path: maps a bigger table or clears tombstones in place.
// Also gives a map that is to keep values a table with values.
[[gnu::noinline]] bool Rebuilt(AddressMap& map, PartitionIndex* index, RebuildExclusion exclusion) noexcept {
    const bool values = map.keepValues.load(std::memory_order_relaxed);
    const auto lacksValues = [&](const Table* t) { return values && t != nullptr && !t->hasValues; };
    // acquire: read before the guard is taken, as in Reserve.
    Table* table = map.table.load(std::memory_order_acquire);
    size_t wanted = CapacityFor(map.live.load(std::memory_order_relaxed));
    Table* fresh = nullptr;
    if (table == nullptr || wanted > table->capacity || lacksValues(table)) {
        if (table != nullptr && wanted < table->capacity) wanted = table->capacity;
        fresh = NewTable(wanted, values);
        if (fresh == nullptr) return false;
    }
    Table* retired = nullptr;
    bool rehashed = true;
    {
        std::optional<PartitionListGuard> guard;
        std::optional<WriterFlag> writer;
        std::optional<DataMoveGuard> move;
        if (exclusion == RebuildExclusion::kChainGuard) guard.emplace(*index->owner);
        if (exclusion == RebuildExclusion::kDataMove)
            move.emplace(*index);
        else
            writer.emplace(index != nullptr ? index->writer : g_partitionsWriter);
        table = map.table.load(std::memory_order_relaxed);
        if (NeedsRebuild(map, table) || lacksValues(table)) {
            const size_t live = map.live.load(std::memory_order_relaxed);
            if (fresh != nullptr && (table == nullptr || lacksValues(table) || fresh->capacity > table->capacity) &&
                CapacityFor(live) <= fresh->capacity) {
                retired = MoveToTable(map, fresh);
                fresh = nullptr;
            } else if (table != nullptr && !lacksValues(table) && CapacityFor(live) <= table->capacity) {
                rehashed = RehashInPlace(map);
            }
        }
    }
    if (fresh != nullptr) prim::UnmapPages(fresh, fresh->bytes);
    // Stays mapped (a late lookup reads zeros and tries again), holds no memory.
    if (retired != nullptr) prim::DiscardPages(retired, retired->bytes);
    return rehashed;
}

// Reserve for a map of `index`, which is marked broken when the pages are refused.
[[gnu::always_inline]] inline bool ReserveOrBreak(PartitionIndex* index, AddressMap& map, RebuildExclusion exclusion) noexcept {
    if (Reserve(map, index, exclusion)) return true;
    Break(index);
    return false;
}

DataMoveGuard::DataMoveGuard(PartitionIndex& index) noexcept : flag_(index.writer) {
    const auto stripe = LockWord(&StripeOf(*index.owner).lock);
    for (;;) {
        WriterFlag::Take(flag_);  // seq_cst exchange: the store before the loads below
        // seq_cst: the other half of the handshake with WaitOutDataMove.
        if (stripe.load(std::memory_order_seq_cst) == kLockFree || ExportedLockHoldsAllStripes()) return;
        WriterFlag::Give(flag_);
        while (stripe.load(std::memory_order_relaxed) != kLockFree && !ExportedLockHoldsAllStripes()) CpuRelax();
    }
}

DataMoveGuard::~DataMoveGuard() {
    WriterFlag::Give(flag_);
}

// List work, under the chain guard, before it changes the data map.
[[gnu::always_inline]] inline void WaitOutDataMove(const PartitionIndex* index) noexcept {
    FenceAfterLockAcquire();
    // seq_cst: loaded after the stripe was taken (the fence above); acquire
    // on the value the move's release wrote, so its changes are seen.
    while (index->writer.load(std::memory_order_seq_cst)) CpuRelax();
}

// Excludes data moves for one change of the data map by list work. Under a
// stripe that is the handshake; the public chain operations, though, run
// under the exported lock, beside which moves go ahead (its holder has
// every stripe), so they take the writer flag itself.
class DataMapWriter {
public:
    DataMapWriter(PartitionIndex* index, bool exportedLockHeld) noexcept
        : flag_(exportedLockHeld ? &index->writer : nullptr) {
        if (flag_ != nullptr)
            WriterFlag::Take(*flag_);
        else
            WaitOutDataMove(index);
    }
    ~DataMapWriter() {
        if (flag_ != nullptr) WriterFlag::Give(*flag_);
    }
    DataMapWriter(const DataMapWriter&) = delete;
    DataMapWriter& operator=(const DataMapWriter&) = delete;

private:
    std::atomic<bool>* flag_;
};

// A direct-mapped cache in front of g_partitions, so that the allocation
// paths find their partition's index in three loads. A slot names a
// partition and its index; it is rewritten (by attach and drop, under
// g_partitionsWriter) as: partition null, index, partition. A reader that
// reads the new index therefore also sees the null and not the old
// partition when it reads the slot's partition again.
struct CachedIndex {
    std::atomic<const void*> partition{nullptr};
    std::atomic<PartitionIndex*> index{nullptr};
};
constexpr unsigned kCacheBits = 9;  // 8 KiB: partitions rarely share a slot
CachedIndex g_indexCache[size_t{1} << kCacheBits];

inline CachedIndex& CacheSlotOf(const void* partition) noexcept {
    return g_indexCache[(reinterpret_cast<uintptr_t>(partition) * kGolden) >> (64 - kCacheBits)];
}

void SetCacheSlot(const void* partition, PartitionIndex* index) noexcept {
    CachedIndex& slot = CacheSlotOf(partition);
    slot.partition.store(nullptr, std::memory_order_relaxed);
    // Release: the null above before the index a reader may pair with it.
    slot.index.store(index, std::memory_order_release);
    slot.partition.store(index != nullptr ? partition : nullptr, std::memory_order_release);
}

[[gnu::always_inline]] inline PartitionIndex* FindIndex(const void* partition) noexcept {
    CachedIndex& slot = CacheSlotOf(partition);
    // Acquire on both: see the index the partition was stored after, and the
    // null stored before an index that replaced it.
    if (slot.partition.load(std::memory_order_acquire) == partition) {
        PartitionIndex* index = slot.index.load(std::memory_order_acquire);
        if (slot.partition.load(std::memory_order_relaxed) == partition) return index;
    }
    const Found found = Lookup(g_partitions, reinterpret_cast<uintptr_t>(partition));
    return found.key != kEmpty ? reinterpret_cast<PartitionIndex*>(found.value) : nullptr;
}

void ReleaseIndex(PartitionIndex* index) noexcept {
    UnmapAll(index->headers);
    UnmapAll(index->data);
    index->~PartitionIndex();
    prim::UnmapPages(index, sizeof(PartitionIndex));
}

} // namespace

[[gnu::always_inline]] PartitionIndex* IndexOf(const Partition* partition) noexcept {
    return FindIndex(partition);
}

void AttachIndex(const Partition* partition) noexcept {
    DropIndex(partition);  // a record freed without its destructor left one behind
    if (!Keyable(partition)) return;
    // From the kernel like the tables: the index makes no heap request.
    void* record = prim::MapZeroedPages(sizeof(PartitionIndex));
    if (record == nullptr) return;
    auto* index = new (record) PartitionIndex;
    index->owner = partition;
    // Sequence numbers are kept once a snapshot asks for them (EnableSequences).
    index->headers.keepValues.store(false, std::memory_order_relaxed);
    if (!ReserveOrBreak(index, index->headers, RebuildExclusion::kWriterFlag) ||
        !Reserve(g_partitions, nullptr, RebuildExclusion::kWriterFlag)) {
        ReleaseIndex(index);
        return;
    }
    WriterFlag writer(g_partitionsWriter);
    if (!Insert(g_partitions, KeyOf(partition, kTagPartition), reinterpret_cast<uintptr_t>(index))) {
        ReleaseIndex(index);
        return;
    }
    SetCacheSlot(partition, index);
}

// Fork: a flag held by another thread at the fork would stay held in the
// child for ever. The forking thread takes the partition map's flag and then
// every index's writer flag (after the stripes, which the fork handlers take
// first: the order used everywhere), so the child starts with no table half
// changed; both sides give them back.
namespace {
void ForEachIndexWriter(void (*action)(std::atomic<bool>&)) noexcept {
    Table* table = g_partitions.table.load(std::memory_order_acquire);
    if (table == nullptr || table->values() == nullptr) return;
    const uint64_t* keys = table->keys();
    const uint64_t* values = table->values();
    for (size_t i = 0; i < table->capacity; ++i) {
        if (!IsEntry(LoadWord(keys[i], std::memory_order_acquire))) continue;
        action(reinterpret_cast<PartitionIndex*>(LoadWord(values[i], std::memory_order_relaxed))->writer);
    }
}
} // namespace

bool IndexAnswers(const Partition& partition) noexcept {
    const PartitionIndex* index = FindIndex(&partition);
    return index != nullptr && !Broken(index);
}

void HoldIndexWritersForFork() noexcept {
    WriterFlag::Take(g_partitionsWriter);
    ForEachIndexWriter(&WriterFlag::Take);
}

void ReleaseIndexWritersAfterFork() noexcept {
    ForEachIndexWriter(&WriterFlag::Give);
    WriterFlag::Give(g_partitionsWriter);
}

void DropIndex(const Partition* partition) noexcept {
    if (!Keyable(partition)) return;
    PartitionIndex* index;
    {
        WriterFlag writer(g_partitionsWriter);
        index = FindIndex(partition);
        if (index == nullptr) return;
        if (CacheSlotOf(partition).partition.load(std::memory_order_relaxed) == partition)
            SetCacheSlot(partition, nullptr);
        Erase(g_partitions, reinterpret_cast<uintptr_t>(partition));
    }
    ReleaseIndex(index);
}

[[gnu::always_inline]] PartitionIndex* ReserveForLink(Partition& partition, bool dataElsewhere) noexcept {
    PartitionIndex* index = FindIndex(&partition);
    if (index == nullptr || Broken(index)) return index;
    if (ReserveOrBreak(index, index->headers, RebuildExclusion::kChainGuard) && dataElsewhere)
        ReserveOrBreak(index, index->data, RebuildExclusion::kChainGuard);
    return index;
}

[[gnu::always_inline]] void IndexLinked(PartitionIndex* index, const MemoryBlock* block, bool resource,
                                       bool exportedLockHeld) noexcept {
    if (index == nullptr || Broken(index)) return;
    const char* data = block->masterPtr;
    const bool inlineData = data == reinterpret_cast<const char*>(block) + kHeaderSize;
    const EntryKind kind = resource ? EntryKind::kResource : inlineData ? EntryKind::kInline : EntryKind::kMoved;
    if (!Keyable(block) || (kind == EntryKind::kMoved && data != nullptr && !Keyable(data)) ||
        !Insert(index->headers, KeyOf(block, static_cast<uint64_t>(kind)), index->nextSequence++)) {
        Break(index);
        return;
    }
    if (kind == EntryKind::kMoved && data != nullptr) {
        DataMapWriter writer(index, exportedLockHeld);
        if (!Insert(index->data, KeyOf(data, kTagData), reinterpret_cast<uintptr_t>(block))) Break(index);
    }
}

[[gnu::always_inline]] void IndexUnlinked(PartitionIndex* index, const MemoryBlock* block, bool exportedLockHeld) noexcept {
    if (index == nullptr || Broken(index)) return;
    const uint64_t key = Erase(index->headers, reinterpret_cast<uintptr_t>(block));
    if (static_cast<EntryKind>(key >> kTagShift) == EntryKind::kMoved && block->masterPtr != nullptr) {
        DataMapWriter writer(index, exportedLockHeld);
        Erase(index->data, reinterpret_cast<uintptr_t>(block->masterPtr));
    }
}

PartitionIndex* IndexOfBuckets(const MemoryBlock* const* buckets, bool* resource) noexcept {
    const auto address = reinterpret_cast<uintptr_t>(buckets);
    const uintptr_t asOrdinary = address - offsetof(Partition, blockBuckets);
    if (PartitionIndex* index = FindIndex(reinterpret_cast<const void*>(asOrdinary))) {
        *resource = false;
        return index;
    }
    const uintptr_t asResource = address - offsetof(Partition, resourceBuckets);
    *resource = true;
    return FindIndex(reinterpret_cast<const void*>(asResource));
}

void IndexDataMoved(Partition& partition, const MemoryBlock* block, const char* oldData) noexcept {
    PartitionIndex* index = FindIndex(&partition);
    Found found{false, kEmpty, 0};
    if (index != nullptr && !Broken(index)) found = Lookup(index->headers, reinterpret_cast<uintptr_t>(block));
    if (found.known && found.key == kEmpty && (block->flags & kBlockFlagResource) == 0) {
        // Not registered here: a block of another partition resized through
        // this one still moves in its owner's index.
        Partition* owner = FindBlockOwner(block);
        index = owner != nullptr ? FindIndex(owner) : nullptr;
        if (index == nullptr || Broken(index)) return;
        found = Lookup(index->headers, reinterpret_cast<uintptr_t>(block));
    }
    if (index == nullptr || Broken(index)) return;
    // A lookup that met a rebuild by another thread (in place, or into a new
    // table) is asked again: the rebuild is short and waits for nothing this
    // thread holds. Giving up here would break the index for good.
    while (!found.known) {
        found = Lookup(index->headers, reinterpret_cast<uintptr_t>(block));
        if (Broken(index)) return;
    }
    const auto kind = static_cast<EntryKind>(found.key >> kTagShift);
    if (kind != EntryKind::kInline && kind != EntryKind::kMoved) return;
    // The data is now inline, elsewhere, or gone (an emptied handle: kMoved
    // with no data entry, so that no pointer finds it).
    const char* data = block->masterPtr;
    const EntryKind now = data == reinterpret_cast<const char*>(block) + kHeaderSize ? EntryKind::kInline : EntryKind::kMoved;
    const bool dataEntry = now == EntryKind::kMoved && data != nullptr;
    if (dataEntry) ReserveOrBreak(index, index->data, RebuildExclusion::kDataMove);
    DataMoveGuard move(*index);
    if (Broken(index)) return;
    if (kind == EntryKind::kMoved && oldData != nullptr) Erase(index->data, reinterpret_cast<uintptr_t>(oldData));
    if (kind != now) {
        Table* table = index->headers.table.load(std::memory_order_relaxed);
        const size_t i = table != nullptr ? Probe(table, reinterpret_cast<uintptr_t>(block)) : kNotFound;
        if (i == kNotFound) {
            Break(index);
            return;
        }
        StoreWord(table->keys()[i], KeyOf(block, static_cast<uint64_t>(now)), std::memory_order_release);
    }
    if (dataEntry && (!Keyable(data) || !Insert(index->data, KeyOf(data, kTagData), reinterpret_cast<uintptr_t>(block))))
        Break(index);
}

void EnableSequences(const Partition& partition) noexcept {
    PartitionIndex* index = FindIndex(&partition);
    if (index == nullptr || Broken(index) || index->headers.keepValues.load(std::memory_order_relaxed)) return;
    index->headers.keepValues.store(true, std::memory_order_relaxed);
    if (!Rebuilt(index->headers, index, RebuildExclusion::kChainGuard)) Break(index);
}

[[gnu::always_inline]] HandleAnswer FindHandle(const Partition& partition, const void* handle, bool wantSequence) noexcept {
    const PartitionIndex* index = FindIndex(&partition);
    if (index == nullptr || Broken(index)) return {false, EntryKind::kNone, 0, nullptr};
    if (!Keyable(handle)) return {true, EntryKind::kNone, 0, nullptr};
    const Found found = wantSequence ? Lookup(index->headers, reinterpret_cast<uintptr_t>(handle))
                                     : LookupKey(index->headers, reinterpret_cast<uintptr_t>(handle));
    return {found.known, static_cast<EntryKind>(found.key >> kTagShift), found.value, const_cast<PartitionIndex*>(index)};
}

[[gnu::always_inline]] PointerAnswer FindPointer(const Partition& partition, const void* ptr) noexcept {
    const PartitionIndex* index = FindIndex(&partition);
    if (index == nullptr || Broken(index)) return {false, nullptr, nullptr};
    // Inline data: its header would lie 136 bytes before it. Only computed,
    // never read; it may wrap for tiny values, which no key matches.
    const uintptr_t guess = reinterpret_cast<uintptr_t>(ptr) - kHeaderSize;
    if (guess > kTombstone && guess <= kAddressMask) {
        const Found found = LookupKey(index->headers, guess);
        if (!found.known) return {false, nullptr, nullptr};
        if (static_cast<EntryKind>(found.key >> kTagShift) == EntryKind::kInline)
            return {true, reinterpret_cast<MemoryBlock*>(guess), const_cast<PartitionIndex*>(index)};
    }
    if (!Keyable(ptr)) return {true, nullptr, nullptr};
    const Found found = Lookup(index->data, reinterpret_cast<uintptr_t>(ptr));
    return {found.known, reinterpret_cast<MemoryBlock*>(found.value), const_cast<PartitionIndex*>(index)};
}

Partition* FindBlockOwner(const void* handleOrPtr) noexcept {
    if (handleOrPtr == nullptr) return nullptr;
    Table* table = g_partitions.table.load(std::memory_order_acquire);
    if (table == nullptr) return nullptr;
    const uint64_t* keys = table->keys();
    for (size_t i = 0; i < table->capacity; ++i) {
        const uint64_t key = LoadWord(keys[i], std::memory_order_acquire);
        if (!IsEntry(key)) continue;
        const auto* partition = reinterpret_cast<const Partition*>(key & kAddressMask);
        const HandleAnswer asHandle = FindHandle(*partition, handleOrPtr);
        if (asHandle.kind != EntryKind::kNone) return const_cast<Partition*>(partition);
        if (FindPointer(*partition, handleOrPtr).block != nullptr) return const_cast<Partition*>(partition);
    }
    return nullptr;
}

IndexFootprint FootprintOf(const Partition& partition) noexcept {
    IndexFootprint footprint{0, 0, 0};
    const PartitionIndex* index = FindIndex(&partition);
    if (index == nullptr) return footprint;
    for (const AddressMap* map : {&index->headers, &index->data}) {
        if (const Table* table = map->table.load(std::memory_order_acquire)) footprint.liveBytes += table->bytes;
        for (const Table* t = map->retired; t != nullptr; t = t->retiredNext) footprint.retiredBytes += t->bytes;
        footprint.entries += map->live.load(std::memory_order_relaxed);
    }
    return footprint;
}

} // namespace KRMM::detail
