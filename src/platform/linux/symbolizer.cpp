// symbolizer.cpp - text lines for captured return addresses, from dladdr, and
// (where the build found libdw) the source file and line of each call; and
// the runtime's demangler.
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
// With libdw, a frame whose call site the line tables know gets the source
// file (without directories) and line appended after all of that:
//
//   "2   libKRMM.so.0   0x00007f3a12345678 _ZN4KRMM9Partition8AllocateEm + 91 (allocation.cpp:93)"
//
// The suffix holds no '+' and no " _" (a file name with either is left out),
// so the demangler still finds the symbol and the offset, and the text before
// the suffix is exactly the text without libdw. The line is the one of the
// call: a return address points after the call, so address - 1 is looked up.
//
// Only symbols in the dynamic symbol table are found: a program must be linked
// with -rdynamic (CMake: ENABLE_EXPORTS) for its own functions to be named.
// Line numbers need debug information (-g) in the module.
//
// The result is one malloc'd block: the pointer array, then the strings. It is
// released with a single free().
//
// Thread safety: any thread. dladdr and dl_iterate_phdr take the loader's own
// lock. The libdw session (the process's modules and their line tables, read
// on first use and kept for the life of the process) is guarded by a mutex of
// its own, never by KRMM_CriticalSection.
#include <cxxabi.h>
#include <dlfcn.h>
#include <link.h>

#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(KRMM_HAVE_LIBDW)
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>
#include <pthread.h>
#include <unistd.h>
#endif

#include "platform/prim.h"

namespace KRMM::prim {
namespace {

constexpr size_t kPathBytes = 4096;

const char* BaseName(const char* path) noexcept {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

#if defined(KRMM_HAVE_LIBDW)

pthread_mutex_t gDwflMutex = PTHREAD_MUTEX_INITIALIZER;
Dwfl* gDwfl = nullptr;
unsigned long long gReportedLoads = 0;

const Dwfl_Callbacks kDwflCallbacks = {
    dwfl_linux_proc_find_elf, dwfl_standard_find_debuginfo, nullptr, nullptr};

// The loader's count of objects loaded so far: when it moves, dlopen has
// added modules the session has not seen yet.
unsigned long long LoadCount() noexcept {
    unsigned long long adds = 0;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t size, void* data) -> int {
            if (size >= offsetof(dl_phdr_info, dlpi_adds) + sizeof info->dlpi_adds)
                *static_cast<unsigned long long*>(data) = info->dlpi_adds;
            return 1;
        },
        &adds);
    return adds;
}

// (Re)reads /proc/self/maps into the session. Called with gDwflMutex held.
void ReportModules() noexcept {
    if (gDwfl == nullptr) {
        gDwfl = dwfl_begin(&kDwflCallbacks);
        if (gDwfl == nullptr) return;
        dwfl_report_begin(gDwfl);
    } else {
        dwfl_report_begin_add(gDwfl);
    }
    gReportedLoads = LoadCount();
    dwfl_linux_proc_report(gDwfl, getpid());
    dwfl_report_end(gDwfl, nullptr, nullptr);
}

bool SourceLineOf(uintptr_t callSite, char* file, size_t fileSize, int* line) noexcept {
    pthread_mutex_lock(&gDwflMutex);
    if (gDwfl == nullptr || LoadCount() != gReportedLoads) ReportModules();
    bool found = false;
    if (gDwfl != nullptr) {
        Dwfl_Module* module = dwfl_addrmodule(gDwfl, callSite);
        Dwarf_Addr bias = 0;
        // Only inside a compilation unit: code without debug information
        // (crt1's _start) would otherwise get the nearest unit's last line.
        Dwarf_Die* unit = module != nullptr ? dwfl_module_addrdie(module, callSite, &bias) : nullptr;
        if (unit != nullptr && dwarf_haspc(unit, callSite - bias) > 0) {
            if (Dwfl_Line* entry = dwfl_module_getsrc(module, callSite)) {
                int lineNumber = 0;
                const char* source =
                    dwfl_lineinfo(entry, nullptr, &lineNumber, nullptr, nullptr, nullptr);
                if (source != nullptr && lineNumber > 0) {
                    std::snprintf(file, fileSize, "%s", source);
                    *line = lineNumber;
                    found = true;
                }
            }
        }
    }
    pthread_mutex_unlock(&gDwflMutex);
    return found;
}

#else

bool SourceLineOf(uintptr_t, char*, size_t, int*) noexcept {
    return false;
}

#endif

struct Extent {
    uintptr_t address;
    uintptr_t start;
    uintptr_t limit;
    uintptr_t fileOffset;
    bool mainProgram;
    int visited;
};

// The loaded segments of the module that holds `extent->address`. The loader
// lists the program itself first.
void FindExtent(Extent* extent) noexcept {
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) -> int {
            auto* want = static_cast<Extent*>(data);
            uintptr_t low = UINTPTR_MAX;
            uintptr_t high = 0;
            uintptr_t offset = 0;
            bool holds = false;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[i];
                if (segment.p_type != PT_LOAD) continue;
                const uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
                const uintptr_t end = begin + segment.p_memsz;
                if (begin < low) {
                    low = begin;
                    offset = segment.p_offset;
                }
                if (end > high) high = end;
                if (begin <= want->address && want->address < end) holds = true;
            }
            if (!holds) return want->visited++, 0;
            want->mainProgram = want->visited == 0;
            want->start = low;
            want->limit = high;
            want->fileOffset = offset;
            return 1;
        },
        extent);
}

