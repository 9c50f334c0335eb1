// alert.cpp (Linux) - asks the user "OK" or "Stop showing memory asserts".
//
// The first way that works is used:
//   1. a modal SDL2 message box, when DISPLAY or WAYLAND_DISPLAY is set and the
//      library was built with SDL2 (Return: "OK", Escape: the other button);
//   2. a prompt on the controlling terminal, when the process has one and is
//      in its foreground (a background job reading it would be stopped);
//   3. both texts on standard error, answered "OK" since nobody can choose.
// The texts are passed and written as they are, never used as formats.
//
// Thread safety: one alert at a time; a second caller waits on a mutex of its
// own (never KRMM_CriticalSection) until the first is answered.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "platform/prim.h"

#if defined(KRMM_HAVE_SDL2)
#include <SDL.h>
#endif

namespace KRMM::prim {
namespace {

constexpr const char* kOkTitle = "OK";
constexpr const char* kStopTitle = "Stop showing memory asserts";

enum class Answer { kOk, kStop, kNobody };

std::mutex g_alertMutex;

#if defined(KRMM_HAVE_SDL2)
bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
}

// kNobody when no window can be shown (no display, no usable backend).
Answer AskInWindow(const char* message, const char* informative) {
    if (!IsSet("DISPLAY") && !IsSet("WAYLAND_DISPLAY")) return Answer::kNobody;
    constexpr int kOkId = 1;
    constexpr int kStopId = 0;
    const SDL_MessageBoxButtonData buttons[] = {
        {SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT, kOkId, kOkTitle},
        {SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT, kStopId, kStopTitle},
    };
    // The window manager shows the message as the title; the body carries
    // both texts, since without a window manager no title is drawn.
    std::string body;
    try {
        body.append(message).append("\n\n").append(informative);
    } catch (const std::bad_alloc&) {
        body.clear();
    }
    const SDL_MessageBoxData box = {
        SDL_MESSAGEBOX_WARNING | SDL_MESSAGEBOX_BUTTONS_LEFT_TO_RIGHT,
        nullptr,
        message,
        body.empty() ? informative : body.c_str(),
        static_cast<int>(sizeof buttons / sizeof buttons[0]),
        buttons,
        nullptr,
    };
    int chosen = -1;
    if (SDL_ShowMessageBox(&box, &chosen) != 0) return Answer::kNobody;
    // Closing the window without a choice keeps the asserts coming.
    return chosen == kStopId ? Answer::kStop : Answer::kOk;
}
#endif

bool WriteAll(int fd, const char* text) {
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = ::write(fd, text, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

// Reads one answer line (up to Return or end of input). \returns false at end
// of input or on an error. Characters beyond the buffer are dropped.
bool ReadLine(int fd, char* buf, size_t size) {
    size_t used = 0;
    for (;;) {
        char c;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            buf[used] = '\0';
            return false;
        }
        if (c == '\n' || c == '\r') break;
        if (used + 1 < size) buf[used++] = c;
    }
    buf[used] = '\0';
    return true;
}

// "OK" for an empty line, 1, o or ok; "Stop..." for 2, s or stop (any case,
// surrounding blanks ignored). kNobody for anything else.
Answer ParseAnswer(const char* line) {
    while (*line == ' ' || *line == '\t') ++line;
    size_t n = std::strlen(line);
    while (n > 0 && (line[n - 1] == ' ' || line[n - 1] == '\t')) --n;
    const std::string_view word(line, n);
    auto is = [&](std::string_view want) {
        if (word.size() != want.size()) return false;
        for (size_t i = 0; i < word.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(word[i])) != want[i]) return false;
        return true;
    };
    if (word.empty() || is("1") || is("o") || is("ok")) return Answer::kOk;
    if (is("2") || is("s") || is("stop")) return Answer::kStop;
    return Answer::kNobody;
}

// kNobody when there is no controlling terminal or the process is not in its
// foreground. At the end of input the answer is "OK".
Answer AskOnTerminal(const char* message, const char* informative) {
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return Answer::kNobody;
    if (::tcgetpgrp(fd) != ::getpgrp()) {
        ::close(fd);
        return Answer::kNobody;
    }
    Answer answer = Answer::kOk;
    const bool shown = WriteAll(fd, "\nKRMM alert: ") && WriteAll(fd, message) && WriteAll(fd, "\n") &&
                       WriteAll(fd, informative) && WriteAll(fd, "\n  1) ") && WriteAll(fd, kOkTitle) &&
                       WriteAll(fd, "\n  2) ") && WriteAll(fd, kStopTitle) &&
                       WriteAll(fd, "\nChoose 1 or 2 (Return for OK): ");
    if (!shown) {
        answer = Answer::kNobody;
    } else {
        char line[64];
        while (ReadLine(fd, line, sizeof line)) {
            const Answer parsed = ParseAnswer(line);
            if (parsed != Answer::kNobody) {
                answer = parsed;
                break;
            }
            if (!WriteAll(fd, "Please answer 1 (OK) or 2 (Stop showing memory asserts): ")) break;
        }
    }
    ::close(fd);
    return answer;
}

void WriteToStandardError(const char* message, const char* informative) {
    std::fputs("KRMM alert: ", stderr);
    std::fputs(message, stderr);
    std::fputc('\n', stderr);
    std::fputs(informative, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

} // namespace

bool ShowModalAlert(const char* message, const char* informative) {
    std::lock_guard<std::mutex> serialise(g_alertMutex);
    Answer answer = Answer::kNobody;
#if defined(KRMM_HAVE_SDL2)
    answer = AskInWindow(message, informative);
#endif
    if (answer == Answer::kNobody) answer = AskOnTerminal(message, informative);
    if (answer == Answer::kNobody) {
        WriteToStandardError(message, informative);
        return true;
    }
    return answer == Answer::kOk;
}

} // namespace KRMM::prim
