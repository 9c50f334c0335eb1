// stack_capture.cpp - allocation call stacks: the switch, the capture into a
// block's record, and KRMM_GetCallStack.
//
// With tracing on, every block handed out owns a record: a heap
// std::vector<void*> of exactly 59 slots, the captured return addresses first
// and nulls after them. Slot 0 is the capturing routine (CollectStackTrace)
// and slot 1 the operation that asked for the capture (Allocate,
// RequestPoolBlock, AllocateFromExistingResource). The capture is anchored on
// CollectStackTrace's own return address, so whatever frames the platform's
// unwinder adds (helpers, a sanitizer's wrapper) the first printed line is
// always the allocating operation. Printing is the diagnostics' business
// (diagnostics/call_stack.cpp); the record is the block's, released with it.
//
// Thread safety: KRMM_CriticalSection guards only the swap of a block's
// record; building, capturing and freeing happen outside it, so no heap call
// runs under the lock. KRMM_GetCallStack takes no lock and keeps no state.
// Tracing on/off is a relaxed atomic flag.
#include <algorithm>
#include <atomic>
#include <new>
#include <vector>

#include <KRMM/KRMM.h>

#include "core/layout.h"
#include "platform/lock.h"
#include "platform/prim.h"

namespace KRMM {
namespace {

using StackRecord = std::vector<void*>;

// Slot 0 of a capture is the capturing routine and slot 1 its caller, whose
// return address the routine passes in as `callerReturn`. The unwinder also
// reports the frames between it and the routine (this helper, the platform's
// own, and wrappers a sanitizer puts around it), so the capture is anchored
// on `callerReturn`: the frame just before it is slot 0. Without the anchor
// among the first frames (an unwinder that cannot see it) the raw frames are
// kept. Writes at most `capacity` (<= 59) addresses to `out`; returns the count.
int CaptureFrom(const void* callerReturn, void** out, int capacity) noexcept {
    constexpr int kExtraFrames = 8;
    void* raw[detail::kStackSlots + kExtraFrames];
    const int captured = prim::CaptureStack(raw, capacity + kExtraFrames);
    int start = 0;
    for (int i = 0; i < captured && i <= kExtraFrames + 1; ++i) {
        if (raw[i] == callerReturn) {
            start = i > 0 ? i - 1 : 0;
            break;
        }
    }
    const int count = std::min(captured - start, capacity);
    std::copy_n(raw + start, count, out);
    return count;
}

} // namespace

void Partition::EnableStackTraceInfo(bool enabled) {
    // Relaxed: a switch, ordered with nothing else.
    std::atomic_ref<bool>(stackTraceEnabled).store(enabled, std::memory_order_relaxed);
}

// Never inlined: its frame is slot 0 of every record it makes, and its
// return address (into the allocating operation) anchors slot 1.
[[gnu::noinline]] void Partition::CollectStackTrace(MemoryBlock* block) {
    StackRecord* fresh = nullptr;
    if (detail::TracingOn(*this)) {
        // A refused record does not fail the allocation: the block then goes
        // without one (and loses any older one).
        try {
            fresh = new StackRecord(detail::kStackSlots);
        } catch (const std::bad_alloc&) {
            fresh = nullptr;
        }
        if (fresh != nullptr) {
            CaptureFrom(__builtin_return_address(0), fresh->data(),
                        static_cast<int>(detail::kStackSlots));
        }
    } else if (block->stackTrace == nullptr) {
        return;  // tracing off, nothing to drop: no lock
    }

    StackRecord* old;
    {
        detail::CriticalSection lock;
        old = block->stackTrace;
        block->stackTrace = fresh;
    }
    delete old;
}

} // namespace KRMM

// Never inlined: when the application calls it, slot 0 is this function and
// slot 1 the application's caller.
[[gnu::noinline]] int KRMM_GetCallStack(std::vector<void*>* frames) {
    if (frames == nullptr || frames->empty()) return 0;
    const int capacity = static_cast<int>(std::min(frames->size(), KRMM::detail::kStackSlots));
    return KRMM::CaptureFrom(__builtin_return_address(0), frames->data(), capacity);
}
