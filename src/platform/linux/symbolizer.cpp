// symbolizer.cpp - text lines for captured return addresses, from dladdr.
//
// Each frame becomes one line laid out as
//
//   "2   libKRMM.so.0   0x00007f3a12345678 _ZN4KRMM9Partition8AllocateEm + 91"
//
// index (left-aligned in 4 columns), module file name, three spaces, the
// address as 16 hex digits, the symbol as the dynamic symbol table spells it,
// " + " and the offset into the symbol in decimal. That is the layout the
// demangler's "last space before '_', last '+'" rule reads. A frame that
// dladdr cannot name keeps its module (or "???") and address and has no
// " + " part, so the demangler leaves it alone:
//
//   "7   ???   0x0000000000000000"            (a null slot)
//   "5   krmm_demo   0x000055d0c1a2b3c4"      (a frame in a hidden function)
//
// Only symbols in the dynamic symbol table are found: a program must be linked
// with -rdynamic (CMake: ENABLE_EXPORTS) for its own functions to be named.
//
// The result is one malloc'd block: the pointer array, then the strings. It is
// released with a single free().
//
// Thread safety: any thread; no state. dladdr takes the loader's own lock.
#include <dlfcn.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/prim.h"

namespace KRMM::prim {
namespace {

struct FrameName {
    const char* module;  // file name without directories, or null
    const char* symbol;  // dynamic symbol, or null
    uintptr_t offset;    // bytes from the symbol's start to the frame
};

FrameName Describe(void* frame) noexcept {
    Dl_info info{};
    if (frame == nullptr || dladdr(frame, &info) == 0) return {nullptr, nullptr, 0};
    const char* module = info.dli_fname;
    if (module != nullptr) {
        if (const char* slash = std::strrchr(module, '/')) module = slash + 1;
        if (*module == '\0') module = nullptr;
    }
    if (info.dli_sname == nullptr || info.dli_saddr == nullptr) return {module, nullptr, 0};
    return {module, info.dli_sname,
            reinterpret_cast<uintptr_t>(frame) - reinterpret_cast<uintptr_t>(info.dli_saddr)};
}

// snprintf's contract: the full length is returned even when `room` cuts it.
int FormatLine(char* out, size_t room, int index, void* frame) noexcept {
    const FrameName name = Describe(frame);
    const uintptr_t address = reinterpret_cast<uintptr_t>(frame);
    const char* module = name.module != nullptr ? name.module : "???";
    if (name.symbol != nullptr) {
        return std::snprintf(out, room, "%-4d%s   0x%016" PRIxPTR " %s + %" PRIuPTR, index, module,
                             address, name.symbol, name.offset);
    }
    return std::snprintf(out, room, "%-4d%s   0x%016" PRIxPTR, index, module, address);
}

} // namespace

char** SymbolizeFrames(void* const* frames, int count) noexcept {
    if (frames == nullptr || count <= 0) return nullptr;
    const size_t lineCount = static_cast<size_t>(count);

    size_t textBytes = 0;
    for (int i = 0; i < count; ++i) {
        const int length = FormatLine(nullptr, 0, i, frames[i]);
        if (length < 0) return nullptr;
        textBytes += static_cast<size_t>(length) + 1;
    }

    const size_t arrayBytes = lineCount * sizeof(char*);
    auto** lines = static_cast<char**>(std::malloc(arrayBytes + textBytes));
    if (lines == nullptr) return nullptr;
    char* cursor = reinterpret_cast<char*>(lines) + arrayBytes;
    size_t room = textBytes;
    for (int i = 0; i < count; ++i) {
        // A module unloaded between the two passes may change a line's length:
        // snprintf cuts it to the room left, and every line stays terminated.
        lines[i] = cursor;
        const int length = FormatLine(cursor, room, i, frames[i]);
        size_t written = length > 0 ? static_cast<size_t>(length) : 0;
        if (written >= room) written = room > 0 ? room - 1 : 0;
        if (room == 0) {
            lines[i] = cursor - 1;  // the previous line's NUL: an empty line
            continue;
        }
        if (length < 0) *cursor = '\0';
        cursor += written + 1;
        room -= written + 1;
    }
    return lines;
}

} // namespace KRMM::prim
