// records.cpp - the registry primitives: the bucket hash and the two chain
// operations, and the unchecked pointer-to-handle mapping.
//
// Thread safety: GetMemoryBlockHash and GetHandle are pure. The chain
// operations are called with KRMM_CriticalSection held (the destructor of a
// partition, which no other thread may use, is the one exception).
#include <KRMM/KRMM.h>

#include "core/layout.h"
#include "core/registry.h"
#include "platform/lock.h"

namespace KRMM {

unsigned long Partition::GetMemoryBlockHash(const MemoryBlock* block) {
    return detail::BucketOf(block);
}

void Partition::HookupBlockToList(MemoryBlock* block, MemoryBlock** buckets, unsigned long* counts) {
    detail::CriticalSectionIsHeld();  // the caller's part
    detail::LinkBlock(block, detail::BucketOf(block), buckets, counts);
}

void Partition::RemoveBlockFromList(MemoryBlock* block, MemoryBlock** buckets, unsigned long* counts) {
    detail::CriticalSectionIsHeld();  // the caller's part
    detail::UnlinkBlock(block, buckets, counts);
}

Handle Partition::GetHandle(const void* data) const {
    return reinterpret_cast<Handle>(detail::HeaderOf(data));
}

} // namespace KRMM
