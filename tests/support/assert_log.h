// assert_log.h - records the reports passed to Partition::KRMM_Assert.
//
// Stores the message pointers (string literals) in a fixed array, so that
// recording never allocates, not even while a HeapRefusal is active.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include <KRMM/Diagnostics.h>

namespace krmm_test {

class AssertLog {
public:
    AssertLog() {
        count_ = 0;
        previous_ = KRMM::diag::SetAssertObserver(&Record);
    }
    ~AssertLog() { KRMM::diag::SetAssertObserver(previous_); }
    AssertLog(const AssertLog&) = delete;
    AssertLog& operator=(const AssertLog&) = delete;

    /// Messages of the reports whose condition was false, in order.
    std::vector<std::string> Failures() const {
        std::vector<std::string> out;
        for (size_t i = 0; i < count_ && i < kMax; ++i)
            if (!conditions_[i]) out.emplace_back(messages_[i]);
        return out;
    }
    /// Number of reports seen, true conditions included.
    size_t Reports() const { return count_; }

private:
    static constexpr size_t kMax = 256;
    static void Record(bool condition, const char* message) {
        if (count_ < kMax) {
            conditions_[count_] = condition;
            messages_[count_] = message;
        }
        ++count_;
    }
    static inline thread_local size_t count_ = 0;
    static inline thread_local bool conditions_[kMax];
    static inline thread_local const char* messages_[kMax];
    KRMM::diag::AssertObserver previous_;
};

} // namespace krmm_test
