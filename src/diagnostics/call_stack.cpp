// call_stack.cpp - allocation call stacks: capture, printing and demangling.
//
// With tracing on, every block handed out owns a record: a heap
// std::vector<void*> of exactly 59 slots, the captured return addresses first
// and nulls after them. Slot 0 is the capturing routine (CollectStackTrace)
// and slot 1 the operation that asked for the capture (Allocate,
// RequestPoolBlock, AllocateFromExistingResource). The capture is anchored on
// CollectStackTrace's own return address, so whatever frames backtrace adds
// (helpers, a sanitizer's wrapper) the first printed line is always the
// allocating operation.
//
// Printing turns slots 1 to depth-1 into one line each, demangled, each
// followed by "\n". The symboliser (platform/prim.h) lays lines out as
// "index module address symbol + offset", which is what demangle_btrace reads.
//
// Thread safety: KRMM_CriticalSection guards only the swap of a block's record
// and the copy of its frames for printing. Building, capturing, symbolising,
// demangling and freeing all happen outside it, so no heap call runs under the
// lock, and a record is never printed while it is being replaced or dropped.
// KRMM_GetCallStack, KRMM_PrintCallStack and demangle_btrace take no lock and
// keep no state. Tracing on/off is a relaxed atomic flag.
#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <KRMM/KRMM.h>

#include "core/hardening.h"
#include "core/layout.h"
#include "platform/lock.h"
#include "platform/prim.h"

namespace KRMM {
namespace {

using StackRecord = std::vector<void*>;

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

inline bool TracingOn(const bool& flag) noexcept {
    return std::atomic_ref<bool>(const_cast<bool&>(flag)).load(std::memory_order_relaxed);
}

// Slot 0 of a capture is the capturing routine and slot 1 its caller, whose
// return address the routine passes in as `callerReturn`. The unwinder also
// reports the frames between it and the routine (this helper, the platform's
// capture, and wrappers a sanitizer puts around it), so the capture is anchored on
// `callerReturn`: the frame just before it is slot 0. Without the anchor among
// the first frames (an unwinder that cannot see it) the raw frames are kept.
// Writes at most `capacity` (<= 59) addresses to `out`; returns the count.
int CaptureFrom(const void* callerReturn, void** out, int capacity) noexcept {
    constexpr int kExtraFrames = 8;
    void* raw[detail::kStackSlots + kExtraFrames];
    const int captured = prim::CaptureStack(raw, capacity + kExtraFrames);
    int start = 0;
    for (int i = 0; i < captured && i <= kExtraFrames + 1; ++i) {
        if (raw[i] == callerReturn) {
            start = i > 0 ? i - 1 : 0;
            break;
        }
    }
    const int count = std::min(captured - start, capacity);
    std::copy_n(raw + start, count, out);
    return count;
}

// Prints slots 1 to min(depth, count) - 1 of `frames` into `buf`, which holds
// "" and has bufSize > 0 bytes. A line is printed only while the running total
// of raw line lengths plus 2 stays below bufSize, and only when its demangled
// text, "\n" and the NUL still fit; the first line that does not fit ends the
// printing, so the text never has a gap and never ends in a cut line.
// Throws only std::bad_alloc (from demangling); `buf` then holds the lines
// printed so far.
void PrintFrames(char* buf, size_t bufSize, void* const* frames, size_t count, size_t depth) {
    if (depth < 2 || count < 2) return;
    const size_t last = std::min({depth, count, size_t{INT_MAX}}) - 1;
    std::unique_ptr<char*, FreeDeleter> lines(
        prim::SymbolizeFrames(frames, static_cast<int>(last + 1)));
    if (lines == nullptr) return;

    size_t total = 0;
    size_t used = 0;
    for (size_t i = 1; i <= last; ++i) {
        char* line = lines.get()[i];
        total += std::strlen(line) + 2;
        if (total >= bufSize) break;
        const std::string text = demangle_btrace(line);
        if (text.size() + 1 >= bufSize - used) break;
        std::memcpy(buf + used, text.data(), text.size());
        used += text.size();
        buf[used++] = '\n';
        buf[used] = '\0';
    }
}

} // namespace

void Partition::EnableStackTraceInfo(bool enabled) {
    std::atomic_ref<bool>(stackTraceEnabled).store(enabled, std::memory_order_relaxed);
}

// Never inlined: its frame is slot 0 of every record it makes, and its
// return address (into the allocating operation) anchors slot 1.
[[gnu::noinline]] void Partition::CollectStackTrace(MemoryBlock* block) {
    StackRecord* fresh = nullptr;
    if (TracingOn(stackTraceEnabled)) {
        // A refused record does not fail the allocation: the block then goes
        // without one (and loses any older one).
        try {
            fresh = new StackRecord(detail::kStackSlots);
        } catch (const std::bad_alloc&) {
            fresh = nullptr;
        }
        if (fresh != nullptr) {
            CaptureFrom(__builtin_return_address(0), fresh->data(),
                        static_cast<int>(detail::kStackSlots));
        }
    } else if (block->stackTrace == nullptr) {
        return;  // tracing off, nothing to drop: no lock
    }

    StackRecord* old;
    {
        detail::CriticalSection lock;
        old = block->stackTrace;
        block->stackTrace = fresh;
    }
    delete old;
}

void Partition::GetBlockStackTrace(const void* handle, char* buf, size_t bufSize) const {
    if (bufSize == 0) return;
    buf[0] = '\0';
    if (handle == nullptr || !TracingOn(stackTraceEnabled)) return;
    if (!detail::CheckHandle(*this, handle, detail::HandleUse::kAny)) return;

    void* frames[detail::kStackSlots];
    size_t count = 0;
    {
        detail::CriticalSection lock;
        const StackRecord* record = detail::BlockOf(handle)->stackTrace;
        if (record != nullptr && !record->empty() && (*record)[0] != nullptr) {
            count = std::min(record->size(), detail::kStackSlots);
            std::copy_n(record->data(), count, frames);
        }
    }
    if (count == 0) return;

    try {
        PrintFrames(buf, bufSize, frames, count, stackTraceDepth);
    } catch (const std::bad_alloc&) {
        // The lines printed before the refusal stay; buf is terminated.
    }
    buf[bufSize - 1] = '\0';
}

} // namespace KRMM

