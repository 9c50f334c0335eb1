// leak_report.cpp - blocks grouped by allocation stack, as text and as JSON.
//
// Text, largest group first:
//
//   KRMM leak report: 3 blocks, 1064 bytes in 2 stacks
//
//   2 blocks, 1000 bytes allocated at:
//       1   libKRMM.so.0   0x00007f3a12345678 KRMM::Partition::Allocate(unsigned long) + 91 (allocation.cpp:93)
//       2   ...
//
//   1 block, 64 bytes allocated at:
//       (no call stack recorded)
//
// The frame lines are those GetBlockStackTrace prints (the same symboliser
// and demangler, slot numbers from 1), without its depth and buffer limits:
// every recorded frame is shown.
//
// Thread safety: takes no lock; reads only the groups given.
#include <cinttypes>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <KRMM/Diagnostics.h>
#include <KRMM/KRMM.h>

#include "diagnostics/frame_info.h"
#include "platform/prim.h"

namespace KRMM::diag {
namespace {

// Decimal text of `n` (std::to_string would export a table of its own).
std::string Decimal(uintmax_t n) {
    char text[24];
    std::snprintf(text, sizeof text, "%ju", n);
    return text;
}

const char* Plural(size_t n, const char* one, const char* many) {
    return n == 1 ? one : many;
}

bool WriteStack(std::FILE* out, const std::vector<void*>& frames) {
    if (frames.empty()) return std::fputs("    (no call stack recorded)\n", out) >= 0;
    // A null slot 0 stands for the capturing routine, so that the printed
    // slot numbers match GetBlockStackTrace's.
    std::vector<void*> slots(frames.size() + 1, nullptr);
    std::copy(frames.begin(), frames.end(), slots.begin() + 1);
    std::unique_ptr<char*, prim::FreeDeleter> lines(
        prim::SymbolizeFrames(slots.data(), static_cast<int>(slots.size())));
    bool ok = true;
    for (size_t i = 1; i < slots.size(); ++i) {
        if (lines != nullptr) {
            ok &= std::fprintf(out, "    %s\n", demangle_btrace(lines.get()[i]).c_str()) >= 0;
        } else {
            ok &= std::fprintf(out, "    %-4zu0x%016" PRIxPTR "\n", i,
                               reinterpret_cast<uintptr_t>(slots[i])) >= 0;
        }
    }
    return ok;
}

void AppendJsonString(std::string& json, const std::string& text) {
    json += '"';
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': json += "\\\""; break;
        case '\\': json += "\\\\"; break;
        case '\n': json += "\\n"; break;
        case '\t': json += "\\t"; break;
        default:
            if (c < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                json += escape;
            } else {
                json += ch;
            }
        }
    }
    json += '"';
}

void AppendJsonStringOrNull(std::string& json, const std::string& text) {
    if (text.empty())
        json += "null";
    else
        AppendJsonString(json, text);
}

void AppendFrameJson(std::string& json, const detail::FrameInfo& frame) {
    char address[32];
    std::snprintf(address, sizeof address, "0x%016" PRIxPTR, frame.address);
    json += "{\"address\":";
    AppendJsonString(json, address);
    json += ",\"module\":";
    AppendJsonStringOrNull(json, frame.module);
    json += ",\"function\":";
    AppendJsonStringOrNull(json, frame.function);
    json += ",\"offset\":";
    json += frame.symbol.empty() ? "null" : Decimal(frame.offset);
    json += ",\"file\":";
    AppendJsonStringOrNull(json, frame.file);
    json += ",\"line\":";
    json += frame.line > 0 ? Decimal(static_cast<uintmax_t>(frame.line)) : "null";
    json += '}';
}

} // namespace

bool WriteLeakReport(std::FILE* out, const BlockGroups& groups) {
    bool ok = std::fprintf(out, "KRMM leak report: %zu %s, %zu %s in %zu %s\n", groups.blockCount,
                           Plural(groups.blockCount, "block", "blocks"), groups.byteCount,
                           Plural(groups.byteCount, "byte", "bytes"), groups.groups.size(),
                           Plural(groups.groups.size(), "stack", "stacks")) >= 0;
    for (const StackGroup& group : groups.groups) {
        ok &= std::fprintf(out, "\n%zu %s, %zu %s allocated at:\n", group.blockCount,
                           Plural(group.blockCount, "block", "blocks"), group.byteCount,
                           Plural(group.byteCount, "byte", "bytes")) >= 0;
        ok &= WriteStack(out, group.frames);
    }
    return ok && std::fflush(out) == 0;
}

bool WriteLeakReportJson(std::FILE* out, const BlockGroups& groups) {
    detail::FrameTable table;
    std::string json = "{\"blocks\":" + Decimal(groups.blockCount) +
                       ",\"bytes\":" + Decimal(groups.byteCount) + ",\"groups\":[";
    for (size_t g = 0; g < groups.groups.size(); ++g) {
        const StackGroup& group = groups.groups[g];
        if (g != 0) json += ',';
        json += "{\"blocks\":" + Decimal(group.blockCount) +
                ",\"bytes\":" + Decimal(group.byteCount) + ",\"frames\":[";
        for (size_t f = 0; f < group.frames.size(); ++f) {
            if (f != 0) json += ',';
            AppendFrameJson(json, table.Describe(group.frames[f]));
        }
        json += "]}";
    }
    json += "]}\n";
    return std::fwrite(json.data(), 1, json.size(), out) == json.size() && std::fflush(out) == 0;
}

} // namespace KRMM::diag
