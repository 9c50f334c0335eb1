// capture_stdout.h - runs a function with standard output redirected to a string.
#pragma once

#include <functional>
#include <string>

namespace krmm_test {

/// \returns everything `fn` wrote to standard output (C stdio and fd 1 alike).
std::string CaptureStdout(const std::function<void()>& fn);

} // namespace krmm_test
