// call_stack.cpp - printing allocation call stacks, and the demangling of
// printed lines.
//
// The records are captured by the core (core/stack_capture.cpp): slot 0 is
// the capturing routine, slot 1 the allocating operation. Printing turns
// slots 1 to depth-1 into one line each, demangled, each followed by "\n".
// The symboliser (platform/prim.h) lays lines out as
// "index module address symbol + offset", which is what demangle_btrace reads.
//
// Thread safety: the partition's list lock guards only the copy of a block's
// frames for printing, so a record is never printed while it is being
// replaced or dropped; symbolising, demangling and the heap calls they make
// all happen outside it. KRMM_PrintCallStack and demangle_btrace take no lock
// and keep no state.
#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <KRMM/KRMM.h>

#include "core/hardening.h"
#include "core/layout.h"
#include "core/list_guard.h"
#include "platform/prim.h"

namespace KRMM {
namespace {

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
    std::unique_ptr<char*, prim::FreeDeleter> lines(
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

void Partition::GetBlockStackTrace(const void* handle, char* buf, size_t bufSize) const {
    if (bufSize == 0) return;
    buf[0] = '\0';
    if (handle == nullptr || !detail::TracingOn(*this)) return;
    if (!detail::CheckHandle(*this, handle, detail::HandleUse::kAny)) return;

    void* frames[detail::kStackSlots];
    size_t count = 0;
    {
        detail::PartitionListGuard guard(*this);
        const std::vector<void*>* record = detail::BlockOf(handle)->stackTrace;
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

    const std::unique_ptr<char, KRMM::prim::FreeDeleter> demangled(KRMM::prim::Demangle(symbol));
    std::string out(line, nameSpace);
    out += ' ';
    if (demangled != nullptr) {
        out += demangled.get();
        out += ' ';
    } else {
        out += symbol;
        out += stopChar;
    }
    out += tail;
    return out;
}
