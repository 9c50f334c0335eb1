// handle_ops.cpp - the Memory Manager's handle and pointer operations.
//
// Thin layers over Allocate, Resize and Deallocate: the mapping between the
// handle and pointer views of a block, the refusal to resize blocks that hold
// a constructed object, the destructor sequence on disposal, the legacy lock
// flag and the oversize slack. Null arguments give the documented neutral
// results; the hardened build gives the same results for arguments the
// lookup index does not know (core/hardening.h), and otherwise handles and
// pointers are trusted.
//
// Thread safety: no lock of their own (Allocate and Deallocate take it for
// the registry). One block must not be used from two threads at once.
#include <cstring>

#include <KRMM/KRMM.h>

#include "core/hardening.h"
#include "core/layout.h"
#include "core/resizing.h"
#include "core/unchecked.h"
#include "memory_manager/object_refusal.h"

namespace KRMM {
namespace {

constexpr int8_t kHandleStateLocked = static_cast<int8_t>(0x80);

// The header of `h` when the hardened build accepts it, else null; `use`
// says whether a resource block's handle is acceptable.
inline MemoryBlock* CheckedHandle(const Partition& partition, const void* h,
                                  detail::HandleUse use = detail::HandleUse::kAny) noexcept {
    return h != nullptr && detail::CheckHandle(partition, h, use) ? detail::BlockOf(h) : nullptr;
}

// DisposePtr of a checked pointer. Instantiated blocks: the object is marked
// gone before its destructor runs, so the destructor sees a block that is no
// longer instantiated.
void DisposeData(Partition& partition, char* p, detail::PartitionIndex* index = nullptr) {
    MemoryBlock* block = detail::HeaderOf(p);
    if (block != nullptr && block->instantiated) {
        block->instantiated = false;
        if (block->destructor != nullptr) block->destructor(p);
        block->destructor = nullptr;
    }
    detail::ReleaseBlock(partition, p, index);
}

} // namespace

Handle Partition::NewHandle(unsigned long size) {
    Ptr p = Allocate(size);
    return p != nullptr ? GetHandle(p) : nullptr;
}

Handle Partition::NewHandleClear(unsigned long size) {
    Ptr p = Allocate(size);
    if (p == nullptr) return nullptr;
    std::memset(p, 0, size);
    return GetHandle(p);
}

Ptr Partition::NewPtr(unsigned long size) {
    return Allocate(size);
}

Ptr Partition::NewPtrClear(unsigned long size) {
    Ptr p = Allocate(size);
    if (p != nullptr) std::memset(p, 0, size);
    return p;
}

// Both overloads refuse an instantiated block (reported, nothing changed);
// otherwise the result is Resize's. The plain one does Resize's in-place case
// itself and builds Resize's (empty) procedure only when the data must move.
bool Partition::SetHandleSize(char** h, unsigned long size) {
    if (CheckedHandle(*this, h, detail::HandleUse::kOrdinary) == nullptr) return false;
    if (detail::RefusesObjectNodes(*this,
                                   "Partition::SetHandleSize - 1 - called for instantiated object node. "
                                   "Evaluate/remove the call to this.",
                                   *h))
        return false;
    MemoryBlock* block = detail::BlockOf(h);
    if (detail::KeepsStorage(block, size)) {
        detail::ResizeInPlace(*this, block, size);
        return true;
    }
    return detail::ResizeBlock(*this, h, size, ResizeCopyProc());
}

bool Partition::SetHandleSize(char** h, unsigned long size,
                              std::function<void(void*, unsigned long, void*, unsigned long)> copy) {
    if (CheckedHandle(*this, h, detail::HandleUse::kOrdinary) == nullptr) return false;
    if (detail::RefusesObjectNodes(*this,
                                   "Partition::SetHandleSize - 2 - called for instantiated object node. "
                                   "Evaluate/remove the call to this.",
                                   *h))
        return false;
    // Resize takes its procedure by value: it gets exactly one copy of ours,
    // destroyed when Resize returns or an exception passes through.
    return detail::ResizeBlock(*this, h, size, copy);
}

// No instantiated test here: a pointer resize treats every block alike. When
// the data moves, `p` is stale and the block is reached through its handle.
bool Partition::SetPtrSize(char* p, unsigned long size) {
    if (p == nullptr) return false;
    MemoryBlock* block = detail::CheckPointer(*this, p);
    if (block != nullptr && detail::KeepsStorage(block, size)) {
        detail::ResizeInPlace(*this, block, size);
        return true;
    }
    return detail::ResizeBlock(*this, block, size, ResizeCopyProc());
}

size_t Partition::GetKRMMHandleSize(const void* h) const {
    const MemoryBlock* block = CheckedHandle(*this, h);
    return block != nullptr ? block->memSize : 0;
}

size_t Partition::GetKRMMHandleMaxSize(const void* h) const {
    const MemoryBlock* block = CheckedHandle(*this, h);
    return block != nullptr ? block->capacity : 0;
}

size_t Partition::GetHandleSize(const char* const* h) const {
    return GetKRMMHandleSize(h);
}

size_t Partition::GetHandleMaxSize(const char* const* h) const {
    return GetKRMMHandleMaxSize(h);
}

size_t Partition::GetPtrSize(const char* p) const {
    if (p == nullptr) return 0;
    const MemoryBlock* block = detail::CheckPointer(*this, p);
    return block != nullptr ? block->memSize : 0;
}

void Partition::DisposePtr(char* p) {
    if (p != nullptr && detail::CheckPointer(*this, p) == nullptr) return;
    DisposeData(*this, p);
}

void Partition::DisposeHandle(char** h) {
    detail::PartitionIndex* index;
    if (h == nullptr || !detail::CheckHandle(*this, h, detail::HandleUse::kOrdinary, &index)) return;
    DisposeData(*this, *h, index);
}

int16_t Partition::MemError() {
    return 0;
}

bool Partition::HLock(char** h) {
    return SetHandleLockState_Legacy(h, true);
}

bool Partition::HUnlock(char** h) {
    return SetHandleLockState_Legacy(h, false);
}

int8_t Partition::HGetState(const char* const* h) const {
    return HandleIsLocked_Legacy(h) ? kHandleStateLocked : int8_t{0};
}

bool Partition::HandleIsLocked_Legacy(const char* const* h) const {
    const MemoryBlock* block = CheckedHandle(*this, h);
    return block != nullptr && block->locked;
}

bool Partition::SetHandleLockState_Legacy(char** h, bool lock) {
    MemoryBlock* block = CheckedHandle(*this, h);
    if (block == nullptr) return false;
    block->locked = lock;
    return true;
}

unsigned int Partition::GetHandleOversize(const char* const* h) const {
    const MemoryBlock* block = CheckedHandle(*this, h);
    return block != nullptr ? block->oversize : 0;
}

void Partition::SetHandleOversize(char** h, unsigned int oversize, bool force) {
    MemoryBlock* block = CheckedHandle(*this, h);
    if (block == nullptr) return;
    if (force || oversize > block->oversize) block->oversize = oversize;
}

} // namespace KRMM
