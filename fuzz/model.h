// model.h - what a partition should look like, kept beside the real one.
//
// The model knows every live block of a partition (its handle, data pointer,
// bytes, capacity, placement and per-block settings), every pool with its
// free and used lists in order, the callback table, the counters and the
// order in which blocks were linked into the registry. It predicts the
// outcome of each operation from the rules of the library alone (inline
// below 5000 bytes, capacity max(size, 8), a move reserves max(oversize, 16),
// detached storage kept within oversize + 5000, counting on entry, ...), and
// checks the partition against itself field by field.
//
// Thread safety: single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include <KRMM/KRMM.h>

#include "fuzz_support.h"

namespace krmm_fuzz {

enum class Role : uint8_t { Data, PoolStorage, Resource };
enum class Record : uint8_t { None, Present, Unknown };

struct ModelBlock {
    KRMM::Handle h = nullptr;
    Role role = Role::Data;
    char* data = nullptr;          // the data pointer the block must have
    std::vector<uint8_t> bytes;    // its memSize bytes
    size_t capacity = 0;
    bool detached = false;
    uint32_t oversize = 0;
    bool locked = false;
    bool instantiated = false;
    int destructor = -1;           // index of DestructorProc, -1 none
    void* userData = nullptr;
    int pool = -1;                 // pool id of a pool block
    size_t slot = 0;
    uint64_t linkSeq = 0;          // registry order: higher is newer
    int storageOf = -1;            // pool id whose storage this block is
    void** qtResource = nullptr;   // resource blocks
    int16_t resFile = -1;
    Record record = Record::None;  // call-stack record
};

// What a pool slot keeps while its block is free.
struct SlotState {
    bool inUse = false;
    size_t memSize = 0;
    bool locked = false;
    uint32_t oversize = 0;
    bool instantiated = false;
    int destructor = -1;
};

struct ModelPool {
    bool alive = false;
    KRMM::Handle h = nullptr;
    size_t blockSize = 0;
    size_t blockCount = 0;
    std::vector<size_t> freeList;  // head first
    std::vector<size_t> usedList;  // head first
    std::vector<SlotState> slots;
};

// Where Allocate will take a block from.
struct AllocPlan {
    int pool = -1;    // pool id when the current pool serves it
    size_t slot = 0;
};

// What Resize will do.
struct ResizePlan {
    bool keep = false;       // storage kept, nothing moves
    bool impossible = false; // the moved size cannot be represented
    size_t slack = 0;
};

class ModelPartition {
public:
    KRMM::Partition* p = nullptr;
    uint64_t bytes = 0;  // bytesAllocated, with two's-complement wrap
    int64_t blocks = 0;
    int32_t calls = 0;
    int64_t poolHits = 0;
    long heapLive = 0;  // heap allocations the library made for this partition, minus releases
    bool tracing = false;
    bool poolEnabled = false;
    int currentPool = -1;
    std::vector<ModelBlock> live;
    std::vector<ModelPool> pools;
    std::vector<char*> released;  // handles and data pointers of released blocks, only hashed
    KRMM::MemoryCallbackProc cbProc[128] = {};
    int32_t cbCount[128] = {};
    void* cbUser[128] = {};

    void Reset(KRMM::Partition* partition);

    // Block lookup and picking.
    int Find(const void* handle) const;
    // A block linked into a registry by some other path (resources).
    int AddLinked(ModelBlock&& b) { b.linkSeq = ++seq_; return Add(std::move(b)); }
    int Pick(uint8_t selector, Role role) const;  // -1 when there is none
    int PickPoolBlock(uint8_t selector) const;    // a pool block of a live pool
    int LivePool(uint8_t selector) const;         // -1 when there is none
    size_t CountRole(Role role) const;

    // Allocation.
    AllocPlan PlanAllocate(size_t size) const;
    void CountAllocateEntry(const AllocPlan& plan, size_t size);
    // Adds the block Allocate returned; checks its header against the plan.
    int AddAllocated(const AllocPlan& plan, size_t size, char* data, Role role, bool refusedSomething);
    KRMM::MemoryBlock* PoolBlockAddress(int pool, size_t slot) const;

    // A block handed out by RequestPoolBlock itself: no counters, and the slot
    // gives back what its last user left (size, lock, oversize, object state).
    int AddRequested(int pool, bool refusedSomething);

    // Resizing. Applies the counted-on-entry adjustment.
    ResizePlan PlanResize(const ModelBlock& b, size_t newSize) const;
    void CountResizeEntry(const ModelBlock& b, size_t newSize);
    // After a successful resize: sizes, placement, the kept prefix.
    void ApplyResized(int index, const ResizePlan& plan, size_t newSize, char* newData);

    // Release. Deallocate counts out and hands pool blocks back.
    void ApplyDeallocate(int index);
    void ReleaseToPool(int index);  // no counters, as ReleasePoolBlock
    void Remove(int index);         // a heap or resource block leaves for good

    // Callback table.
    bool Register(KRMM::MemoryCallbackProc proc, void* userData);
    bool Unregister(KRMM::MemoryCallbackProc proc);
    int SlotOf(KRMM::MemoryCallbackProc proc) const;
    int FreeSlot() const;
    void ExpectNotified(size_t size, int event = 1) const;  // every live non-null function once, in slot order
    void ExpectSilence() const;

    // Checks.
    void CheckCounters() const;
    void CheckBlock(const ModelBlock& b, bool withBytes) const;  // header fields, and bytes
    void CheckRegistry() const;                   // both registries, chains, counts, order
    void CheckPools() const;                      // headers, lists, slot flags
    void CheckAll() const;

private:
    int Add(ModelBlock&& b);
    void CheckChains(KRMM::MemoryBlock* const* buckets, const unsigned long* counts, bool resources) const;

    uint64_t seq_ = 0;
    std::unordered_map<const void*, int> where_;  // handle -> index in live
};

} // namespace krmm_fuzz
