// A program outside the KRMM tree: allocates a handle, grows it until its
// data moves, checks every byte, disposes of it and prints "OK". Uses only
// the installed headers and library.
#include <cstdio>
#include <cstring>

#include <KRMM/KRMM.h>

namespace {

unsigned char PatternByte(size_t i) {
    return static_cast<unsigned char>((i * 31u + 7u) & 0xFFu);
}

bool HoldsPattern(const char* data, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
        if (static_cast<unsigned char>(data[i]) != PatternByte(i)) return false;
    return true;
}

int Fail(const char* what) {
    std::printf("FAILED: %s\n", what);
    return 1;
}

} // namespace

int main() {
    constexpr size_t kSmall = 64;
    constexpr size_t kLarge = 3 * KRMM::kInlineDataLimit;

    KRMM::Partition partition;
    KRMM::Handle h = partition.NewHandle(kSmall);
    if (h == nullptr || *h == nullptr) return Fail("NewHandle");
    for (size_t i = 0; i < kSmall; ++i) (*h)[i] = static_cast<char>(PatternByte(i));

    const char* before = *h;
    if (!partition.SetHandleSize(h, kLarge)) return Fail("SetHandleSize");
    if (*h == before) return Fail("data did not move out of the header");
    if (partition.GetHandleSize(h) != kLarge) return Fail("GetHandleSize");
    if (!HoldsPattern(*h, 0, kSmall)) return Fail("bytes lost when the data moved");
    for (size_t i = kSmall; i < kLarge; ++i) (*h)[i] = static_cast<char>(PatternByte(i));
    if (!HoldsPattern(*h, 0, kLarge)) return Fail("bytes of the grown block");

    partition.DisposeHandle(h);
    if (partition.numBlocks != 0 || partition.bytesAllocated != 0) return Fail("counters after DisposeHandle");

    std::puts("OK");
    return 0;
}
