// callbacks.cpp - placeholder; filled in by its own change.
#include <KRMM/KRMM.h>
namespace KRMM {
void Partition::InvokeCallbacks(int event, size_t size) {
    for (int i = 0; i < 128; ++i)
        if (callbackRefCounts[i] > 0 && callbackProcs[i] != nullptr) callbackProcs[i](event, size, callbackUserData[i]);
}
} // namespace KRMM