// Leaves `detail` zeroed and `file` empty for a null frame.
bool Describe(const void* frame, FrameDetail* detail, char* file, size_t fileSize,
              bool wantExtent) noexcept {
    *detail = FrameDetail{};
    if (fileSize != 0) file[0] = '\0';
    if (frame == nullptr) return false;
    const uintptr_t address = reinterpret_cast<uintptr_t>(frame);

    Dl_info info{};
    if (dladdr(frame, &info) != 0) {
        if (info.dli_fname != nullptr && info.dli_fname[0] != '\0') {
            detail->modulePath = info.dli_fname;
            detail->module = BaseName(info.dli_fname);
            if (detail->module[0] == '\0') detail->module = nullptr;
        }
        if (info.dli_sname != nullptr && info.dli_saddr != nullptr) {
            detail->symbol = info.dli_sname;
            detail->offset = address - reinterpret_cast<uintptr_t>(info.dli_saddr);
        }
    }
    if (wantExtent) {
        Extent extent{address, 0, 0, 0, false, 0};
        FindExtent(&extent);
        detail->mainProgram = extent.mainProgram;
        detail->moduleStart = extent.start;
        detail->moduleLimit = extent.limit;
        detail->moduleOffset = extent.fileOffset;
    }
    int line = 0;
    if (fileSize != 0 && SourceLineOf(address - 1, file, fileSize, &line)) detail->line = line;
    return true;
}

// A suffix must not give the demangler another '+' or " _" to find.
bool SuffixSafe(const char* name) noexcept {
    return std::strchr(name, '+') == nullptr && std::strchr(name, ' ') == nullptr;
}

// snprintf's contract: the full length is returned even when `room` cuts it.
int FormatLine(char* out, size_t room, int index, void* frame) noexcept {
    FrameDetail detail;
    char file[kPathBytes];
    Describe(frame, &detail, file, sizeof file, false);
    const uintptr_t address = reinterpret_cast<uintptr_t>(frame);
    const char* module = detail.module != nullptr ? detail.module : "???";
    int length;
    if (detail.symbol != nullptr) {
        length = std::snprintf(out, room, "%-4d%s   0x%016" PRIxPTR " %s + %" PRIuPTR, index, module,
                               address, detail.symbol, detail.offset);
    } else {
        length = std::snprintf(out, room, "%-4d%s   0x%016" PRIxPTR, index, module, address);
    }
    const char* source = BaseName(file);
    if (length < 0 || detail.line <= 0 || source[0] == '\0' || !SuffixSafe(source)) return length;
    const size_t used = static_cast<size_t>(length);
    const int suffix = std::snprintf(used < room ? out + used : nullptr, used < room ? room - used : 0,
                                     " (%s:%d)", source, detail.line);
    return suffix < 0 ? length : length + suffix;
}

} // namespace

char* Demangle(const char* symbol) noexcept {
    if (symbol == nullptr) return nullptr;
    int status = -1;
    char* demangled = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
    if (status == 0 && demangled != nullptr) return demangled;
    std::free(demangled);
    return nullptr;
}

bool DescribeFrame(const void* frame, FrameDetail* out, char* file, size_t fileSize) noexcept {
    return Describe(frame, out, file, fileSize, true);
}

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
