// KRMM/KRMM.h - relocatable blocks reached through handles, on the process heap.
//
// A KRMM::Partition owns blocks. Every block is described by a 136-byte
// KRMM::MemoryBlock header; a Handle is the header's address, and *h is the
// block's current data pointer, so a handle stays valid while the data
// moves. The 8 bytes in front of every data pointer the library issues hold
// the header's address, so a data pointer leads back to its handle in one
// load. Blocks under kInlineDataLimit bytes keep their data in the header's
// own allocation; larger ones, and every block whose data has been moved by
// a resize, use detached storage. Partitions may also format pools of
// fixed-size blocks, mirror host resources without copying them, capture
// allocation call stacks, and list their live blocks.
//
// Failures are reported by results only: a null pointer or handle, false,
// or 0. Heap refusals are turned into such results and told to the
// registered memory callbacks; exceptions thrown by a callback or by a
// ResizeCopyProc pass through to the caller.
//
// Thread safety: one process-wide lock, KRMM_CriticalSection, guards the
// registry chains of every partition, the pool lists, callback registration,
// the resource-registry scans and the call-stack records. It is held only for
// short list work: never across a heap call, a memory callback or a block
// destructor (an assertion observer installed through KRMM/Diagnostics.h is
// the one outside function that may run under it). The partition counters
// are updated atomically. Everything else is the
// caller's to serialise: one block must not be used from two threads at once,
// and partitions must not be constructed, destroyed, listed or unlisted
// concurrently with any other use of the partition list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <KRMM/Export.h>
#include <KRMM/UnfairLock.h>

