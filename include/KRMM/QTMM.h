// KRMM/QTMM.h - Memory Manager entry points for the host's QT handles.
//
// These functions stand in for the memory layer of the host's resource
// handles. None of them does any work: each returns null or 0, or nothing,
// and touches neither its arguments nor any state of the library.
//
// Thread safety: stateless; any thread may call them.
#pragma once

#include <KRMM/Export.h>

namespace QTMM {

/// \returns null.
KRMM_API char** NewHandle(long size);
/// \returns null.
KRMM_API char** NewHandleClear(long size);
/// \returns null.
KRMM_API char* NewPtr(long size);
/// \returns null.
KRMM_API char* NewPtrClear(long size);
/// Does nothing.
KRMM_API void SetHandleSize(char** h, long size);
/// Does nothing.
KRMM_API void SetPtrSize(char* p, long size);
/// \returns 0; `*h` is not written.
KRMM_API int HandToHand(char*** h);
/// \returns 0; `*h` is not written.
KRMM_API int PtrToHand(const void* src, char*** h, int size);
/// \returns 0.
KRMM_API int PtrToXHand(const void* src, char** h, int size);
/// \returns 0.
KRMM_API int HandAndHand(char** src, char** dst);
/// \returns 0.
KRMM_API int PtrAndHand(const void* src, char** h, long size);
/// \returns 0.
KRMM_API long GetHandleSize(const char* const* h);
/// Does nothing.
KRMM_API void DisposePtr(char* p);
/// Does nothing.
KRMM_API void DisposeHandle(char** h);
/// \returns 0.
KRMM_API int MemError();
/// Does nothing.
KRMM_API void HLock(char** h);
/// Does nothing.
KRMM_API void HUnlock(char** h);
/// \returns 0.
KRMM_API int HGetState(char** h);
/// \returns 0.
KRMM_API int InsertData(char** h, unsigned int offset, void* src, unsigned int size);

} // namespace QTMM
