/* The classic interface from C99: the header compiles as C, the calls link
 * with C names and keep their rules. Exits 0 when every check holds. */
#include <KRMM/MacMemory.h>

#include <stdio.h>
#include <string.h>

static int failures = 0;

static void Check(int holds, const char* what) {
    if (!holds) {
        printf("FAILED: %s\n", what);
        ++failures;
    }
}

int main(void) {
    Handle h = NewHandle(5);
    Check(h != NULL && MemError() == noErr, "NewHandle(5)");
    memcpy(*h, "hello", 5);
    Check(Munger(h, 0, "ll", 2, "LL", 2) == 4, "Munger replaces");
    Check(memcmp(*h, "heLLo", 5) == 0, "Munger's bytes");

    HLock(h);
    SetHandleSize(h, 100000);
    Check(MemError() == memFullErr && GetHandleSize(h) == 5, "a locked handle does not grow");
    Check((HGetState(h) & 0x80) != 0, "HGetState shows the lock");
    HUnlock(h);
    SetHandleSize(h, 100000);
    Check(MemError() == noErr && GetHandleSize(h) == 100000, "an unlocked handle grows");

    EmptyHandle(h);
    Check(*h == NULL && HandleZone(h) == GetZone(), "an empty handle keeps its zone");
    DisposeHandle(h);
    Check(MemError() == noErr, "DisposeHandle of an empty handle");

    NewPtr(-1);
    Check(MemError() == memSCErr, "a negative size");
    if (failures == 0) printf("OK\n");
    return failures == 0 ? 0 : 1;
}
