// example.cpp - a small program whose live blocks make the flame graph in
// this folder (scripts/make-flamegraph.sh builds it, runs it and renders it).
//
// It "opens a document": reads a few pages into handles, builds an index of
// small records from a pool, caches some glyph images, and frees the scratch
// buffers it used on the way. Then it writes its live blocks, grouped by the
// call stack that allocated them, as folded stacks and as a pprof profile.
//
//   krmm_flamegraph_example OUT.folded OUT.pb.gz
#include <cstdio>
#include <cstring>
#include <vector>

#include <KRMM/Diagnostics.h>
#include <KRMM/KRMM.h>

using KRMM::Handle;
using KRMM::Partition;

namespace document {

[[gnu::noinline]] Handle ReadPage(Partition& partition, size_t bytes) {
    Handle page = partition.NewHandle(bytes);
    std::memset(*page, 'p', bytes);
    return page;
}

[[gnu::noinline]] void IndexPage(Partition& partition, std::vector<KRMM::Ptr>& index, int entries) {
    for (int i = 0; i < entries; ++i) index.push_back(partition.NewPtrClear(48));
}

[[gnu::noinline]] Handle RenderGlyph(Partition& partition, int size) {
    Handle glyph = partition.NewHandle(static_cast<unsigned long>(size * size));
    Handle scratch = partition.NewHandle(static_cast<unsigned long>(size * size * 4));
    partition.DisposeHandle(scratch);  // freed: not in the graph
    return glyph;
}

[[gnu::noinline]] void CacheGlyphs(Partition& partition, std::vector<Handle>& cache) {
    for (int size : {16, 24, 32, 48, 64, 96}) cache.push_back(RenderGlyph(partition, size));
}

[[gnu::noinline]] void Open(Partition& partition, std::vector<Handle>& pages, std::vector<KRMM::Ptr>& index,
                            std::vector<Handle>& glyphs) {
    for (int page = 0; page < 6; ++page) {
        pages.push_back(ReadPage(partition, 2048));
        IndexPage(partition, index, 20);
    }
    CacheGlyphs(partition, glyphs);
    Handle notes = partition.NewHandle(100);
    partition.PtrAndHand("appended notes", notes, 15);  // grown: the data moves, the stack stays
    pages.push_back(notes);
}

} // namespace document

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s OUT.folded OUT.pb.gz\n", argv[0]);
        return 2;
    }
    Partition partition;
    partition.EnableStackTraceInfo(true);
    KRMM::Handle pool = partition.CreatePool(64, 256);
    partition.SetCurrentPool(pool);
    partition.SetPoolEnabled(true);

    std::vector<Handle> pages, glyphs;
    std::vector<KRMM::Ptr> index;
    document::Open(partition, pages, index, glyphs);

    // Everything but the pool's own storage, which is no allocation of the document.
    std::vector<const void*> before{pool};
    const KRMM::diag::BlockGroups groups = KRMM::diag::GroupNewBlocks(partition, before);
    std::FILE* folded = std::fopen(argv[1], "w");
    std::FILE* profile = std::fopen(argv[2], "wb");
    const bool ok = folded != nullptr && profile != nullptr && KRMM::diag::WriteFoldedStacks(folded, groups) &&
                    KRMM::diag::WritePprofProfile(profile, groups);
    if (folded != nullptr) std::fclose(folded);
    if (profile != nullptr) std::fclose(profile);
    KRMM::diag::WriteLeakReport(stdout, groups);
    return ok ? 0 : 1;
}
