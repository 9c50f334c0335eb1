/* KRMM/MacMemory.h - the classic Memory Manager calls as free C functions.
 *
 * Purpose. Legacy code calls NewHandle(size), checks MemError(), locks a
 * handle with HLock and edits text with Munger; this header lets such code
 * compile and run unchanged, in C (C99) and C++. Every function has C linkage
 * and is exported from libKRMM.
 *
 * Zones are partitions. A zone (THz) is a KRMM::Partition; its blocks are
 * ordinary blocks of that partition, seen by its counters, its enumeration
 * and the diagnostics. New blocks go to the calling thread's current zone
 * (GetZone); an operation on an existing block (disposal, resizing, purging,
 * the retries of a refused resize) acts in the block's own zone, whatever the
 * current zone is.
 *
 * Thread safety.
 *  - MemError belongs to the calling thread: it is the result of that
 *    thread's last call of this interface, never changed by another thread.
 *  - The current zone belongs to the calling thread and starts at the
 *    application zone on every thread; SetZone changes only the caller's.
 *  - ApplicationZone may be called first from several threads at once: one
 *    partition is made, all callers get it. It lists a partition, so no other
 *    thread may be constructing or destroying partitions at that moment (call
 *    it once early, as classic programs did with their heap set-up).
 *  - Blocks are the caller's to serialise, as everywhere in KRMM: one handle
 *    or pointer must not be used from two threads at once. PurgeMem, MaxMem
 *    and the purge step of a refused request empty the unlocked purgeable
 *    handles of a zone: while another thread uses a purgeable handle of that
 *    zone it keeps it locked (HLock) or not purgeable (HNoPurge).
 *  - Locks. Every call on an existing handle or pointer looks its block up
 *    in this interface's block records, without a lock (it takes the
 *    records' lock only when writers keep changing the table meanwhile).
 *    Creation, disposal and the flag changes take the records' lock once to
 *    record, forget or update the block. It is a lock of its own (never
 *    KRMM_CriticalSection), held for table work only: never across a heap
 *    call, a grow-zone function, a memory callback or a Partition operation.
 *    The Partition operations used underneath take KRMM_CriticalSection as
 *    they document; do not call this interface while holding it.
 *
 * Points the classic documentation leaves open, as decided here:
 *  - A locked handle never moves. Growing it beyond the storage it has fails
 *    with memFullErr and changes nothing; shrinking, and growing back within
 *    that storage, work in place. (A Partition's own SetHandleSize member
 *    keeps its rule: it moves a locked block.) SetPtrSize never moves, and
 *    handle calls on a pointer's block (through RecoverHandle) treat it as
 *    locked: it is never moved, emptied or purged.
 *  - Empty handles (NewEmptyHandle, EmptyHandle, purged) keep their handle
 *    and zone, read *h == NULL and size 0, and give their data storage back.
 *    A small handle keeps its data in its header's allocation, which cannot
 *    be given back alone: HPurge (and HSetState with 0x40) therefore moves an
 *    unlocked small handle's data to storage of its own, so that purging it
 *    frees memory. When the heap refuses that move the handle is still made
 *    purgeable; purging it then frees only its contents.
 *  - A refused request of a zone is retried: first after emptying the zone's
 *    unlocked purgeable handles (never the handle being resized), then after
 *    each call of the zone's grow-zone function (asked for at least the
 *    bytes requested) that reports bytes freed, at most 64 times; then the
 *    call fails with memFullErr. The grow-zone function is not called again
 *    from inside itself. It may dispose of, empty or unlock other handles
 *    (not the one the request works on).
 *  - Negative sizes and counts fail with memSCErr and change nothing.
 *  - NULL never crashes: a NULL handle gives nilHandleErr, a NULL pointer
 *    memAdrErr (DisposeHandle(NULL) and DisposePtr(NULL) answer noErr, as
 *    later classic systems did). A handle or pointer that is no live block of
 *    any zone gives memAdrErr and is not touched. Calls that need the data of
 *    an empty handle (SetHandleSize, the data calls, Munger) give
 *    nilHandleErr; GetHandleSize of an empty handle is 0 with nilHandleErr.
 *  - A block holding a constructed object (KRMM object nodes) is refused by
 *    SetHandleSize and ReallocateHandle with memLockedErr, and by EmptyHandle
 *    with memPurErr; the purge steps skip it.
 *  - The resource bit (0x20, HSetRBit) is recorded for HGetState and
 *    HSetState only; it changes nothing else.
 *  - The heap queries answer for a process heap, which has no fixed size:
 *    a zone's size is taken as the machine's physical memory. FreeMem is
 *    that size minus the bytes the current zone holds; MaxBlock and
 *    CompactMem answer the same (any free byte can be part of one block);
 *    MaxMem first purges like PurgeMem, then answers MaxBlock, with *grow 0.
 *    PurgeSpace answers FreeMem plus the bytes of the zone's unlocked
 *    purgeable handles, in both *total and *contig. CompactMem moves and
 *    purges nothing. PurgeMem fails with memFullErr when, after purging,
 *    MaxBlock is below the bytes asked for. MoreMasters does nothing:
 *    handles need no master-pointer blocks here. Temporary memory is the
 *    process heap: TempNewHandle makes an ordinary handle in the application
 *    zone; TempFreeMem and TempMaxMem answer for that zone.
 *  - An exception thrown by a KRMM memory callback (told of every heap
 *    refusal) passes through these functions as through the Partition's;
 *    C callers register only callbacks that do not throw.
 *  - SystemZone is the application zone. SetZone(NULL) makes the
 *    application zone current again.
 *  - Blocks made by a Partition's own members may be passed here (their zone
 *    is then found once through the library's lookup index, and remembered).
 *    A block made here must be disposed of here: a Partition member that
 *    releases it leaves its record behind.
 *
 * Hosts that already define the classic types and result codes (their own
 * MacTypes.h and MacErrors.h) define KRMM_MACMEMORY_NO_CLASSIC_TYPES before
 * including this header; theirs must have the same sizes (Handle char**,
 * Ptr char*, Size long, OSErr short, SignedByte signed char, Boolean
 * unsigned char, THz any object pointer).
 */
