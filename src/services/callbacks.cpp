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
// Thread safety: registration and unregistration hold KRMM_CriticalSection
// for their whole work. Notifications and the two queries read the table
// without the lock, because Resize notifies and Resize may be called by a
// thread that holds KRMM_CriticalSection (the lock is not recursive). Table
// words are read and written as atomics: a registration publishes function
// and user data before the count that makes the slot live (release/acquire),
// so an unlocked reader never sees a torn word. A notification first copies
// the live pairs into a stack array and only then calls them, so a callback
// that registers or unregisters does not change the walk it is part of.
#include <atomic>
#include <cstddef>

#include <KRMM/KRMM.h>

#include "core/layout.h"
#include "platform/lock.h"

namespace KRMM {
namespace {

constexpr int kSlotCount = static_cast<int>(detail::kCallbackSlots);
static_assert(sizeof(Partition::callbackProcs) / sizeof(Partition::callbackProcs[0]) ==
              detail::kCallbackSlots);

template <class T>
inline T Load(const T& word, std::memory_order order = std::memory_order_relaxed) noexcept {
    return std::atomic_ref<T>(const_cast<T&>(word)).load(order);
}

template <class T>
inline void Store(T& word, T value, std::memory_order order = std::memory_order_relaxed) noexcept {
    std::atomic_ref<T>(word).store(value, order);
}

// Slot of `proc` among the slots in use, or -1. `userData` plays no part.
int FindSlot(const Partition& partition, MemoryCallbackProc proc) noexcept {
    for (int i = 0; i < kSlotCount; ++i) {
        if (Load(partition.callbackRefCounts[i], std::memory_order_acquire) > 0 &&
            Load(partition.callbackProcs[i]) == proc)
            return i;
    }
    return -1;
}

int FindFreeSlot(const Partition& partition) noexcept {
    for (int i = 0; i < kSlotCount; ++i)
        if (Load(partition.callbackRefCounts[i], std::memory_order_acquire) == 0) return i;
    return -1;
}

} // namespace

bool Partition::RegisterMemoryCallbackFunction(MemoryCallbackProc proc, void* userData) {
    detail::CriticalSection lock;
    int slot = FindSlot(*this, proc);
    if (slot >= 0) {
        Store(callbackUserData[slot], userData);
        Store(callbackRefCounts[slot], callbackRefCounts[slot] + 1, std::memory_order_release);
        return true;
    }
    slot = FindFreeSlot(*this);
    if (slot < 0) return false;
    // Function and user data first, then the count that makes the slot live.
    Store(callbackProcs[slot], proc);
    Store(callbackUserData[slot], userData);
    Store(callbackRefCounts[slot], int32_t{1}, std::memory_order_release);
    return true;
}

bool Partition::UnregisterMemoryCallbackFunction(MemoryCallbackProc proc) {
    detail::CriticalSection lock;
    const int slot = FindSlot(*this, proc);
    if (slot < 0) return false;
    const int32_t count = callbackRefCounts[slot] - 1;
    Store(callbackRefCounts[slot], count, std::memory_order_release);
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
