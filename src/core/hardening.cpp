// hardening.cpp - the messages of refused arguments (core/hardening.h).
// Only reached when a check fails.
//
// Thread safety: index lookups and chain walks, no lock.
#include "core/hardening.h"

namespace KRMM::detail {

const char* WhyNotHandle(const Partition& partition, const void* handle, HandleAnswer answer) noexcept {
    const bool resource = answer.known ? answer.kind == EntryKind::kResource
                                       : partition.HandleBelongsToUs(handle) &&
                                             partition.BlockIsResource(static_cast<const MemoryBlock*>(handle));
    if (resource) return kResourceHandle;
    if (partition.GetVerifiedBlockForPointer(handle) != nullptr) return kPointerForHandle;
    return kStaleHandle;
}

bool CheckHandleSlowly(const Partition& partition, const void* handle, HandleUse use, HandleAnswer first) noexcept {
    const HandleAnswer answer = first.known ? first : SettledHandleAnswer(partition, handle);
    if (!answer.known) {
        // The index cannot tell: the chains do.
        if (partition.HandleBelongsToUs(handle) &&
            (use == HandleUse::kAny || !partition.BlockIsResource(static_cast<const MemoryBlock*>(handle))))
            return true;
    } else if (answer.kind == EntryKind::kInline || answer.kind == EntryKind::kMoved ||
               (answer.kind == EntryKind::kResource && use == HandleUse::kAny)) {
        return true;
    }
    Partition::KRMM_Assert(false, WhyNotHandle(partition, handle, answer));
    return false;
}

const char* WhyNotPointer(const Partition& partition, const void* ptr) noexcept {
    return partition.HandleBelongsToUs(ptr) ? kHandleForPointer : kStalePointer;
}

} // namespace KRMM::detail