namespace KRMM {

/// The address of a block header's first field (`masterPtr`); `*h` is the
/// block's current data pointer.
using Handle = char**;
/// A data pointer: the first byte of a block's data.
using Ptr = char*;
/// Copies a block's data when a resize moves it: (old data, old size, new
/// data, new size). An empty procedure copies the first min(old, new) bytes.
using ResizeCopyProc = std::function<void(void*, unsigned long, void*, unsigned long)>;
/// A memory callback: (event, size, user data). Event 1 is an allocation
/// failure; size is the request that failed.
using MemoryCallbackProc = void (*)(int, size_t, void*);
/// The destructor of an object constructed in a block, called with the
/// block's data pointer before the block is disposed.
using BlockDestructorProc = void (*)(const void*);

/// `magic` of a live heap or resource block.
inline constexpr uint32_t kBlockMagic = 0xA4FEB3AFu;
/// `magic` of every block formatted inside a pool, free or handed out.
inline constexpr uint32_t kPoolBlockMagic = 0xFACEFEEDu;
/// Flag: the data lives in separately allocated storage with a link word in front.
inline constexpr uint16_t kBlockFlagDetached = 1u << 0;
/// Flag: the header was formatted inside a pool's storage.
inline constexpr uint16_t kBlockFlagPooled = 1u << 1;
/// Flag: the block mirrors a host resource and lives in the resource registry.
inline constexpr uint16_t kBlockFlagResource = 1u << 2;
/// Requests of this many bytes or more get detached storage; smaller ones
/// keep their data inline, right after the header.
inline constexpr size_t kInlineDataLimit = 5000;

/// The header that describes every block. Field order and size are part of
/// the binary contract (136 bytes on 64-bit targets).
struct KRMM_API MemoryBlock {
    char* masterPtr;                       ///< The block's current data pointer; a Handle is this field's address.
    uint16_t bucket;                       ///< Registry chain the header is linked in (0..1023).
    MemoryBlock* next;                     ///< Next header on the same chain, null at the end.
    MemoryBlock* prev;                     ///< Previous header on the same chain, null at the head.
    size_t memSize;                        ///< Logical size of the data in bytes.
    size_t capacity;                       ///< Bytes of data storage reserved; at least memSize.
    uint16_t flags;                        ///< kBlockFlagDetached, kBlockFlagPooled, kBlockFlagResource.
    uint32_t oversize;                     ///< Slack reserved when a resize moves the data, and shrink tolerance.
    Handle pool;                           ///< The owning pool of a pool block, else null.
    void** qtResource;                     ///< The host resource handle a resource block mirrors, else null.
    int16_t resFile;                       ///< Resource file reference number, -1 when none.
    std::vector<void*>* stackTrace;        ///< Allocation call stack (59 slots), or null.
    bool locked;                           ///< Legacy lock state of HLock / HUnlock; never affects placement.
    void* userData;                        ///< Opaque word kept for the caller.
    bool instantiated;                     ///< An object has been constructed in the data.
    BlockDestructorProc destructor;        ///< Run on disposal of an instantiated block, or null.
    uint32_t magic;                        ///< kBlockMagic, kPoolBlockMagic, or 0 while being released.
    MemoryBlock* blockLink;                ///< The header's own address: the word in front of inline data.
};

struct PoolSlot;

/// The head of a pool's storage, followed by `blockCount` PoolSlot records and
/// `blockCount` pool blocks (a MemoryBlock header plus `blockSize` data bytes each).
struct KRMM_API PoolHeader {
    size_t blockSize;                      ///< Data bytes of each pool block.
    size_t blockCount;                     ///< Number of pool blocks, and of slots.
    size_t blockStride;                    ///< blockSize + sizeof(MemoryBlock): header-to-header distance.
    size_t freeCount;                      ///< Number of slots on the free list.
    PoolSlot* freeList;             ///< Head of the free list.
    PoolSlot* usedList;             ///< Head of the used list.
    PoolSlot* slots;                ///< Slot record 0, right after this header.
    MemoryBlock* firstBlock;               ///< Header of pool block 0, right after the last slot.
};

/// Bookkeeping of one pool block: its index and its place on the free or used list.
struct KRMM_API PoolSlot {
    size_t index;                          ///< Number of this slot and of its block.
    uint8_t inUse;                         ///< Nonzero while the block is handed out.
    PoolSlot* prevSlot;                    ///< Previous slot on this slot's list, null at the head.
    PoolSlot* nextSlot;                    ///< Next slot on this slot's list, null at the tail.
};

/// Locks `lock` (every caller in the library passes &KRMM_CriticalSection).
KRMM_API void EnterCriticalSection(os_unfair_lock_s* lock);
/// Unlocks `lock`, which the calling thread holds.
KRMM_API void LeaveCriticalSection(os_unfair_lock_s* lock);

/// Writes `text` unchanged to standard output (no newline added).
KRMM_API void OutputDebugStringA(const char* text);

/// A set of blocks with two registries (ordinary and resource blocks), running
/// counters, an optional current pool, memory callbacks, a name, call-stack
/// capture and a size histogram. Fields are public and in a fixed order.
class KRMM_API Partition {
public:
    /// \name Records
    ///@{
    Handle currentPool;                    ///< The pool Allocate draws from, or null.
    uint32_t poolEnabled;                  ///< Bit 0 lets Allocate try currentPool first.
    MemoryBlock* blockBuckets[1024];       ///< Chain heads of the ordinary registry.
    unsigned long blockCounts[1024];       ///< Headers on each ordinary chain.
    MemoryBlock* resourceBuckets[1024];    ///< Chain heads of the resource registry.
    unsigned long resourceCounts[1024];    ///< Headers on each resource chain.
    int64_t bytesAllocated;                ///< Bytes requested (and resized to) minus bytes released; refused requests stay counted.
    int64_t numBlocks;                     ///< Blocks requested minus blocks released, of all kinds; refused requests stay counted.
    int32_t numCalls;                      ///< Allocation requests of all kinds, refused ones included.
    int64_t numpoolHits;                   ///< Allocations served from the current pool.
    int64_t numAllocates;                  ///< Printed by the report; never changed.
    uint32_t word1000;                     ///< 1000; never read.
    uint32_t wordABCD;                     ///< 0xABCD; never read.
    char identifier[128];                  ///< The partition's name, NUL-terminated.
    bool stackTraceEnabled;                ///< Capture a call stack for every block handed out.
    uint64_t stackTraceDepth;              ///< Depth passed to the stack printer (16).
    MemoryCallbackProc callbackProcs[128]; ///< Registered memory callbacks.
    int32_t callbackRefCounts[128];        ///< Registration count of each slot; 0 is free.
    void* callbackUserData[128];           ///< User data passed to each callback.
    size_t statSlotBounds[13];             ///< Upper bounds of the allocation-size classes.
    size_t statSlotCounts[13];             ///< Sizes recorded in each class.
    int32_t statTotal;                     ///< Sizes recorded in all classes.
    Partition* nextPartition;              ///< Next (older) partition in partitionList.
    Partition* prevPartition;              ///< Previous (newer) partition in partitionList.
    ///@}