#ifndef KRMM_MACMEMORY_H
#define KRMM_MACMEMORY_H

#include <KRMM/Export.h>

#ifdef __cplusplus
namespace KRMM {
class Partition;
}
#endif

#ifndef KRMM_MACMEMORY_NO_CLASSIC_TYPES
typedef char* Ptr;             ///< A data pointer.
typedef Ptr* Handle;           ///< The address of a master pointer; `*h` is the data.
typedef long Size;             ///< A size in bytes; negative sizes are refused.
typedef short OSErr;           ///< A result code: noErr or one of the codes below.
typedef signed char SignedByte; ///< HGetState / HSetState flags.
typedef unsigned char Boolean; ///< 0 false, anything else true.
/// A zone's grow-zone function: asked for `cbNeeded` bytes, returns the bytes it freed (0: none).
typedef long (*GrowZoneProcPtr)(Size cbNeeded);
#ifdef __cplusplus
typedef KRMM::Partition* THz;  ///< A zone is a partition.
#else
typedef struct KRMM_Zone* THz; ///< A zone: in C an opaque pointer to a KRMM::Partition.
#endif

/// The result codes of this interface.
enum {
    noErr = 0,           ///< Success.
    memFullErr = -108,   ///< Not enough memory, or a locked block cannot grow in place.
    nilHandleErr = -109, ///< NULL handle, or an empty handle where data is needed.
    memAdrErr = -110,    ///< NULL pointer, or no live block of any zone.
    memWZErr = -111,     ///< No zone: the application zone could not be made.
    memPurErr = -112,    ///< Emptying a locked block (or one holding an object).
    memSCErr = -116,     ///< A negative size or count.
    memLockedErr = -117  ///< The block is locked (MoveHHi, ReallocateHandle).
};
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Every function leaves its result in the calling thread's MemError. The
 * block-record lock each one may take is described in the opening. */

