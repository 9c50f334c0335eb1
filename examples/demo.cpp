// demo.cpp - a first look at KRMM: a handle whose data grows and moves while
// the handle itself stays the same.
#include <cstdio>
#include <cstring>

#include <KRMM/KRMM.h>

int main() {
    KRMM::Partition partition;
    auto handle = reinterpret_cast<KRMM::Handle>(partition.GetHandle(partition.Allocate(0)));
    const char* words[] = {"Handles ", "stay ", "valid ", "while ", "their ", "data ", "moves."};
    size_t size = 0;
    for (const char* word : words) {
        const size_t n = std::strlen(word);
        partition.Resize(handle, size + n, {});
        std::memcpy(*handle + size, word, n);
        size += n;
        std::printf("handle %p  data %p  size %3zu\n", static_cast<void*>(handle),
                    static_cast<void*>(*handle), size);
    }
    std::printf("%.*s\n", static_cast<int>(size), *handle);
    partition.Deallocate(*handle);
    std::printf("blocks %lld  bytes %lld  calls %d\n", static_cast<long long>(partition.numBlocks),
                static_cast<long long>(partition.bytesAllocated), partition.numCalls);
    return 0;
}
