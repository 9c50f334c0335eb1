// heap_refusal.cpp - the replaced global operator new/delete of the test binaries.
#include "heap_refusal.h"

#include <cstdlib>
#include <new>

namespace krmm_test {
namespace {

constexpr size_t kMaxRecorded = 4096;

struct ThreadPlan {
    bool armed;
    HeapPlan plan;
    size_t requests, refusals, recorded;
    long live;
    size_t sizes[kMaxRecorded];
};
thread_local ThreadPlan t_plan;

void* Allocate(size_t size) {
    ThreadPlan& tp = t_plan;
    if (tp.armed) {
        ++tp.requests;
        if (tp.recorded < kMaxRecorded) tp.sizes[tp.recorded++] = size;
        if (tp.requests == tp.plan.failNth || size >= tp.plan.failAtLeast) {
            ++tp.refusals;
            throw std::bad_alloc();
        }
    }
    // No heap grants more than PTRDIFF_MAX bytes; refusing here spares malloc
    // (and valgrind, which reports such sizes) the question.
    if (size > static_cast<size_t>(PTRDIFF_MAX)) throw std::bad_alloc();
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    tp.live += tp.armed;
    return p;
}

void Release(void* p) noexcept {
    if (p == nullptr) return;
    t_plan.live -= t_plan.armed;
    std::free(p);
}

} // namespace

HeapRefusal::HeapRefusal(HeapPlan plan) { t_plan = {true, plan, 0, 0, 0, 0, {}}; }
HeapRefusal::~HeapRefusal() { t_plan.armed = false; }
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
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { krmm_test::Release(p); }
void operator delete[](void* p) noexcept { krmm_test::Release(p); }
void operator delete(void* p, size_t) noexcept { krmm_test::Release(p); }
void operator delete[](void* p, size_t) noexcept { krmm_test::Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { krmm_test::Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { krmm_test::Release(p); }
