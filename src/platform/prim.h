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
/// cannot do that; the caller must then not rely on it.
bool ProcessWideBarrier() noexcept;

/// Captures the calling thread's return addresses, innermost first (slot 0
/// lies in this function's caller), at most `capacity` of them. Uses a
/// cached unwinder where the build has one (libunwind), the C library's
/// backtrace otherwise. \returns the number written.
int CaptureStack(void** out, int capacity) noexcept;

/// Zeroed, page-aligned memory of at least `bytes` straight from the kernel
/// (not the heap), or null. Reads of it never fault until UnmapPages.
void* MapZeroedPages(size_t bytes) noexcept;
/// Gives the physical pages of a mapping back; the range stays mapped and
/// reads as zeros afterwards (so a late reader sees an empty table, never a
/// fault).
void DiscardPages(void* pages, size_t bytes) noexcept;
/// Unmaps what MapZeroedPages returned.
void UnmapPages(void* pages, size_t bytes) noexcept;

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
