// callbacks.cpp - the partition's table of memory callbacks.
//
// Up to 128 functions per partition hear of heap refusals (event 1, with the
// size that was refused). Registration is counted: a function holds at most
// one slot, and registering it again raises the slot's count and replaces its
// user data; it stays until unregistered as many times. A slot is free
// exactly when its count is 0.
//
// The notification itself (InvokeCallbacks) belongs to the core, whose
// allocation paths call it when the heap refuses (core/allocation.cpp).
//
// Thread safety: registration and unregistration hold the partition's list
// lock (PartitionListGuard) for their whole work. Notifications and the two
// queries read the table without it, because Resize notifies and Resize may
// be called by a thread that holds KRMM_CriticalSection (the lock is not
// recursive). Table words are read and written as atomics, so no reader sees
// a torn word. A notification must also never pair one registration's
// function with another's user data, so the table is a sequence lock: a
// change makes the sequence word of the partition's stripe odd, writes the
// slot, and makes it even again; a notification copies the live pairs into a
// stack array between two reads of that word and copies again when the word
// was odd or changed in between. A thread holding KRMM_CriticalSection holds
// every stripe, so no change can be in progress and its copy succeeds at
// once. The copy is called only afterwards, so a callback that registers or
// unregisters does not change the walk it is part of, and a notification
// that copied a slot just before its unregistration still calls it once.
#include <atomic>
#include <cstddef>

#include <KRMM/KRMM.h>

#include "core/layout.h"
#include "core/list_guard.h"

namespace KRMM {
namespace {

constexpr int kSlotCount = static_cast<int>(detail::kCallbackSlots);
static_assert(sizeof(Partition::callbackProcs) / sizeof(Partition::callbackProcs[0]) ==
              detail::kCallbackSlots);

// relaxed: each table word on its own publishes nothing; the sequence word
// orders a notification's copy against changes, and registrations are
// ordered by the list lock.
template <class T>
inline T Load(const T& word) noexcept {
    return std::atomic_ref<T>(const_cast<T&>(word)).load(std::memory_order_relaxed);
}

// A slot store inside a TableChange. release: a notification that reads
// this value (with acquire) then also sees the odd sequence word stored
// before it, so it takes its copy again.
template <class T>
inline void Store(T& word, T value) noexcept {
    std::atomic_ref<T>(word).store(value, std::memory_order_release);
}

// A change of the table, inside the list lock: the sequence word is odd for
// its duration.
class TableChange {
public:
    explicit TableChange(const Partition& partition) noexcept : sequence_(detail::CallbackSequenceOf(partition)) {
        // relaxed load: only list-lock holders write the word, and we hold it.
        const uint32_t even = sequence_.load(std::memory_order_relaxed);
        // relaxed: the slot stores that follow are releases, which order
        // this odd word before them (see Store).
        sequence_.store(even + 1, std::memory_order_relaxed);
    }
    ~TableChange() {
        // release: our slot stores are visible to a reader whose acquiring
        // first read sees the even word.
        sequence_.store(sequence_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    TableChange(const TableChange&) = delete;
    TableChange& operator=(const TableChange&) = delete;

private:
    std::atomic_ref<uint32_t> sequence_;
};

// Slot of `proc` among the slots in use, or -1. `userData` plays no part.
int FindSlot(const Partition& partition, MemoryCallbackProc proc) noexcept {
    for (int i = 0; i < kSlotCount; ++i) {
        if (Load(partition.callbackRefCounts[i]) > 0 &&
            Load(partition.callbackProcs[i]) == proc)
            return i;
    }
    return -1;
}

int FindFreeSlot(const Partition& partition) noexcept {
    for (int i = 0; i < kSlotCount; ++i)
        if (Load(partition.callbackRefCounts[i]) == 0) return i;
    return -1;
}

} // namespace

bool Partition::RegisterMemoryCallbackFunction(MemoryCallbackProc proc, void* userData) {
    detail::PartitionListGuard guard(*this);
    int slot = FindSlot(*this, proc);
    if (slot < 0) slot = FindFreeSlot(*this);
    if (slot < 0) return false;
    TableChange change(*this);
    Store(callbackProcs[slot], proc);
    Store(callbackUserData[slot], userData);
    Store(callbackRefCounts[slot], callbackRefCounts[slot] + 1);
    return true;
}

bool Partition::UnregisterMemoryCallbackFunction(MemoryCallbackProc proc) {
    detail::PartitionListGuard guard(*this);
    const int slot = FindSlot(*this, proc);
    if (slot < 0) return false;
    TableChange change(*this);
    const int32_t count = callbackRefCounts[slot] - 1;
    Store(callbackRefCounts[slot], count);
    if (count == 0) {
        Store(callbackProcs[slot], MemoryCallbackProc{nullptr});
        Store(callbackUserData[slot], static_cast<void*>(nullptr));
    }
    return true;
}

int Partition::GetMemoryCallbackFunctionIndex(MemoryCallbackProc proc) const {
    return FindSlot(*this, proc);
}

int Partition::GetFreeMemoryCallbackFunctionSlot() const {
    return FindFreeSlot(*this);
}

} // namespace KRMM
