// pool.cpp - placeholder; filled in by its own change.
#include <KRMM/KRMM.h>
#include "core/layout.h"
namespace KRMM {
MemoryBlock* Partition::RequestPoolBlock(Handle) { return nullptr; }
void Partition::ReleasePoolBlock(Handle, Handle) {}
void Partition::DestroyPool(Handle pool) { if (currentPool == pool) currentPool = nullptr; Deallocate(*pool); }
} // namespace KRMM
