// A program outside the KRMM tree, built against the installed headers and
// library only: grows a handle until its data moves, checks the bytes kept,
// disposes of it and prints "OK".
#include <cstdio>
#include <cstring>

#include <KRMM/KRMM.h>

int main() {
    KRMM::Partition partition;
    KRMM::Handle h = partition.NewHandle(64);
    std::memset(*h, 'k', 64);
    const char* before = *h;
    const bool grown = partition.SetHandleSize(h, 3 * KRMM::kInlineDataLimit) && *h != before &&
                       std::memchr(*h, 'k' + 1, 64) == nullptr && (*h)[63] == 'k';
    partition.DisposeHandle(h);
    std::puts(grown && partition.numBlocks == 0 && partition.bytesAllocated == 0 ? "OK" : "FAILED");
    return 0;
}
