// memory.cpp - what Linux tells about the machine's memory.
//
// Thread safety: stateless; any thread.
#include <unistd.h>

#include "platform/prim.h"

namespace KRMM::prim {

size_t PhysicalMemoryBytes() noexcept {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    return static_cast<size_t>(pages) * static_cast<size_t>(pageSize);
}

} // namespace KRMM::prim
