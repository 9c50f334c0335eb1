// lock_word.cpp (Linux, ELF) - the storage of the exported lock word.
//
// The lock word owns a whole cache line: any other data there, even data
// that is only read, would be fought over by every core that takes the lock.
// An aligned variable alone does not ensure that (the linker may place the
// next variable in the rest of its line), so the exported lock is an ELF
// alias of the first word of a private line-sized, line-aligned record.
//
// Thread safety: static data, zero (unlocked) at load.
#include <KRMM/UnfairLock.h>

namespace KRMM::detail {
struct alignas(64) LockLine {
    os_unfair_lock word;
};
static_assert(sizeof(LockLine) == 64, "the lock word's line holds nothing else");
} // namespace KRMM::detail

extern "C" {
[[gnu::visibility("hidden")]] KRMM::detail::LockLine krmm_critical_section_line = {{0}};
extern os_unfair_lock KRMM_CriticalSection [[gnu::alias("krmm_critical_section_line")]];
}
