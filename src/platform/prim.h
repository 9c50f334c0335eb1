// prim.h - the narrow interface between KRMM and its operating system (internal).
//
// Everything the library needs from the platform beyond the C++ standard
// library goes through these functions; CMake compiles exactly one
// implementation directory (src/platform/linux/ on Linux).
//
// Thread safety: every function may be called from any thread; none keeps
// state except where said.
#pragma once

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

/// One text line per frame, laid out as "index module address symbol + offset"
/// for frames it can name (module as its file name, offset in decimal), and the
/// platform's own text otherwise. \returns one malloc'd block (pointer array
/// and strings together) to be released with a single free(), or null.
char** SymbolizeFrames(void* const* frames, int count) noexcept;

/// Asks the user to choose between "OK" and "Stop showing memory asserts".
/// \returns true for "OK"; with nobody to ask, writes both texts to standard
/// error and returns true.
bool ShowModalAlert(const char* message, const char* informative);

} // namespace KRMM::prim
