// prim.h - the one seam between KRMM and its operating system (internal).
//
// Every call the library makes to the operating system, its loader or its
// runtime beyond the C++ standard library goes through the functions below;
// nothing outside src/platform/ includes a system header or names an OS
// call. Each OS has one folder, src/platform/<os>/ (<os> is CMake's
// CMAKE_SYSTEM_NAME in lower case), whose sources.cmake lists its files and
// the optional packages they use and sets them up (see linux/sources.cmake
// for the variables and the function the root CMakeLists expects). Linux is
// src/platform/linux/.
//
// A port to another OS adds such a folder and nothing else. It must provide:
//   - the storage of the exported lock word KRMM_CriticalSection (zero at
//     load, alone on its cache line; linux/lock_word.cpp);
//   - FutexWait / FutexWakeOne (sleep and wake on a 32-bit word),
//     ProcessWideBarrier (may return false: the lock then polls with a
//     timeout instead) with its switches, and OnFork (fork handlers; a port
//     without fork does nothing);
//   - CaptureStack (return addresses of the calling thread);
//   - MapZeroedPages / DiscardPages / UnmapPages (zeroed memory from the
//     kernel, for the lookup index's tables; linux/pages.cpp);
//   - SymbolizeFrames, DescribeFrame and Demangle (naming frames; they may
//     return null / false / empty details where the platform knows nothing);
//   - ReadMemory (a copy of memory that may not be mapped, without faulting);
//   - ShowModalAlert (may just write to standard error and answer "OK");
//   - PhysicalMemoryBytes (the machine's memory; may answer 0).
// The generic lock (platform/lock.h), the alert handler (platform/alert.cpp)
// and everything above the platform stay as they are.
//
// Thread safety: every function may be called from any thread; none keeps
// state except where said, and none takes KRMM_CriticalSection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace KRMM::prim {

/// Sleeps while `*word` equals `expected`, until woken by WakeOne, a spurious
/// wake-up, or (when `timeoutNs` is not 0) the end of that many nanoseconds.
/// Returns at once when the value differs.
void FutexWait(uint32_t* word, uint32_t expected, uint64_t timeoutNs = 0) noexcept;
/// Wakes at most one thread sleeping in FutexWait on `word`.
void FutexWakeOne(uint32_t* word) noexcept;
/// Has `prepare` called before every fork of the process (in the forking
/// thread), `parent` after it in the parent and `child` in the child.
void OnFork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept;
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

/// Writes at most `capacity` return addresses of the calling thread, innermost
/// first, into `frames`. The first ones may be frames of this function and of
/// wrappers around it (a sanitizer's); callers that want a given frame first
/// look for it. Uses a cached unwinder where the build has one (libunwind),
/// the C library's backtrace otherwise. \returns the number written (0 when
/// nothing can be captured).
int CaptureStack(void** frames, int capacity) noexcept;

/// \returns the machine's physical memory in bytes (fixed while the process
/// runs); 0 when the platform cannot tell.
size_t PhysicalMemoryBytes() noexcept;

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

/// \returns the demangled form of a mangled C++ symbol as one malloc'd string
/// (release with free()), or null when `symbol` is not a name the runtime's
/// demangler accepts or memory is short.
char* Demangle(const char* symbol) noexcept;

/// Copies `bytes` bytes at `address` into `out` without faulting on memory
/// that is not mapped (a wild pointer read from a damaged record).
/// \returns false, `out` unspecified, when any of them cannot be read.
bool ReadMemory(const void* address, void* out, size_t bytes) noexcept;

/// Asks the user to choose between "OK" and "Stop showing memory asserts".
/// \returns true for "OK"; with nobody to ask, writes both texts to standard
/// error and returns true.
bool ShowModalAlert(const char* message, const char* informative);

/// Releases the malloc'd results above (std::unique_ptr<char*, FreeDeleter>).
struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

} // namespace KRMM::prim
