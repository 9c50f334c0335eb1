// object_nodes.cpp - destructors of objects built in blocks, and user data.
//
// The destructor and instantiated-state accessors take a data pointer and
// reach the header through the link word in front of it; the user-data pair
// takes the handle. None of them searches a registry or checks magic.
//
// Thread safety: no lock; each touches one field of one header, which only
// one thread may use at a time. Destructors run without the lock.
#include <KRMM/KRMM.h>

#include "core/hardening.h"
#include "core/layout.h"

namespace KRMM {
namespace {


// The header of `data` when the hardened build accepts it (core/hardening.h),
// else null: the call then does what it does for a null pointer.
inline MemoryBlock* CheckedNode(const Partition& partition, const void* data) noexcept {
    return data != nullptr ? detail::CheckPointer(partition, data) : nullptr;
}

// The header of `handle` when the hardened build accepts it, else null.
inline MemoryBlock* CheckedHandle(const Partition& partition, const void* handle) noexcept {
    return handle != nullptr && detail::CheckHandle(partition, handle, detail::HandleUse::kAny)
               ? detail::BlockOf(handle)
               : nullptr;
}

} // namespace

void Partition::SetDestructor(const void* data, BlockDestructorProc proc) {
    if (proc == nullptr) {
        KRMM_Assert(false, "Partition::SetDestructor was passed a null pointer.");
        return;
    }
    if (MemoryBlock* block = CheckedNode(*this, data)) block->destructor = proc;
}

void Partition::CallDestructor(const void* data) {
    MemoryBlock* block = CheckedNode(*this, data);
    if (block != nullptr && block->destructor != nullptr) block->destructor(data);
}

void Partition::ClearDestructor(const void* data) {
    if (MemoryBlock* block = CheckedNode(*this, data)) block->destructor = nullptr;
}

void Partition::SetInstantiatedState(const void* data, bool state) {
    if (MemoryBlock* block = CheckedNode(*this, data)) block->instantiated = state;
}

bool Partition::GetInstantiatedState(const void* data) const {
    return data != nullptr && detail::CheckPointer(*this, data) != nullptr && detail::IsInstantiated(data);
}

void* Partition::GetUserData(const void* handle) const {
    const MemoryBlock* block = CheckedHandle(*this, handle);
    return block != nullptr ? block->userData : nullptr;
}

void Partition::SetUserData(void* userData, void* handle) {
    if (MemoryBlock* block = CheckedHandle(*this, handle)) block->userData = userData;
}

} // namespace KRMM