/** @name Zones */
///@{
/// \returns the application zone, made on first use; NULL with memWZErr when
/// it cannot be made. Takes no lock once made.
KRMM_API THz ApplicationZone(void);
/// \returns the application zone (the system zone is the same).
KRMM_API THz SystemZone(void);
/// \returns the calling thread's current zone (the application zone until
/// SetZone). A current zone whose partition was destroyed reads as the
/// application zone.
KRMM_API THz GetZone(void);
/// Makes `zone` the calling thread's current zone (NULL: the application
/// zone). memFullErr, zone unchanged, when its record cannot be made.
KRMM_API void SetZone(THz zone);
/// \returns the zone of handle `h`; NULL with nilHandleErr for NULL, with
/// memAdrErr for no live block.
KRMM_API THz HandleZone(Handle h);
/// \returns the zone of the block whose data is `p`; NULL with memAdrErr for
/// NULL or no block's current data.
KRMM_API THz PtrZone(Ptr p);
///@}

/** @name Handles */
///@{
/// \returns a new handle of `size` bytes (uninitialised) in the current zone;
/// NULL with memSCErr for a negative size, memFullErr when memory cannot be
/// had after the purge and grow-zone retries.
KRMM_API Handle NewHandle(Size size);
/// As NewHandle, with the bytes set to zero.
KRMM_API Handle NewHandleClear(Size size);
/// As NewHandle, in the system (application) zone.
KRMM_API Handle NewHandleSys(Size size);
/// As NewHandleClear, in the system (application) zone.
KRMM_API Handle NewHandleSysClear(Size size);
/// \returns a new empty handle (`*h` NULL, size 0) of the current zone; NULL
/// with memFullErr.
KRMM_API Handle NewEmptyHandle(void);
/// As NewEmptyHandle, in the system (application) zone.
KRMM_API Handle NewEmptyHandleSys(void);
/// Releases the block, empty or not, locked or not, in its own zone. NULL:
/// noErr; memAdrErr for no live block (nothing touched).
KRMM_API void DisposeHandle(Handle h);
/// \returns the data size; 0 with nilHandleErr for NULL or an empty handle,
/// with memAdrErr for no live block.
KRMM_API Size GetHandleSize(Handle h);
/// Resizes in the block's own zone, keeping the first min(old, new) bytes.
/// A locked handle never moves: memFullErr, nothing changed, when it would
/// have to. memSCErr for a negative size, nilHandleErr for NULL or empty,
/// memLockedErr for a block holding an object.
KRMM_API void SetHandleSize(Handle h, Size newSize);
/// Locks the handle (HGetState bit 0x80): its data stays where it is.
KRMM_API void HLock(Handle h);
/// Unlocks the handle.
KRMM_API void HUnlock(Handle h);
/// HLock: there is no high memory to move to.
KRMM_API void HLockHi(Handle h);
/// Moves nothing: noErr, or memLockedErr for a locked handle.
KRMM_API void MoveHHi(Handle h);
/// Makes the handle purgeable (bit 0x40); a small handle's data moves to
/// storage of its own (see the opening).
KRMM_API void HPurge(Handle h);
/// Makes the handle not purgeable.
KRMM_API void HNoPurge(Handle h);
/// Sets the resource bit (0x20).
KRMM_API void HSetRBit(Handle h);
/// Clears the resource bit.
KRMM_API void HClrRBit(Handle h);
/// \returns the flags 0x80 locked, 0x40 purgeable, 0x20 resource; 0 with
/// nilHandleErr for NULL, with memAdrErr for no live block.
KRMM_API SignedByte HGetState(Handle h);
/// Sets all three flags at once from a value HGetState gave.
KRMM_API void HSetState(Handle h, SignedByte flags);
/// Releases the data, keeping the handle (`*h` becomes NULL, size 0).
/// memPurErr, nothing changed, for a locked handle.
KRMM_API void EmptyHandle(Handle h);
/// Gives a handle new storage of `size` bytes (contents undefined),
/// releasing what it had. memLockedErr for a locked non-empty handle;
/// memFullErr leaves the handle empty.
KRMM_API void ReallocateHandle(Handle h, Size size);
/// \returns the handle whose data starts at `p` (also after the data moved);
/// NULL with memAdrErr when `p` is no block's current data.
KRMM_API Handle RecoverHandle(Ptr p);
///@}

