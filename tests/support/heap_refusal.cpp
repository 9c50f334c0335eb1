// heap_refusal.cpp - the replaced global operator new/delete of the test binaries.
#include "heap_refusal.h"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace krmm_test {
namespace {

constexpr size_t kMaxRecorded = 4096;

struct ThreadPlan {
    bool armed;
    HeapPlan plan;
    size_t requests;
    size_t refusals;
    long live;
    size_t recorded;
    size_t sizes[kMaxRecorded];
};

thread_local ThreadPlan t_plan;

void* Allocate(size_t size) {
    ThreadPlan& tp = t_plan;
    if (tp.armed) {
        ++tp.requests;
        if (tp.recorded < kMaxRecorded) tp.sizes[tp.recorded++] = size;
        const bool nth = tp.plan.failNth != 0 &&
                         (tp.requests == tp.plan.failNth ||
                          (tp.plan.failAllAfterNth && tp.requests > tp.plan.failNth));
        if (nth || size >= tp.plan.failAtLeast) {
            ++tp.refusals;
            throw std::bad_alloc();
        }
    }
    // No heap grants more than PTRDIFF_MAX bytes; refusing here spares malloc
    // (and valgrind, which reports such sizes) the question.
    if (size > static_cast<size_t>(PTRDIFF_MAX)) throw std::bad_alloc();
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    if (tp.armed) ++tp.live;
    return p;
}

void Release(void* p) noexcept {
    if (p == nullptr) return;
    if (t_plan.armed) --t_plan.live;
    std::free(p);
}

} // namespace

HeapRefusal::HeapRefusal(HeapPlan plan) {
    t_plan.plan = plan;
    t_plan.requests = 0;
    t_plan.refusals = 0;
    t_plan.live = 0;
    t_plan.recorded = 0;
    t_plan.armed = true;
}

HeapRefusal::~HeapRefusal() {
    t_plan.armed = false;
}

size_t HeapRefusal::Requests() const { return t_plan.requests; }
size_t HeapRefusal::Refusals() const { return t_plan.refusals; }
long HeapRefusal::LiveDelta() const { return t_plan.live; }

std::vector<size_t> HeapRefusal::Sizes() const {
    const bool armed = t_plan.armed;
    t_plan.armed = false;  // the copy below must not record itself
    std::vector<size_t> out(t_plan.sizes, t_plan.sizes + t_plan.recorded);
    t_plan.armed = armed;
    return out;
}

} // namespace krmm_test

void* operator new(size_t size) { return krmm_test::Allocate(size); }
void* operator new[](size_t size) { return krmm_test::Allocate(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return krmm_test::Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    try {
        return krmm_test::Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept { krmm_test::Release(p); }
void operator delete[](void* p) noexcept { krmm_test::Release(p); }
void operator delete(void* p, size_t) noexcept { krmm_test::Release(p); }
void operator delete[](void* p, size_t) noexcept { krmm_test::Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { krmm_test::Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { krmm_test::Release(p); }
