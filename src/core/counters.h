// counters.h - updates of the partition counters (internal).
//
// The counters are plain fields of the public record. They are updated with
// relaxed atomic read-modify-writes so that threads allocating from one
// partition never lose a count; readers see each counter's latest value, with
// no ordering between counters.
//
// Thread safety: any thread, with or without KRMM_CriticalSection.
#pragma once

#include <atomic>
#include <cstdint>

namespace KRMM::detail {

template <class T>
inline void CounterAdd(T& counter, T delta) noexcept {
    std::atomic_ref<T>(counter).fetch_add(delta, std::memory_order_relaxed);
}

template <class T>
inline T CounterLoad(const T& counter) noexcept {
    return std::atomic_ref<T>(const_cast<T&>(counter)).load(std::memory_order_relaxed);
}

} // namespace KRMM::detail
