// demo.cpp - KRMM at work in a small document editor.
//
// The story of one editing session: the text grows and moves inside one
// handle, edits save undo copies, paragraph records come from a pool, the
// host's resources are used in place, an object lives in a block, a failed
// request is heard by a memory callback, and a leak is found by comparing
// block lists and reading the allocation stacks of the blocks left over.
// Last, a legacy notes module written against the classic calls
// (legacy/notes.c) runs unchanged on the application zone.
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <KRMM/Diagnostics.h>
#include <KRMM/KRMM.h>

#include "document.h"
#include "legacy/notes.h"

namespace {

void Step(int number, const char* title) { std::printf("\n%d. %s\n", number, title); }

// -------- 1. The text: one handle

// One line of the text table: what was done, the call that did it, and where
// the text's data is now. The handle itself never changes.
struct TextTable {
    const editor::Document& doc;
    KRMM::Partition& heap;
    const char* lastData = nullptr;
    int moves = 0;

    void Header() const {
        std::printf("   %-28s %-14s %6s %9s  %s\n", "edit", "call", "size", "capacity", "data");
    }
    void Row(const char* edit, const char* call) {
        const char* data = *doc.TextHandle();
        const bool moved = lastData != nullptr && data != lastData;
        moves += moved ? 1 : 0;
        std::printf("   %-28s %-14s %6zu %9zu  %p%s\n", edit, call, doc.Size(),
                    heap.GetHandleMaxSize(doc.TextHandle()), static_cast<const void*>(data),
                    moved ? " moved" : "");
        lastData = data;
    }
};

constexpr std::string_view kTitle = "Choosing a colour\n";
constexpr std::string_view kParagraphs[] = {
    "Pick a colour from the palette, or mix your own in the colour wheel.\n",
    "The colour you choose applies to the selection and to what you type next.\n",
    "Saved colours wait in the swatch bar; one click applies them again.\n",
};
constexpr std::string_view kNote = "Note: printers may render a colour slightly darker.\n";

void TypeAndEdit(editor::Document& doc, KRMM::Partition& heap) {
    Step(1, "The text is one handle: it grows, shrinks and moves; the handle stays");
    TextTable table{doc, heap};
    table.Header();
    table.Row("new document", "NewHandle");
    doc.Type(kTitle);
    table.Row("type the title", "PtrAndHand");
    for (std::string_view paragraph : kParagraphs) doc.Type(paragraph);
    table.Row("type three paragraphs", "PtrAndHand");
    doc.Insert(0, "Chapter 3. ");
    table.Row("insert \"Chapter 3. \" at 0", "InsertData");
    const size_t pasteAt = doc.Size();
    KRMM::Handle clipboard = nullptr;
    heap.PtrToHand(kNote.data(), clipboard, kNote.size());
    for (int i = 0; i < 200; ++i) doc.Paste(clipboard);
    table.Row("paste a note 200 times", "HandAndHand");
    doc.Erase(pasteAt, doc.Size() - pasteAt - kNote.size());
    table.Row("delete 199 of the notes", "SetHandleSize");
    heap.DisposeHandle(clipboard);
    std::printf("   handle %p throughout; its data moved %d times (1024 bytes reserved per move)\n",
                static_cast<void*>(doc.TextHandle()), table.moves);
}

// -------- 2. Undo

void EditAndUndo(editor::Document& doc) {
    Step(2, "Undo: each edit first saves a copy of the text (HandToHand)");
    doc.SaveUndoState();
    doc.Erase(0, 11);
    std::printf("   %-28s text %zu bytes, undo states %zu\n", "delete \"Chapter 3. \"", doc.Size(),
                doc.UndoDepth());
    doc.Undo();
    std::printf("   %-28s text %zu bytes, undo states %zu, begins \"%.*s\"\n", "undo (PtrToXHand)",
                doc.Size(), doc.UndoDepth(), 17, doc.Text().data());
}

// -------- 3. Paragraph records from a pool

void LayOutParagraphs(editor::Document& doc, const KRMM::Partition& heap, KRMM::Handle pool) {
    Step(3, "Paragraph records come from a pool (CreatePool, SetCurrentPool, SetPoolEnabled)");
    const int64_t hitsBefore = heap.numpoolHits;
    const size_t records = doc.Reflow();
    std::printf("   %-9s %6s %6s %6s  %s\n", "paragraph", "offset", "length", "words", "record");
    int index = 0;
    for (const editor::Paragraph* p = doc.FirstParagraph(); p != nullptr; p = p->next) {
        std::printf("   %-9d %6u %6u %6u  %p%s\n", ++index, p->offset, p->length, p->words,
                    static_cast<const void*>(p), p->style == 1 ? "  (heading style)" : "");
    }
    const auto* header = reinterpret_cast<const KRMM::PoolHeader*>(*pool);
    std::printf("   %zu records, %lld of them served by the pool without touching the heap;\n"
                "   pool: %zu of %zu blocks in use\n",
                records, static_cast<long long>(heap.numpoolHits - hitsBefore),
                header->blockCount - header->freeCount, header->blockCount);
}

// -------- 4. Resources

// The host's resource layer, as much of it as KRMM sees: each resource's data
// belongs to the host and is reached through a master pointer; the resource
// handle is the address of that master pointer.
struct HostResource {
    const char* type;
    short id;
    std::string data;
    char* master = nullptr;
};

struct HostResourceFile {
    short refNum;
    const char* name;
    std::vector<HostResource> resources;

