// assert_log.h - counts the failed checks reported through the assert observer.
// Recording never allocates, so it works while a HeapRefusal refuses.
#pragma once

#include <cstddef>
#include <string_view>

#include <KRMM/Diagnostics.h>

namespace krmm_test {

class AssertLog {
public:
    AssertLog() : previous_(KRMM::diag::SetAssertObserver(&Record)) {
        failures_ = 0;
        lastFailure_ = "";
    }
    ~AssertLog() { KRMM::diag::SetAssertObserver(previous_); }
    AssertLog(const AssertLog&) = delete;
    AssertLog& operator=(const AssertLog&) = delete;
    size_t Failures() const { return failures_; }  ///< reports whose condition was false
    std::string_view LastFailure() const { return lastFailure_; }  ///< message of the latest one

private:
    static void Record(bool condition, const char* message) {
        if (condition) return;
        ++failures_;
        lastFailure_ = message != nullptr ? message : "";
    }
    static inline thread_local size_t failures_ = 0;
    static inline thread_local const char* lastFailure_ = "";
    KRMM::diag::AssertObserver previous_;
};

} // namespace krmm_test
