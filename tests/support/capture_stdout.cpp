// capture_stdout.cpp - standard output redirected to a temporary file and read back.
#include "capture_stdout.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace krmm_test {

std::string CaptureStdout(const std::function<void()>& fn) {
    std::fflush(stdout);
    std::FILE* sink = std::tmpfile();
    if (sink == nullptr) throw std::runtime_error("tmpfile failed");
    const int saved = dup(STDOUT_FILENO);
    dup2(fileno(sink), STDOUT_FILENO);
    try {
        fn();
    } catch (...) {
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        std::fclose(sink);
        throw;
    }
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);

    std::string text;
    std::rewind(sink);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, sink)) > 0) text.append(buf, n);
    std::fclose(sink);
    return text;
}

} // namespace krmm_test