    HostResourceFile(short ref, const char* fileName, std::vector<HostResource> list)
        : refNum(ref), name(fileName), resources(std::move(list)) {
        for (HostResource& r : resources) r.master = r.data.data();
    }
    HostResourceFile(const HostResourceFile&) = delete;
    HostResourceFile& operator=(const HostResourceFile&) = delete;
    void** ResourceHandle(size_t i) { return reinterpret_cast<void**>(&resources[i].master); }
};

void UseResources(KRMM::Partition& heap) {
    Step(4, "Resources: the host's data, used in place through KRMM handles");
    HostResourceFile fonts(3, "Fonts.rsrc", {{"FONT", 128, std::string(1800, 'g')},
                                             {"FONT", 129, std::string(2400, 'm')}});
    HostResourceFile strings(4, "Strings.rsrc", {{"STR ", 128, "untitled.txt - KRMM Editor"},
                                                 {"STR ", 129, "Save changes?"}});
    std::printf("   %-13s %-4s %4s %6s  %-14s  %s\n", "file", "type", "id", "size", "handle",
                "data");
    for (HostResourceFile* file : {&fonts, &strings}) {
        for (size_t i = 0; i < file->resources.size(); ++i) {
            const HostResource& r = file->resources[i];
            KRMM::Handle h = heap.GetOrCreateHandleFromQTResourceHandle(
                file->ResourceHandle(i), r.data.size(), file->refNum);
            std::printf("   %-13s %-4s %4d %6zu  %-14p  %s\n", file->name, r.type, r.id,
                        heap.GetKRMMHandleSize(h), static_cast<void*>(h),
                        *h == r.master ? "the host's own bytes, not a copy" : "a copy");
        }
    }
    // Asking again finds the block made above; nothing new is made.
    KRMM::Handle title = heap.GetOrCreateHandleFromQTResourceHandle(
        strings.ResourceHandle(0), strings.resources[0].data.size(), strings.refNum);
    std::printf("   asked again for STR 128: handle %p, the same block; title \"%.*s\"\n",
                static_cast<void*>(title), static_cast<int>(heap.GetKRMMHandleSize(title)), *title);

    std::printf("   closing the files (DeleteAllHandlesWithResourceFile), "
                "then FindBlockWithQTResourceHandle:\n");
    std::printf("   %-13s %8s  %-8s  %s\n", "closed", "released", "FONT 128", "STR 128");
    for (HostResourceFile* file : {&fonts, &strings}) {
        const int64_t blocksOpen = heap.numBlocks;
        heap.DeleteAllHandlesWithResourceFile(file->refNum);
        const bool fontFound =
            heap.FindBlockWithQTResourceHandle(fonts.ResourceHandle(0), fonts.refNum);
        const bool titleFound =
            heap.FindBlockWithQTResourceHandle(strings.ResourceHandle(0), strings.refNum);
        std::printf("   %-13s %8lld  %-8s  %s\n", file->name,
                    static_cast<long long>(blocksOpen - heap.numBlocks),
                    fontFound ? "found" : "gone", titleFound ? "found" : "gone");
    }
}

// -------- 5. An object in a block

struct SpellChecker {
    std::vector<std::string> words;
    explicit SpellChecker(std::initializer_list<const char*> list)
        : words(list.begin(), list.end()) {}
    ~SpellChecker() { std::printf("   ~SpellChecker(): %zu words released\n", words.size()); }
    bool Knows(std::string_view word) const {
        for (const std::string& w : words)
            if (w == word) return true;
        return false;
    }
};

// The library calls this with the block's data pointer before disposing of it.
void DestroySpellChecker(const void* data) {
    static_cast<SpellChecker*>(const_cast<void*>(data))->~SpellChecker();
}

void RunSpellChecker(KRMM::Partition& heap) {
    Step(5, "An object in a block: the spell checker (SetDestructor, SetInstantiatedState)");
    KRMM::Handle node = heap.NewHandle(sizeof(SpellChecker));
    if (node == nullptr) return;
    heap.MemoryStat_AddAlloc(sizeof(SpellChecker));
    const auto* checker = new (*node) SpellChecker{"colour", "palette", "swatch", "wheel"};
    heap.SetDestructor(*node, DestroySpellChecker);
    heap.SetInstantiatedState(*node, true);
    std::printf("   built in block %p with placement new; knows \"swatch\": %s\n",
                static_cast<void*>(node), checker->Knows("swatch") ? "yes" : "no");
    std::printf("   SetHandleSize on it: %s (a block holding an object is never resized)\n",
                heap.SetHandleSize(node, 256) ? "done" : "refused");
    std::printf("   DisposeHandle runs the destructor first:\n");
    heap.DisposeHandle(node);
}

// -------- 6. A memory callback

struct MemoryTrouble {
    int calls = 0;
};

void OnMemoryTrouble(int event, size_t size, void* userData) {
    auto* trouble = static_cast<MemoryTrouble*>(userData);
    ++trouble->calls;
    std::printf("   memory callback: event %d, a request of %zu bytes was refused\n", event, size);
}

void ImportDamagedFile(const editor::Document& doc) {
    Step(6, "Out of memory: a memory callback hears of the refused request");
    // Imports load into a partition of their own, dropped in one step.
    KRMM::Partition importHeap;
    importHeap.SetIdentifier("import");
    MemoryTrouble trouble;
    importHeap.RegisterMemoryCallbackFunction(OnMemoryTrouble, &trouble);
    // The damaged file's length field reads all ones. No heap can give that
    // much; KRMM refuses it without asking the heap, so this runs under ASan too.
    const size_t claimedLength = SIZE_MAX;
    std::printf("   import \"damaged.txt\": its header claims %zu bytes\n", claimedLength);
    KRMM::Handle imported = importHeap.NewHandle(claimedLength);
    std::printf("   NewHandle returned %s after %d callback call; "
                "the document is untouched (%zu bytes)\n",
                imported == nullptr ? "null" : "a block", trouble.calls, doc.Size());
    importHeap.UnregisterMemoryCallbackFunction(OnMemoryTrouble);
}

// -------- 7. Leak hunt

// Prints a block's allocation stack as GetBlockStackTrace gives it, one frame
// a line ("index   module   address symbol + offset"), with the module in a
// column of its own, std::string_view spelled short, and nothing below main
// (those frames are the C runtime's).
void PrintAllocationStack(const KRMM::Partition& heap, const void* block) {
    char stack[4096];
    heap.GetBlockStackTrace(block, stack, sizeof stack);
    constexpr std::string_view kLongName = "std::basic_string_view<char, std::char_traits<char> >";
    std::string_view rest = stack;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string line(rest.substr(0, end));
        for (size_t at; (at = line.find(kLongName)) != std::string::npos;)
            line.replace(at, kLongName.size(), "std::string_view");
        const size_t moduleAt = line.find_first_not_of(' ', line.find(' '));
        const size_t addressAt = line.find("   0x");
        if (moduleAt < addressAt && addressAt != std::string::npos) {
            std::printf("      #%-3.*s%-14.*s %s\n", static_cast<int>(line.find(' ')), line.c_str(),
                        static_cast<int>(addressAt - moduleAt), line.c_str() + moduleAt,
                        line.c_str() + addressAt + 3);
        } else {
            std::printf("      %s\n", line.c_str());
        }
        if (line.find(" main + ") != std::string::npos || end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
}

// Writes `groups` into `path` with one of the diagnostics writers.
void WriteReport(const char* path, const char* what, const KRMM::diag::BlockGroups& groups,
                 bool (*writer)(std::FILE*, const KRMM::diag::BlockGroups&)) {
    std::FILE* file = std::fopen(path, "wb");
    const bool written = file != nullptr && writer(file, groups);
    if (file != nullptr) std::fclose(file);
    std::printf("   %-22s %s\n", written ? path : "(not written)", what);
}

} // namespace

int main() {
    std::printf("KRMM demo: a small document editor on relocatable handles\n");
    std::printf("==========================================================\n");

    KRMM::Partition heap;
    heap.SetIdentifier("untitled.txt");
    // Paragraph records come from this pool while the editor reflows.
    KRMM::Handle paragraphPool = heap.CreatePool(sizeof(editor::Paragraph), 32);
    heap.SetCurrentPool(paragraphPool);
    editor::Document doc(heap, 1024);
    if (paragraphPool == nullptr || !doc.IsOpen()) return 1;

    TypeAndEdit(doc, heap);
    EditAndUndo(doc);
    LayOutParagraphs(doc, heap, paragraphPool);
    UseResources(heap);
    RunSpellChecker(heap);
    ImportDamagedFile(doc);

    Step(7, "Finding a leak: block lists before and after an edit, with allocation stacks");
    // From here on every block records the call stack that made it.
    heap.EnableStackTraceInfo(true);
    std::vector<const void*> before, after, appeared;
    heap.GetAllBlocks(before);
    const size_t replaced = doc.ReplaceAll("colour", "color");
    heap.GetAllBlocks(after);
    const size_t count = heap.SubtractBlockArrays(after, before, appeared);
    std::printf("   ReplaceAll(\"colour\", \"color\"): %zu replacements, "
                "first change at byte %zu\n", replaced, doc.LastChangeAt());
    std::printf("   blocks before %zu, after %zu; new and still alive: %zu\n", before.size(),
                after.size(), count);
    // The same difference grouped by allocation stack, kept for the files below.
    const KRMM::diag::BlockGroups groups = KRMM::diag::GroupNewBlocks(heap, before, after);
    for (size_t i = 0; i < count; ++i) {
        const bool kept = doc.HoldsUndoState(appeared[i]);
        std::printf("\n   block %p  %5zu bytes  %s\n", appeared[i], heap.GetBlockSize(appeared[i]),
                    kept ? "held by the undo history" : "held by nobody: LEAKED");
        PrintAllocationStack(heap, appeared[i]);
        // The demo cleans up after its own bug, so that it exits without a leak.
        if (!kept) heap.DisposeHandle(static_cast<KRMM::Handle>(const_cast<void*>(appeared[i])));
    }
    heap.EnableStackTraceInfo(false);

    // Addresses alone miss a block that took the place of one released during
    // the edit; a snapshot also knows each block's allocation number.
    std::printf("\n   Address reuse: a reflow releases every paragraph record and takes new ones,\n"
                "   which the pool hands out at the same addresses.\n");
    std::vector<const void*> listBefore, listAfter, listNew;
    heap.GetAllBlocks(listBefore);
    const std::vector<KRMM::diag::BlockStamp> snapshot = KRMM::diag::TakeBlockSnapshot(heap);
    doc.Reflow();
    heap.GetAllBlocks(listAfter);
    std::printf("   new since: %zu by address (SubtractBlockArrays), %zu by snapshot (BlocksNewSince)\n",
                heap.SubtractBlockArrays(listAfter, listBefore, listNew),
                KRMM::diag::BlocksNewSince(heap, snapshot).size());

    // For tools: the difference as a leak report (text and JSON) and a pprof
    // profile, and every live block as folded stacks for a flame graph.
    std::printf("\n   the same blocks grouped by allocation stack: %zu stacks, %zu bytes\n",
                groups.groups.size(), groups.byteCount);
    WriteReport("krmm-demo-leaks.txt", "leak report", groups, KRMM::diag::WriteLeakReport);
    WriteReport("krmm-demo-leaks.json", "the same as JSON", groups, KRMM::diag::WriteLeakReportJson);
    WriteReport("krmm-demo.pb.gz", "pprof profile (pprof -top)", groups, KRMM::diag::WritePprofProfile);
    WriteReport("krmm-demo.folded", "live blocks, folded (scripts/flamegraph.py)",
                KRMM::diag::GroupLiveBlocks(heap), KRMM::diag::WriteFoldedStacks);

    Step(8, "The report (PrintMemoryStats(1): counters, current pool, size histogram)");
    char name[128];
    heap.GetIdentifier(name);
    std::printf("   partition \"%s\", as the library prints it:\n", name);
    heap.PrintMemoryStats(1);

    Step(9, "Closing the document");
    doc.Close();
    heap.DestroyPool(paragraphPool);
    std::printf("   text, undo states, paragraph records and pool released: "
                "%lld blocks, %lld bytes left\n",
                static_cast<long long>(heap.numBlocks),
                static_cast<long long>(heap.bytesAllocated));
    const bool released = heap.numBlocks == 0 && heap.bytesAllocated == 0;

    Step(10, "Legacy code, compiled unchanged: NewHandle, Munger, HLock, PurgeMem, MemError");
    std::printf("   examples/legacy/notes.c calls the classic functions of <KRMM/MacMemory.h>:\n");
    const bool legacyOk = Notes_RunSession() == 0;
    return released && legacyOk ? 0 : 1;
}