    /// Head of the process-wide list of partitions, newest first; null when empty.
    static Partition* partitionList;

    /// \name Lifecycle and partition list
    /// None of these takes the lock; the caller serialises all use of the list.
    ///@{
    /// Gives every field its initial value (the identifier excepted; it reads
    /// empty until set) and enters the partition at the head of partitionList.
    Partition();
    /// Unlists the partition, destroys its current pool and releases every block
    /// of both registries, without running destructors or callbacks.
    ~Partition();
    Partition(const Partition&) = delete;
    Partition& operator=(const Partition&) = delete;

    /// \returns the head of partitionList whatever `identifier` says; with an
    /// empty list a partition made with malloc, named `identifier`, listed.
    /// Null when malloc refuses. The bool has no effect.
    static Partition* GetPartitionByIdentifier(const char* identifier, bool);
    /// \returns partitionList (null when empty).
    static Partition* GetPartitionListHead();
    /// Frees the records of all listed partitions with free(); runs no destructor.
    static void FreeAllPartitions();
    /// Enters this (unlisted) partition at the head of partitionList.
    void AddThisToList();
    /// Takes this partition out of partitionList; its blocks stay.
    void RemoveThisFromList();
    /// Stores at most 127 characters of `identifier` (not null).
    void SetIdentifier(const char* identifier);
    /// Copies the identifier with its NUL into `out` (at least 128 bytes).
    void GetIdentifier(char* out) const;
    ///@}

    /// \name Registry primitives
    ///@{
    /// \returns the registry bucket (0..1023) of a header address. Pure, no lock.
    static unsigned long GetMemoryBlockHash(const MemoryBlock* block);
    /// Pushes `block` at the head of its bucket's chain in the given registry.
    /// The caller holds KRMM_CriticalSection.
    void HookupBlockToList(MemoryBlock* block, MemoryBlock** buckets, unsigned long* counts);
    /// Unlinks `block` from the chain named by its `bucket`. The caller holds
    /// KRMM_CriticalSection.
    void RemoveBlockFromList(MemoryBlock* block, MemoryBlock** buckets, unsigned long* counts);
    /// \returns the handle stored in front of a data pointer the library issued;
    /// no check is made.
    Handle GetHandle(const void* data) const;
    /// The hook of every internal check. It has no effect whatever its arguments.
    static void KRMM_Assert(bool condition, const char* message);
    ///@}

    /// \name Allocation, resizing and release
    ///@{
    /// \returns the data of a new block of `size` bytes (uninitialised), from the
    /// current pool when pooling is on and it fits, else from the heap; null
    /// when the heap refuses (the callbacks have been told). Takes the lock
    /// only to link the block.
    Ptr Allocate(size_t size);
    /// Gives the block of handle `h` `newSize` bytes, in place when its capacity
    /// allows, else by moving the data to new detached storage (through `copy`
    /// when it is not empty). \returns false for a null handle or when the heap
    /// refuses (block unchanged, callbacks told). Takes no lock.
    bool Resize(void* h, size_t newSize, ResizeCopyProc copy);
    /// Releases the heap or pool block of data pointer `p` (null is ignored).
    /// Runs no destructor. Takes the lock only to unlink the block.
    void Deallocate(void* p);
    /// \returns the handle of a new block holding a copy of `h`'s data; null for
    /// a null handle or data, or when the allocation fails.
    Handle DuplicateHandle(const void* h);
    /// \returns `size` bytes of untracked heap memory, or null when refused.
    void* TXStringAllocate(size_t size);
    /// Frees memory from TXStringAllocate (null is ignored).
    void TXStringDeallocate(void* p);
    ///@}

