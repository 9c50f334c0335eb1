// object_nodes.cpp - destructors of objects built in blocks, and user data.
//
// The destructor and instantiated-state accessors take a data pointer and
// reach the header through the link word in front of it; the user-data pair
// takes the handle. None of them searches a registry or checks magic.
//
// Thread safety: no lock; each touches one field of one header, which only
// one thread may use at a time. Destructors run without the lock.
#include <KRMM/KRMM.h>

#include "core/layout.h"

namespace KRMM {
void Partition::SetDestructor(const void* data, BlockDestructorProc proc) {
    if (proc == nullptr) {
        KRMM_Assert(false, "Partition::SetDestructor was passed a null pointer.");
        return;
    }
    if (MemoryBlock* block = detail::HeaderOf(data)) block->destructor = proc;
}

void Partition::CallDestructor(const void* data) {
    MemoryBlock* block = detail::HeaderOf(data);
    if (block != nullptr && block->destructor != nullptr) block->destructor(data);
}

void Partition::ClearDestructor(const void* data) {
    if (MemoryBlock* block = detail::HeaderOf(data)) block->destructor = nullptr;
}

void Partition::SetInstantiatedState(const void* data, bool state) {
    if (MemoryBlock* block = detail::HeaderOf(data)) block->instantiated = state;
}

bool Partition::GetInstantiatedState(const void* data) const {
    const MemoryBlock* block = detail::HeaderOf(data);
    return block != nullptr && block->instantiated;
}

void* Partition::GetUserData(const void* handle) const {
    return handle != nullptr ? detail::BlockOf(handle)->userData : nullptr;
}

void Partition::SetUserData(void* userData, void* handle) {
    if (handle != nullptr) detail::BlockOf(handle)->userData = userData;
}

} // namespace KRMM