/** @name Pointers (blocks that never move) */
///@{
/// \returns a new block of `size` bytes in the current zone; NULL with
/// memSCErr or memFullErr.
KRMM_API Ptr NewPtr(Size size);
/// As NewPtr, with the bytes set to zero.
KRMM_API Ptr NewPtrClear(Size size);
/// As NewPtr, in the system (application) zone.
KRMM_API Ptr NewPtrSys(Size size);
/// As NewPtrClear, in the system (application) zone.
KRMM_API Ptr NewPtrSysClear(Size size);
/// Releases the block. NULL: noErr; memAdrErr for no live block.
KRMM_API void DisposePtr(Ptr p);
/// \returns the block's size; 0 with memAdrErr for NULL or no live block.
KRMM_API Size GetPtrSize(Ptr p);
/// Resizes in place only: memFullErr when the block cannot grow where it is.
KRMM_API void SetPtrSize(Ptr p, Size newSize);
///@}

/** @name Data (each result equals what MemError then says) */
///@{
/// Replaces `*h` by a new handle (current zone) holding a copy of its data;
/// the original stays. On failure `*h` is unchanged.
KRMM_API OSErr HandToHand(Handle* h);
/// Makes a new handle (current zone) holding `size` bytes of `src` and
/// stores it in `*dst` (NULL on failure).
KRMM_API OSErr PtrToHand(const void* src, Handle* dst, long size);
/// Makes the existing handle `dst` hold exactly `size` bytes of `src`.
KRMM_API OSErr PtrToXHand(const void* src, Handle dst, long size);
/// Appends the data of `src` to `dst` (the same handle doubles its data).
KRMM_API OSErr HandAndHand(Handle src, Handle dst);
/// Appends `size` bytes of `src` to `dst`.
KRMM_API OSErr PtrAndHand(const void* src, Handle dst, long size);
/// Searches h's data from `offset` for the `len1` bytes at `ptr1` and
/// replaces the first occurrence by the `len2` bytes at `ptr2`. `ptr1` NULL:
/// the target is the `len1` bytes at `offset` (to the end when `len1` is
/// negative, clipped at the end); `len1` 0: insert at `offset`; `ptr2` NULL:
/// search only, returning where the target starts; `len2` 0: delete the
/// target. \returns the offset just past the replacement; a negative value
/// when the target is not found (an offset beyond the data included), with
/// noErr, or on failure, with the code in MemError.
KRMM_API long Munger(Handle h, long offset, const void* ptr1, long len1, const void* ptr2,
                     long len2);
/// Copies `size` bytes from `src` to `dst`; the ranges may overlap.
KRMM_API void BlockMove(const void* src, void* dst, Size size);
/// BlockMove.
KRMM_API void BlockMoveData(const void* src, void* dst, Size size);
///@}

/** @name Errors and the heap (see the opening for what the answers mean) */
///@{
/// \returns the result of the calling thread's last call of this interface.
KRMM_API OSErr MemError(void);
/// \returns the free bytes of the current zone.
KRMM_API long FreeMem(void);
/// Purges the current zone; stores 0 in `*grow` (when not NULL).
/// \returns MaxBlock.
KRMM_API Size MaxMem(Size* grow);
/// \returns the largest block the current zone can still give.
KRMM_API long MaxBlock(void);
/// Moves nothing. \returns MaxBlock; 0 with memSCErr for a negative count.
KRMM_API Size CompactMem(Size cbNeeded);
/// Empties every unlocked purgeable handle of the current zone; memFullErr
/// when MaxBlock is then below `cbNeeded`.
KRMM_API void PurgeMem(Size cbNeeded);
/// Stores what purging the current zone would leave free in `*total` and
/// `*contig` (each when not NULL).
KRMM_API void PurgeSpace(long* total, long* contig);
/// Does nothing: handles need no master-pointer blocks here.
KRMM_API void MoreMasters(void);
/// Sets the current zone's grow-zone function (NULL: none). It lives with
/// the zone and goes when the partition is destroyed.
KRMM_API void SetGrowZone(GrowZoneProcPtr growZone);
/// \returns an ordinary handle of the application zone; the result code also
/// goes to `*resultCode` when it is not NULL.
KRMM_API Handle TempNewHandle(Size size, OSErr* resultCode);
/// \returns FreeMem of the application zone.
KRMM_API long TempFreeMem(void);
/// Stores 0 in `*grow` (when not NULL). \returns MaxBlock of the application zone.
KRMM_API Size TempMaxMem(Size* grow);
///@}

#ifdef __cplusplus
}
#endif

#endif /* KRMM_MACMEMORY_H */