    /// \name Validation
    /// Read-only walks of the registries; no lock taken, nothing allocated.
    ///@{
    /// \returns the registered ordinary block whose data pointer is `ptr`, or null.
    MemoryBlock* GetVerifiedBlockForPointer(const void* ptr) const;
    /// \returns the handle of the registered ordinary block whose data is `ptr`, or null.
    Handle GetVerifiedHandle(const void* ptr) const;
    /// \returns true when `ptr` is the data of a registered block, or (unless
    /// `skipPool`) lies inside the current pool's storage while pooling is on.
    bool PointerBelongsToUs(const void* ptr, bool skipPool) const;
    /// \returns true for null, or when `verify` is false, else PointerBelongsToUs.
    bool PointerIsValid(const void* ptr, bool verify, bool skipPool) const;
    /// \returns true when `handle` is a registered ordinary or resource block.
    bool HandleBelongsToUs(const void* handle) const;
    /// \returns true when `verify` is false, else HandleBelongsToUs.
    bool HandleIsValid(const void* handle, bool verify) const;
    /// \returns whether `block` carries kBlockFlagResource; false for null.
    bool BlockIsResource(const MemoryBlock* block) const;
    ///@}

    /// \name Handle and pointer operations
    /// No lock of their own; Allocate and Deallocate take it to change the registry.
    ///@{
    /// \returns a new handle of `size` bytes (uninitialised), or null.
    Handle NewHandle(unsigned long size);
    /// \returns a new handle of `size` zero bytes, or null.
    Handle NewHandleClear(unsigned long size);
    /// \returns a new block's data of `size` bytes (uninitialised), or null.
    Ptr NewPtr(unsigned long size);
    /// \returns a new block's data of `size` zero bytes, or null.
    Ptr NewPtrClear(unsigned long size);
    /// Resizes the block of `h`. \returns false for null, for an instantiated
    /// block (reported, nothing changed) or when storage cannot be had.
    bool SetHandleSize(char** h, unsigned long size);
    /// As SetHandleSize, with `copy` in place of the byte copy when the data moves.
    bool SetHandleSize(char** h, unsigned long size,
                       std::function<void(void*, unsigned long, void*, unsigned long)> copy);
    /// Resizes the block of data pointer `p`; a moved block's data is then found
    /// through its handle. \returns false for null or when storage cannot be had.
    bool SetPtrSize(char* p, unsigned long size);
    /// \returns the block's memSize, 0 for null.
    size_t GetKRMMHandleSize(const void* h) const;
    /// \returns the block's capacity, 0 for null.
    size_t GetKRMMHandleMaxSize(const void* h) const;
    /// \returns the block's memSize, 0 for null.
    size_t GetHandleSize(const char* const* h) const;
    /// \returns the block's capacity, 0 for null.
    size_t GetHandleMaxSize(const char* const* h) const;
    /// \returns the size of the block of data pointer `p`, 0 for null.
    size_t GetPtrSize(const char* p) const;
    /// Runs the destructor of an instantiated block, then releases it (null ignored).
    void DisposePtr(char* p);
    /// Runs the destructor of an instantiated block, then releases it (null ignored).
    void DisposeHandle(char** h);
    /// \returns 0: failures are told by each operation's own result.
    static int16_t MemError();
    /// Marks the handle locked. \returns false for null.
    bool HLock(char** h);
    /// Marks the handle unlocked. \returns false for null.
    bool HUnlock(char** h);
    /// \returns -128 (bit 7) for a locked handle, else 0.
    int8_t HGetState(const char* const* h) const;
    /// \returns the legacy lock flag; false for null.
    bool HandleIsLocked_Legacy(const char* const* h) const;
    /// Stores the legacy lock flag. \returns whether `h` is not null.
    bool SetHandleLockState_Legacy(char** h, bool lock);
    /// \returns the block's oversize slack, 0 for null.
    unsigned int GetHandleOversize(const char* const* h) const;
    /// Stores `oversize` if it is greater than the current value, or always with `force`.
    void SetHandleOversize(char** h, unsigned int oversize, bool force);
    ///@}

