// call_stack.cpp - placeholder; filled in by its own change.
#include <KRMM/KRMM.h>
namespace KRMM {
void Partition::CollectStackTrace(MemoryBlock*) {}
} // namespace KRMM
