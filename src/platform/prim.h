// prim.h - the narrow interface between KRMM and its operating system (internal).
//
// Everything the library needs from the platform beyond the C++ standard
// library goes through these functions; CMake compiles exactly one
// implementation directory (src/platform/linux/ on Linux).
//
// Thread safety: every function may be called from any thread; none keeps
// state except where said.
#pragma once

#include <cstddef>
#include <cstdint>

namespace KRMM::prim {

/// Sleeps while `*word` equals `expected`, until woken by WakeOne, a spurious
/// wake-up, or (when `timeoutNs` is not 0) the end of that many nanoseconds.
/// Returns at once when the value differs.
void FutexWait(uint32_t* word, uint32_t expected, uint64_t timeoutNs = 0) noexcept;
/// Wakes at most one thread sleeping in FutexWait on `word`.
void FutexWakeOne(uint32_t* word) noexcept;
/// Makes every thread of the process that is running right now execute a full
/// memory barrier before this returns (the heavy half of an asymmetric
/// fence; the other threads pay nothing). \returns false when the platform
/// cannot do that, or it is forbidden or switched off; the caller must then
/// not rely on it. Decided at the first call: once false, the system call
/// behind it is never made again.
bool ProcessWideBarrier() noexcept;
/// \returns whether ProcessWideBarrier has been found to work and is in use.
bool ProcessWideBarrierInUse() noexcept;
/// Switches ProcessWideBarrier off for good (it returns false from now on).
void DisableProcessWideBarrier() noexcept;
/// In a child just forked: the barrier's registration belongs to the parent's
/// address space, so the next call decides again (unless it was switched off).
void ResetProcessWideBarrier() noexcept;

/// One text line per frame, laid out as "index module address symbol + offset"
/// for frames it can name (module as its file name, offset in decimal), and the
/// platform's own text otherwise. Where the build has a line-table reader, a
/// frame whose call site is known gets " (file.cpp:93)" appended (the source
/// file without directories). \returns one malloc'd block (pointer array and
/// strings together) to be released with a single free(), or null.
char** SymbolizeFrames(void* const* frames, int count) noexcept;

/// What the platform knows about one return address.
struct FrameDetail {
    const char* module;      ///< the module's file name without directories, or null
    const char* modulePath;  ///< the module's path as it was loaded, or null
    uintptr_t moduleStart;   ///< lowest address of the module's loaded segments; 0 when unknown
    uintptr_t moduleLimit;   ///< one past the highest; 0 when unknown
    uintptr_t moduleOffset;  ///< file offset of the segment that starts at moduleStart
    bool mainProgram;        ///< the module is the program itself, not a shared library
    const char* symbol;      ///< the symbol as the symbol table spells it (mangled), or null
    uintptr_t offset;        ///< bytes from the symbol's start to the address
    int line;                ///< source line of the call, 0 when unknown
};

/// Describes the return address `frame`. The call site's source file (full
/// path as the line table names it) is copied into `file` (always terminated;
/// "" when unknown). The other strings stay valid while the module is loaded.
/// \returns false, with `*out` zeroed, for a null frame.
bool DescribeFrame(const void* frame, FrameDetail* out, char* file, size_t fileSize) noexcept;

/// \returns whether source files and lines can be found at all (the build has
/// a line-table reader).
bool HaveSourceLines() noexcept;

/// Asks the user to choose between "OK" and "Stop showing memory asserts".
/// \returns true for "OK"; with nobody to ask, writes both texts to standard
/// error and returns true.
bool ShowModalAlert(const char* message, const char* informative);

} // namespace KRMM::prim