    /// \name Handle data operations
    /// Data pointers are re-read from the handle after every resize.
    ///@{
    /// Replaces the variable's handle by a duplicate (null on failure).
    /// \returns false for null, an instantiated block, or a failed copy.
    bool HandToHand(char**& h);
    /// \returns a new handle holding `size` bytes of `src`, also stored in `h`; null on failure.
    Handle PtrToHand(const void* src, char**& h, unsigned long size);
    /// Makes `h` hold exactly `size` bytes of `src`. \returns false on failure.
    bool PtrToXHand(const void* src, char** h, unsigned long size);
    /// Appends `src`'s data to `dst` (the same handle doubles its contents).
    /// \returns false for null handles, instantiated blocks or a failed resize.
    bool HandAndHand(const char* const* src, char** dst);
    /// Appends `size` bytes of `src` to `h`. \returns false on failure.
    bool PtrAndHand(const void* src, char** h, unsigned long size);
    /// Inserts `size` bytes of `src` at `offset` (offset == size appends).
    /// \returns true for size 0; false for offset > size or a failed resize.
    bool InsertData(void* h, unsigned long offset, void* src, unsigned long size);
    /// \returns the lowest occurrence of `pattern` in `buffer`, or null.
    /// Allocates nothing.
    static void* MemMem(const void* buffer, unsigned long bufferLength,
                        const void* pattern, unsigned long patternLength);
    ///@}

    /// \name Pools
    ///@{
    /// \returns the handle of a pool of `blockCount` blocks of `blockSize` bytes
    /// formatted in one block of this partition; null when it cannot be allocated.
    Handle CreatePool(size_t blockSize, size_t blockCount);
    /// Hands out the head of the pool's free list, linked in the registry.
    /// \returns its header (= handle), or null when the pool is exhausted.
    MemoryBlock* RequestPoolBlock(Handle pool);
    /// Takes a handed-out block back onto the pool's free list. A block that is
    /// not in use is reported and left alone.
    void ReleasePoolBlock(Handle pool, Handle block);
    /// Releases the blocks the pool still has handed out, then its storage.
    /// Clears currentPool when it names this pool.
    void DestroyPool(Handle pool);
    /// Makes `pool` the pool Allocate draws from (null for none).
    void SetCurrentPool(Handle pool);
    /// Turns bit 0 of poolEnabled on or off.
    void SetPoolEnabled(bool enabled);
    /// \returns whether the block of `handle` is live (heap) or handed out (pool).
    bool IsHandleInUse(const char* const* handle) const;
    ///@}

    /// \name Memory callbacks
    /// A table of 128 slots per partition. Registration is counted: a function
    /// holds at most one slot (found by pointer, whatever its user data), and
    /// it stays until unregistered as many times as it was registered.
    ///@{
    /// Registers `proc` with `userData`: raises the count of its slot (and
    /// replaces the slot's user data) or takes the lowest free slot. A null
    /// `proc` is counted like any other but never called.
    /// \returns false, changing nothing, when `proc` is new and all 128 slots
    /// are in use. Holds KRMM_CriticalSection for its whole work.
    bool RegisterMemoryCallbackFunction(MemoryCallbackProc proc, void* userData);
    /// Lowers the count of `proc`; at 0 its slot is free again (function and
    /// user data null). \returns false when `proc` is not registered.
    /// Holds KRMM_CriticalSection for its whole work.
    bool UnregisterMemoryCallbackFunction(MemoryCallbackProc proc);
    /// \returns the slot of `proc`, or -1. Reads the table without the lock.
    int GetMemoryCallbackFunctionIndex(MemoryCallbackProc proc) const;
    /// \returns the lowest free slot, or -1 when all 128 are in use. Reads the
    /// table without the lock.
    int GetFreeMemoryCallbackFunctionSlot() const;
    /// Tells every registered function of `event` (1: the heap refused a
    /// request of `size` bytes): each non-null function in use is called once,
    /// whatever its count, with (event, size, its user data), in slot order.
    /// Takes no lock (Resize notifies, and may run on a thread that holds
    /// KRMM_CriticalSection): the live (function, user data) pairs are read
    /// with atomic loads into a stack array, then called, so a callback may
    /// itself register, unregister or allocate; registrations made while the
    /// calls run take effect from the next notification. A slot registered or
    /// unregistered on another thread during the snapshot may be seen before or
    /// after that change. Nothing is
    /// allocated. An
    /// exception thrown by a callback stops the walk (later slots are not
    /// called) and passes out to the caller unchanged.
    void InvokeCallbacks(int event, size_t size);
    ///@}

