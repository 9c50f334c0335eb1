// folded_stacks.cpp - block groups in the folded-stack format of flame-graph
// tools.
//
// One line per distinct stack: the frame names from the outermost call to
// the allocating operation, joined by ';', then a space and the bytes:
//
//   main;Parse(char const*);KRMM::Partition::NewHandle(unsigned long);KRMM::Partition::Allocate(unsigned long) 4096
//
// A frame is named by its demangled function, or "module+0xOFFSET" where the
// symbol table has no name for it. Groups whose names coincide (different
// call sites in one function) are merged into one line. A group without a
// recorded stack is the single frame "[no stack recorded]". Lines come
// largest first. ';' and line breaks inside a name would break the format
// and become ':' and ' '.
//
// Thread safety: takes no lock; reads only the groups given.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <KRMM/Diagnostics.h>

#include "diagnostics/frame_info.h"

namespace KRMM::diag {
namespace {

// Types of our own keep the containers' code internal to the library (an
// instantiation on standard types alone would be exported).
struct FoldedLine {
    std::string stack;
    size_t bytes;
};

void AppendFrameName(std::string& line, const std::string& name) {
    for (const char c : name) {
        if (c == ';')
            line += ':';
        else if (c == '\n' || c == '\r')
            line += ' ';
        else
            line += c;
    }
}

} // namespace

bool WriteFoldedStacks(std::FILE* out, const BlockGroups& groups) {
    detail::FrameTable table;
    std::vector<FoldedLine> lines;
    std::unordered_map<std::string, size_t, detail::TextHash> index;
    std::string stack;
    for (const StackGroup& group : groups.groups) {
        stack.clear();
        if (group.frames.empty()) stack = "[no stack recorded]";
        for (auto frame = group.frames.rbegin(); frame != group.frames.rend(); ++frame) {
            if (!stack.empty()) stack += ';';
            AppendFrameName(stack, table.Describe(*frame).DisplayName());
        }
        auto [slot, added] = index.try_emplace(stack, lines.size());
        if (added) lines.push_back(FoldedLine{stack, 0});
        lines[slot->second].bytes += group.byteCount;
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [](const FoldedLine& a, const FoldedLine& b) { return a.bytes > b.bytes; });

    bool ok = true;
    for (const FoldedLine& line : lines) ok &= std::fprintf(out, "%s %zu\n", line.stack.c_str(), line.bytes) >= 0;
    return ok && std::fflush(out) == 0;
}

} // namespace KRMM::diag
