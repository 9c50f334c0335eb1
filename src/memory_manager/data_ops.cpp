// data_ops.cpp - copying bytes into, out of and between handles.
//
// HandToHand, PtrToHand, PtrToXHand, HandAndHand, PtrAndHand and InsertData
// change sizes only through Resize and create blocks only through Allocate or
// DuplicateHandle, each at most once per call, so the data moves at most once.
// Resize may move the data: every data pointer is read from the handle again
// after it. When Resize fails nothing has been copied yet, so the destination
// keeps its size and bytes (Resize has already told the memory callbacks).
//
// A size that cannot be represented (old size + count beyond SIZE_MAX) is
// treated as a request the heap refuses: the callbacks hear of it with the
// saturated size SIZE_MAX, the operation returns false, and neither the block
// nor any counter changes.
//
// Null handles give false or null, never a crash; so do, in the hardened
// build, handles the lookup index does not know (core/hardening.h). A null
// source with a non-zero count is refused the same way, before anything is
// counted.
//
// Thread safety: no lock of their own; only the Allocate inside PtrToHand and
// DuplicateHandle takes KRMM_CriticalSection, to link the new block. The
// blocks involved must not be used from another thread meanwhile. MemMem
// touches only its arguments.
#include <cstring>
#include <limits>

#include <KRMM/KRMM.h>

#include "core/hardening.h"
#include "core/layout.h"
#include "core/unchecked.h"
#include "memory_manager/object_refusal.h"

namespace KRMM {
namespace {

constexpr size_t kSizeMax = std::numeric_limits<size_t>::max();

// `base + extra` in `sum`; false when it would wrap.
inline bool GrownSize(size_t base, size_t extra, size_t& sum) noexcept {
    return !__builtin_add_overflow(base, extra, &sum);
}

// The failure path of an unrepresentable size: no storage can hold it, so it
// is told to the callbacks exactly as a heap refusal would be.
bool RefuseUnrepresentableSize(Partition& partition) {
    partition.InvokeCallbacks(detail::kEventAllocationFailed, kSizeMax);
    return false;
}

// Whether `h` is null or refused by the hardened build's check.
inline bool Refused(const Partition& partition, const void* h, detail::HandleUse use) noexcept {
    return h == nullptr || !detail::CheckHandle(partition, h, use);
}

} // namespace

// Replaces the variable's handle by a duplicate; the old block is untouched
// and stays the caller's. False (variable null) when the copy fails.
bool Partition::HandToHand(char**& h) {
    if (Refused(*this, h, detail::HandleUse::kOrdinary)) return false;
    if (detail::RefusesObjectNodes(*this,
                                   "Partition::HandToHand - called for instantiated object node. "
                                   "Evaluate/remove the call to this.",
                                   *h))
        return false;
    h = detail::DuplicateBlock(*this, h);
    return h != nullptr;
}

// The variable receives the new handle, or null on failure; the caller owns it.
Handle Partition::PtrToHand(const void* src, char**& h, unsigned long size) {
    Ptr p = (src != nullptr || size == 0) ? Allocate(size) : nullptr;
    if (p == nullptr) {
        h = nullptr;
        return nullptr;
    }
    if (size != 0) std::memcpy(p, src, size);
    h = GetHandle(p);
    return h;
}

// `src` must not lie inside `h`'s own data: the resize may release it.
bool Partition::PtrToXHand(const void* src, char** h, unsigned long size) {
    if (Refused(*this, h, detail::HandleUse::kAny) || (src == nullptr && size != 0)) return false;
    if (!detail::ResizeBlock(*this, h, size, ResizeCopyProc())) return false;
    if (size != 0) std::memcpy(*h, src, size);
    return true;
}

// `src` and `dst` may be the same handle: its contents are then doubled.
bool Partition::HandAndHand(const char* const* src, char** dst) {
    if (Refused(*this, src, detail::HandleUse::kOrdinary) || Refused(*this, dst, detail::HandleUse::kOrdinary))
        return false;
    if (detail::RefusesObjectNodes(*this,
                                   "Partition::HandAndHand - called for instantiated object node. "
                                   "Evaluate/remove the call to this.",
                                   *src, *dst))
        return false;
    const size_t srcSize = detail::BlockOf(src)->memSize;
    const size_t dstSize = detail::BlockOf(dst)->memSize;
    size_t total;
    if (!GrownSize(dstSize, srcSize, total)) return RefuseUnrepresentableSize(*this);
    if (!detail::ResizeBlock(*this, dst, total, ResizeCopyProc())) return false;
    // Both pointers are read after the resize; for one handle the source is
    // its first half and the target its second, so they never overlap.
    if (srcSize != 0) std::memcpy(*dst + dstSize, *src, srcSize);
    return true;
}

// `src` must not lie inside `h`'s own data: the resize may release it.
bool Partition::PtrAndHand(const void* src, char** h, unsigned long size) {
    if (Refused(*this, h, detail::HandleUse::kAny) || (src == nullptr && size != 0)) return false;
    const size_t oldSize = detail::BlockOf(h)->memSize;
    size_t total;
    if (!GrownSize(oldSize, size, total)) return RefuseUnrepresentableSize(*this);
    if (!detail::ResizeBlock(*this, h, total, ResizeCopyProc())) return false;
    if (size != 0) std::memcpy(*h + oldSize, src, size);
    return true;
}

// True for a count of 0 without looking at anything else. `src` must not lie
// inside the block's own data.
bool Partition::InsertData(void* h, unsigned long offset, void* src, unsigned long size) {
    if (size == 0) return true;
    if (src == nullptr || Refused(*this, h, detail::HandleUse::kAny)) return false;
    MemoryBlock* block = detail::BlockOf(h);
    const size_t oldSize = block->memSize;
    if (offset > oldSize) return false;
    size_t total;
    if (!GrownSize(oldSize, size, total)) return RefuseUnrepresentableSize(*this);
    if (!detail::ResizeBlock(*this, h, total, ResizeCopyProc())) return false;
    char* data = block->masterPtr;
    if (offset < oldSize) std::memmove(data + offset + size, data + offset, oldSize - offset);
    std::memcpy(data + offset, src, size);
    return true;
}

// Skips to candidates with memchr on the first byte (only where a whole match
// still fits), confirms each with one memcmp, resumes one byte later. The
// first hit is therefore the lowest-addressed one, overlaps included.
void* Partition::MemMem(const void* buffer, unsigned long bufferLength,
                        const void* pattern, unsigned long patternLength) {
    if (patternLength == 0 || bufferLength < patternLength || buffer == nullptr ||
        pattern == nullptr)
        return nullptr;
    const auto* cursor = static_cast<const unsigned char*>(buffer);
    const auto* const lastStart = cursor + (bufferLength - patternLength);
    const int first = *static_cast<const unsigned char*>(pattern);
    for (;;) {
        const auto* found = static_cast<const unsigned char*>(
            std::memchr(cursor, first, static_cast<size_t>(lastStart - cursor) + 1));
        if (found == nullptr) return nullptr;
        if (std::memcmp(found, pattern, patternLength) == 0) return const_cast<unsigned char*>(found);
        cursor = found + 1;
        if (cursor > lastStart) return nullptr;
    }
}

} // namespace KRMM