    /// \name Object nodes and user data
    ///@{
    /// Sets the destructor of the block of `data`; a null `proc` is reported and ignored.
    void SetDestructor(const void* data, BlockDestructorProc proc);
    /// Calls the block's destructor, if any, with `data`; changes nothing.
    void CallDestructor(const void* data);
    /// Clears the block's destructor.
    void ClearDestructor(const void* data);
    /// Marks the block of `data` as holding (or not) a constructed object.
    void SetInstantiatedState(const void* data, bool state);
    /// \returns whether the block of `data` is instantiated; false for null.
    bool GetInstantiatedState(const void* data) const;
    /// \returns the block's user data; null for a null handle.
    void* GetUserData(const void* handle) const;
    /// Stores `userData` in the block of `handle` (ignored for null).
    void SetUserData(void* userData, void* handle);
    ///@}

    /// \name Resource-backed handles
    ///@{
    /// \returns a header-only block over `data` (not copied, never freed), in the
    /// resource registry; null when the heap refuses (callbacks told). Counts
    /// in numCalls and numBlocks, not in bytesAllocated. Takes the lock to link.
    MemoryBlock* AllocateFromExistingResource(void* data, size_t size);
    /// \returns the resource block matching (`resourceHandle`, `resFile`), made when
    /// none exists; null for a null resource handle or a failed creation. A
    /// block matches when its recorded resource handle now holds the same data
    /// pointer as `*resourceHandle` and its file number is `resFile`. A block
    /// found with another size than `size` is returned as it is: its memSize
    /// stays the size it was made with (GetKRMMHandleSize tells), nothing is
    /// reported. Searches under the lock, creates outside it.
    Handle GetOrCreateHandleFromQTResourceHandle(void** resourceHandle, size_t size, short resFile);
    /// \returns the first resource block matching (`resourceHandle`, `resFile`), or null.
    Handle FindBlockWithQTResourceHandle(void** resourceHandle, short resFile) const;
    /// \returns the block's recorded resource handle; null for a null handle.
    void** GetOriginalQTResource(const void* handle) const;
    /// Records `resourceHandle` and `resFile` in the block (ignored for null).
    void SetQTResourcePtr(void* handle, void** resourceHandle, short resFile);
    /// Releases a resource block (null is ignored); the resource's data is never
    /// freed. Takes the lock to unlink.
    void DeallocateResource(void* handle);
    /// Releases every resource block of file `resFile` (-1: the blocks that never
    /// got one). No other thread may make or release resource blocks meanwhile.
    void DeleteAllHandlesWithResourceFile(short resFile);
    /// \returns a new handle holding a QT handle's data, or null.
    Handle ConvertFromQTHandleToKRMMHandle(const char* const* qtHandle);
    /// \returns a new QT handle holding the handle's data, or null.
    char** ConvertFromKRMMHandleToQTHandle(const char* const* handle);
    ///@}

    /// \name Call stacks
    ///@{
    /// Turns capture (and printing) of allocation call stacks on or off.
    void EnableStackTraceInfo(bool enabled);
    /// Records the caller's stack in `block` while tracing is on, else drops
    /// its record. Takes the lock to publish the record.
    void CollectStackTrace(MemoryBlock* block);
    /// Prints the recorded stack of `handle` into `buf` (empty when tracing is
    /// off or nothing was recorded). Never writes more than `bufSize` bytes.
    void GetBlockStackTrace(const void* handle, char* buf, size_t bufSize) const;
    ///@}

