// frame_info.h - one captured frame, described for reports and profiles
// (internal).
//
// The leak report, the folded stacks and the pprof writer all name the same
// frames many times over; FrameTable describes each distinct address once
// (module, demangled function, source file and line) and hands out stable
// references.
//
// Thread safety: a FrameTable belongs to one thread; describing frames takes
// only the platform's own locks (prim::DescribeFrame), never
// KRMM_CriticalSection.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

namespace KRMM::diag::detail {

struct FrameInfo {
    uintptr_t address = 0;
    std::string module;        ///< file name of the module, "" when unknown
    std::string modulePath;    ///< path of the module as loaded, "" when unknown
    uintptr_t moduleStart = 0; ///< the module's loaded range; 0, 0 when unknown
    uintptr_t moduleLimit = 0;
    uintptr_t moduleOffset = 0;
    bool mainProgram = false;  ///< the module is the program itself
    std::string symbol;        ///< mangled symbol, "" when unknown
    std::string function;      ///< demangled symbol (the symbol itself when it is not mangled), "" when unknown
    uintptr_t offset = 0;      ///< address - symbol start, when the symbol is known
    std::string file;          ///< source file of the call (full path), "" when unknown
    int line = 0;              ///< its line, 0 when unknown

    /// The function when known, else "module+0xOFFSET" or "0xADDRESS".
    std::string DisplayName() const;
};

class FrameTable {
public:
    /// \returns the description of `frame`, made on first use. \throws std::bad_alloc.
    const FrameInfo& Describe(const void* frame);

private:
    std::unordered_map<uintptr_t, std::unique_ptr<FrameInfo>> frames_;
};

/// \returns `symbol` demangled, or `symbol` itself when the demangler refuses it.
std::string Demangle(const char* symbol);

// Hashes of our own for the diagnostics' containers: they keep the
// containers' code internal to the library (an instantiation on standard
// types alone would be exported).

/// For text keys.
struct TextHash {
    size_t operator()(const std::string& text) const noexcept { return std::hash<std::string>{}(text); }
};
/// For pointer and address keys.
struct AddressHash {
    size_t operator()(const void* pointer) const noexcept { return std::hash<const void*>{}(pointer); }
    size_t operator()(uintptr_t address) const noexcept { return std::hash<uintptr_t>{}(address); }
};

} // namespace KRMM::diag::detail