// Never inlined: when the application calls it, slot 0 is this function and
// slot 1 the application's caller.
[[gnu::noinline]] int KRMM_GetCallStack(std::vector<void*>* frames) {
    if (frames == nullptr || frames->empty()) return 0;
    const int capacity = static_cast<int>(std::min(frames->size(), KRMM::detail::kStackSlots));
    return KRMM::CaptureFrom(__builtin_return_address(0), frames->data(), capacity);
}

// A null `frames` prints nothing; with bufSize 0 nothing at all is written,
// but an empty list still throws.
void KRMM_PrintCallStack(char* buf, size_t bufSize, std::vector<void*>* frames, size_t depth) {
    if (bufSize != 0) buf[0] = '\0';
    if (frames == nullptr) return;
    static_cast<void>(frames->at(0));  // std::out_of_range for an empty list
    if (bufSize == 0) return;
    KRMM::PrintFrames(buf, bufSize, frames->data(), frames->size(), depth);
}

// A symbol the demangler refuses leaves the line's text whole: the result is
// the line exactly as it was passed in, mangled name and offset included.
// The caller's buffer stays cut in place either way.
std::string demangle_btrace(char* line) {
    constexpr size_t kNone = static_cast<size_t>(-1);
    size_t nameSpace = kNone;
    size_t lastPlus = kNone;
    size_t length = 0;
    for (; line[length] != '\0'; ++length) {
        if (line[length] == ' ' && line[length + 1] == '_') nameSpace = length;
        if (line[length] == '+') lastPlus = length;
    }
    if (nameSpace == kNone || lastPlus == kNone || lastPlus == 0 || nameSpace >= lastPlus - 1) {
        return std::string(line, length);
    }

    const size_t plusStop = lastPlus - 1;
    const char stopChar = line[plusStop];
    line[nameSpace] = '\0';
    line[plusStop] = '\0';
    const char* symbol = line + nameSpace + 1;
    const char* tail = line + lastPlus;

    int status = -1;
    std::unique_ptr<char, KRMM::FreeDeleter> demangled(
        abi::__cxa_demangle(symbol, nullptr, nullptr, &status));
    std::string out(line, nameSpace);
    out += ' ';
    if (status == 0 && demangled != nullptr) {
        out += demangled.get();
        out += ' ';
    } else {
        out += symbol;
        out += stopChar;
    }
    out += tail;
    return out;
}
