// hardening.cpp - the slow paths of the argument checks (core/hardening.h):
// answers the index could not give at once, and the messages of refusals.
//
// Thread safety: index lookups and chain walks, no lock.
#include "core/hardening.h"

namespace KRMM::detail {
namespace {

// These checks run inside every operation while other threads may link and
// unlink blocks of the same partition, so they never walk the chains
// unguarded when the index can answer: a lookup that met a rebuild (which is
// short) is asked again. Only a partition whose index cannot answer at all
// (its pages were refused) falls back to the chains.
HandleAnswer SettledHandleAnswer(const Partition& partition, const void* handle) noexcept {
    HandleAnswer answer = FindHandle(partition, handle);
    while (!answer.known && IndexAnswers(partition)) answer = FindHandle(partition, handle);
    return answer;
}

const char* WhyNotHandle(const Partition& partition, const void* handle, HandleAnswer answer) noexcept {
    const bool resource = answer.known ? answer.kind == EntryKind::kResource
                                       : partition.HandleBelongsToUs(handle) &&
                                             partition.BlockIsResource(static_cast<const MemoryBlock*>(handle));
    if (resource) return kResourceHandle;
    if (partition.GetVerifiedBlockForPointer(handle) != nullptr) return kPointerForHandle;
    return kStaleHandle;
}

const char* WhyNotPointer(const Partition& partition, const void* ptr) noexcept {
    return partition.HandleBelongsToUs(ptr) ? kHandleForPointer : kStalePointer;
}

} // namespace

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

MemoryBlock* CheckPointerSlowly(const Partition& partition, const void* ptr, PointerAnswer first) noexcept {
    PointerAnswer answer = first;
    while (!answer.known && IndexAnswers(partition)) answer = FindPointer(partition, ptr);
    if (MemoryBlock* block = answer.known ? answer.block : partition.GetVerifiedBlockForPointer(ptr)) return block;
    Partition::KRMM_Assert(false, WhyNotPointer(partition, ptr));
    return nullptr;
}

} // namespace KRMM::detail
