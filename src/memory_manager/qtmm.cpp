// qtmm.cpp - the QT-handle entry points. Each does nothing and returns null or 0.
//
// Thread safety: stateless.
#include <KRMM/QTMM.h>

namespace QTMM {

char** NewHandle(long) { return nullptr; }
char** NewHandleClear(long) { return nullptr; }
char* NewPtr(long) { return nullptr; }
char* NewPtrClear(long) { return nullptr; }
void SetHandleSize(char**, long) {}
void SetPtrSize(char*, long) {}
int HandToHand(char***) { return 0; }
int PtrToHand(const void*, char***, int) { return 0; }
int PtrToXHand(const void*, char**, int) { return 0; }
int HandAndHand(char**, char**) { return 0; }
int PtrAndHand(const void*, char**, long) { return 0; }
long GetHandleSize(const char* const*) { return 0; }
void DisposePtr(char*) {}
void DisposeHandle(char**) {}
int MemError() { return 0; }
void HLock(char**) {}
void HUnlock(char**) {}
int HGetState(char**) { return 0; }
int InsertData(char**, unsigned int, void*, unsigned int) { return 0; }

} // namespace QTMM