    /// \name Block enumeration and list comparison
    /// Unsynchronised walks of the ordinary registry: no lock is taken, so the
    /// caller keeps other threads from allocating or releasing in the
    /// partition meanwhile. Lists end at their first null.
    ///@{
    /// \returns the number of live ordinary blocks.
    size_t GetBlockCount() const;
    /// Stores up to `maxBlocks` handles, nulls after them. \returns the number stored.
    size_t GetAllBlocks(const void** blocks, size_t maxBlocks) const;
    /// Stores every handle, overwriting then appending; never shortens `blocks`.
    /// \returns the number of handles.
    size_t GetAllBlocks(std::vector<const void*>& blocks) const;
    /// \returns the block's memSize; 0 for null.
    size_t GetBlockSize(const void* handle) const;
    /// \returns whether `block` (not null) is among the first `count` entries before a null.
    bool BlockArrayContainsBlock(const void* const* blocks, size_t count, const void* block) const;
    /// \returns whether `block` (not null) is in `blocks` before a null entry.
    bool BlockArrayContainsBlock(const std::vector<const void*>& blocks, const void* block) const;
    /// Stores the entries of `first` not in `second`, at most `maxResult`.
    /// \returns the number stored.
    size_t SubtractBlockArrays(const void* const* first, size_t firstCount,
                               const void* const* second, size_t secondCount,
                               const void** result, size_t maxResult);
    /// Stores the entries of `first` not in `second`; never shortens `result`.
    /// \returns the number stored.
    size_t SubtractBlockArrays(const std::vector<const void*>& first,
                               const std::vector<const void*>& second,
                               std::vector<const void*>& result);
    ///@}

    /// \name Size statistics and report
    ///@{
    /// Counts `size` (> 0) in its size class; 0 is not counted.
    void MemoryStat_AddAlloc(size_t size);
    /// Writes the label of class `slot` (0..12) into `dst` (at least 44 bytes).
    void MemoryStat_GetSlotBoundsStr(char* dst, size_t slot) const;
    /// Prints the counters, the current pool and (bit 0 of `options`) the histogram.
    void PrintMemoryStats(unsigned int options) const;
    ///@}
};

static_assert(sizeof(MemoryBlock) == 136, "the header size is part of the binary contract");
static_assert(offsetof(MemoryBlock, masterPtr) == 0, "a Handle is the address of masterPtr");
static_assert(offsetof(MemoryBlock, blockLink) == 128,
              "blockLink must be the word right in front of inline data");

} // namespace KRMM

/// Writes `text` and a newline to standard output.
KRMM_API void OutputDebugString(char* text);

/// Shows a modal alert with the buttons "OK" and "Stop showing memory asserts";
/// both texts are shown literally. \returns true when the user chose "OK".
/// Blocks until answered. KRMM/Alert.h says who is asked and how.
KRMM_API bool DisplayAlert(const char* message, const char* informative);

/// Fills `frames` with return addresses of the calling thread, at most
/// min(size, 59). \returns the number captured; 0 for a null or empty vector.
KRMM_API int KRMM_GetCallStack(std::vector<void*>* frames);

/// Prints slots 1 to depth-1 of `frames`, one demangled line each ending in
/// "\n", into `buf`; stops before the first line whose raw text (plus 2, as a
/// running total) would reach `bufSize`, or whose demangled text, "\n" and NUL
/// would not fit. Never writes more than `bufSize` bytes; nothing when
/// `bufSize` is 0. A null `frames` prints nothing. Takes no lock.
/// \throws std::out_of_range for an empty vector (after clearing `buf`).
KRMM_API void KRMM_PrintCallStack(char* buf, size_t bufSize, std::vector<void*>* frames, size_t depth);

/// \returns `line` with the mangled name after its last " _" and before its last
/// '+' demangled; the line unchanged when there is none, or when the demangler
/// refuses the name. May cut `line` in place.
KRMM_API std::string demangle_btrace(char* line);
