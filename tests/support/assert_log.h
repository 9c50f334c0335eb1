// assert_log.h - counts the failed checks reported through the assert observer.
// Recording never allocates, so it works while a HeapRefusal refuses.
#pragma once

#include <cstddef>

#include <KRMM/Diagnostics.h>

namespace krmm_test {

class AssertLog {
public:
    AssertLog() : previous_(KRMM::diag::SetAssertObserver(&Record)) { failures_ = 0; }
    ~AssertLog() { KRMM::diag::SetAssertObserver(previous_); }
    AssertLog(const AssertLog&) = delete;
    AssertLog& operator=(const AssertLog&) = delete;
    size_t Failures() const { return failures_; }  ///< reports whose condition was false

private:
    static void Record(bool condition, const char*) { failures_ += !condition; }
    static inline thread_local size_t failures_ = 0;
    KRMM::diag::AssertObserver previous_;
};

} // namespace krmm_test
