/* notes.c - notes kept the classic way: the text in one handle edited with
 * Munger, one record handle per note indexed by a handle of handles, a
 * purgeable handle caching the rendered text, and a MemError check after
 * every call that can fail. Nothing here knows about KRMM beyond the header
 * that stands in for <Memory.h>. */
#include <KRMM/MacMemory.h>

#include <stdio.h>
#include <string.h>

#include "notes.h"

typedef struct NoteRecord {
    long id;
    long textStart;   /* where the note's text begins in gText */
    char title[32];
} NoteRecord, *NotePtr, **NoteHandle;

static Handle gText;   /* all notes' text, one after the other */
static Handle gIndex;  /* NoteHandle[count] */
static Handle gCache;  /* the rendered text; purgeable, rebuilt on demand */
static short gFailures;

static void Expect(Boolean holds, const char* what)
{
    printf("   %-58s %s\n", what, holds ? "ok" : "FAILED");
    if (!holds) gFailures++;
}

static OSErr NotesInit(void)
{
    gText = NewHandle(0);
    if (MemError() != noErr) return MemError();
    gIndex = NewHandle(0);
    if (MemError() != noErr) return MemError();
    gCache = NewEmptyHandle();
    return MemError();
}

static long NoteCount(void)
{
    return GetHandleSize(gIndex) / (long)sizeof(NoteHandle);
}

static NoteHandle NoteAt(long i)
{
    return ((NoteHandle*)*gIndex)[i];
}

static OSErr AddNote(long id, const char* title, const char* text)
{
    NoteHandle note;
    OSErr err;

    note = (NoteHandle)NewHandleClear(sizeof(NoteRecord));
    if ((err = MemError()) != noErr) return err;
    (**note).id = id;
    (**note).textStart = GetHandleSize(gText);
    strncpy((**note).title, title, sizeof((**note).title) - 1);

    err = PtrAndHand(text, gText, (long)strlen(text));
    if (err == noErr) err = PtrAndHand(&note, gIndex, sizeof(NoteHandle));
    if (err != noErr) DisposeHandle((Handle)note);
    return err;
}

static void DeleteNote(long i)
{
    DisposeHandle((Handle)NoteAt(i));
    /* ptr1 NULL: the bytes at the offset; len2 0: delete them. */
    Munger(gIndex, i * (long)sizeof(NoteHandle), NULL, sizeof(NoteHandle), "", 0);
}

static long ReplaceAll(const char* target, const char* replacement)
{
    long offset = 0, count = 0;

    while ((offset = Munger(gText, offset, target, (long)strlen(target),
                            replacement, (long)strlen(replacement))) >= 0)
        count++;
    return count;
}

/* The rendered text, rebuilt when the cache was purged. */
static Handle Rendering(void)
{
    if (*gCache == NULL) {
        ReallocateHandle(gCache, GetHandleSize(gText));
        if (MemError() != noErr) return NULL;
        BlockMoveData(*gText, *gCache, GetHandleSize(gText));
        HPurge(gCache);
    }
    return gCache;
}

int Notes_RunSession(void)
{
    SignedByte state;
    Handle copy;
    char* data;
    long total, contig;

    gFailures = 0;
    Expect(NotesInit() == noErr, "NewHandle, NewEmptyHandle");
    Expect(AddNote(1, "groceries", "milk, eggs, bread. ") == noErr &&
               AddNote(2, "work", "call Sam about the eggs. ") == noErr &&
               AddNote(3, "weekend", "paint the fence. ") == noErr,
           "three notes: record handles indexed by a handle of handles");
    Expect(NoteCount() == 3 && (**NoteAt(1)).id == 2, "NoteAt(1) is note 2");

    Expect(ReplaceAll("eggs", "EGGS") == 2, "Munger replaced \"eggs\" twice");
    Expect(Munger(gText, 0, "fence", 5, NULL, 0) > 0, "Munger searched without replacing");
    DeleteNote(0);
    Expect(NoteCount() == 2 && (**NoteAt(0)).id == 2, "Munger deleted an index entry");

    /* The classic idiom: lock while a pointer into the block is held. */
    state = HGetState(gText);
    HLock(gText);
    data = *gText;
    PtrAndHand("a note too long to fit where the locked text lies. ", gText, 50);
    Expect(MemError() == memFullErr && *gText == data,
           "a locked handle does not grow beyond its storage");
    HSetState(gText, state);
    PtrAndHand("a note too long to fit where the locked text lies. ", gText, 50);
    Expect(MemError() == noErr, "unlocked, the same append works");

    Expect(Rendering() != NULL && GetHandleSize(gCache) == GetHandleSize(gText),
           "the cache is rendered and purgeable");
    PurgeSpace(&total, &contig);
    Expect(MemError() == noErr && contig <= total, "PurgeSpace");
    PurgeMem(0);
    Expect(*gCache == NULL, "PurgeMem emptied the cache");
    Expect(Rendering() != NULL && *gCache != NULL, "and it was rebuilt on demand");

    copy = gText;
    Expect(HandToHand(&copy) == noErr && copy != gText &&
               GetHandleSize(copy) == GetHandleSize(gText),
           "HandToHand copied the text");
    Expect(RecoverHandle(*copy) == copy, "RecoverHandle found the copy's handle");
    DisposeHandle(copy);

    while (NoteCount() > 0) DeleteNote(0);
    DisposeHandle(gIndex);
    DisposeHandle(gText);
    DisposeHandle(gCache);
    Expect(MemError() == noErr, "everything disposed of");
    return gFailures == 0 ? 0 : 1;
}
