// DisplayAlert: the application's handler, the terminal prompt (answered
// through a pseudo-terminal), the no-user fallback, and the window under Xvfb.
// Every built-in path runs in a child process, so no test can block on the
// real terminal or display of whoever runs the suite.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <KRMM/Alert.h>
#include <KRMM/KRMM.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(15);
constexpr int kChoseOk = 10;
constexpr int kChoseStop = 20;

const char kMessage[] = "Deallocate invalid block magic number";
const char kInformative[] = "100% of %s and %n are shown as written";

// Runs DisplayAlert with the built-in chain in the child; exits kChoseOk or kChoseStop.
[[noreturn]] void AlertInChild(const char* display) {
    if (display != nullptr) setenv("DISPLAY", display, 1);
    else unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    KRMM::SetAlertHandler(nullptr);
    _exit(DisplayAlert(kMessage, kInformative) ? kChoseOk : kChoseStop);
}

// Waits for `pid` until the deadline; kills it when it is late. \returns its
// exit code, or -1 when it was killed or died of a signal.
int Reap(pid_t pid, Clock::time_point deadline) {
    int status = 0;
    pid_t reaped;
    while ((reaped = waitpid(pid, &status, WNOHANG)) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return reaped == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Whether `pid` has not exited yet; it is left to Reap either way.
bool Running(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

struct PtyResult {
    int exitCode;
    std::string screen;
};

// Answers each prompt (text ending in "): ") with the next of `answers`.
PtyResult AskThroughPty(const std::vector<std::string>& answers, const char* display = nullptr) {
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) AlertInChild(display);
    PtyResult result{-1, {}};
    if (pid < 0) return result;
    const auto deadline = Clock::now() + kPatience;
    size_t sent = 0;
    for (;;) {
        pollfd pfd{master, POLLIN, 0};
        if (poll(&pfd, 1, 100) > 0) {
            char buf[512];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) break;  // the child closed the terminal
            result.screen.append(buf, static_cast<size_t>(n));
        }
        size_t prompts = 0;
        for (size_t at = 0; (at = result.screen.find("): ", at)) != std::string::npos; at += 3) ++prompts;
        if (prompts > sent && sent < answers.size()) {
            const std::string line = answers[sent++] + "\n";
            if (write(master, line.data(), line.size()) < 0) break;
        }
        if (Clock::now() > deadline) break;
    }
    result.exitCode = Reap(pid, deadline);
    close(master);
    return result;
}

bool Answered(const char* message, const char* informative) {
    return std::string(message) == "ask" && std::string(informative) == "100% %d";
}

} // namespace

TEST(AlertHandler, InstalledHandlerAnswersWithTheTextsAsGiven) {
    EXPECT_EQ(KRMM::SetAlertHandler(&Answered), nullptr);
    EXPECT_TRUE(DisplayAlert("ask", "100% %d"));
    EXPECT_FALSE(DisplayAlert("ask", "other"));
    EXPECT_EQ(KRMM::SetAlertHandler(nullptr), &Answered);
}

TEST(AlertTerminal, PromptNamesBothButtonsAndReadsTheAnswer) {
    const PtyResult ok = AskThroughPty({""});
    EXPECT_EQ(ok.exitCode, kChoseOk) << ok.screen;
    EXPECT_NE(ok.screen.find(kMessage), std::string::npos) << ok.screen;
    EXPECT_NE(ok.screen.find(kInformative), std::string::npos) << ok.screen;
    EXPECT_NE(ok.screen.find("1) OK"), std::string::npos) << ok.screen;
    EXPECT_NE(ok.screen.find("2) Stop showing memory asserts"), std::string::npos) << ok.screen;

    EXPECT_EQ(AskThroughPty({"2"}).exitCode, kChoseStop);
    EXPECT_EQ(AskThroughPty({" OK "}).exitCode, kChoseOk);
    const PtyResult retried = AskThroughPty({"maybe", "Stop"});
    EXPECT_EQ(retried.exitCode, kChoseStop) << retried.screen;
    EXPECT_NE(retried.screen.find("Please answer 1 (OK) or 2"), std::string::npos) << retried.screen;
#if defined(KRMM_TEST_HAVE_SDL2)
    // A display that cannot be opened leaves the terminal to ask.
    EXPECT_EQ(AskThroughPty({"s"}, ":4093").exitCode, kChoseStop);
#endif
}

TEST(AlertTerminal, WithNobodyToAskWritesStandardErrorAndSaysOk) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setsid();  // no controlling terminal
        dup2(pipeFds[1], STDERR_FILENO);
        AlertInChild(nullptr);
    }
    close(pipeFds[1]);
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(pipeFds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(pipeFds[0]);
    EXPECT_EQ(Reap(pid, Clock::now() + kPatience), kChoseOk);
    EXPECT_EQ(text, std::string("KRMM alert: ") + kMessage + "\n" + kInformative + "\n");
}

namespace {

bool OnPath(const std::string& tool) {
    std::istringstream path(getenv("PATH") != nullptr ? getenv("PATH") : "");
    std::string dir;
    while (std::getline(path, dir, ':'))
        if (!dir.empty() && access((dir + "/" + tool).c_str(), X_OK) == 0) return true;
    return false;
}

// Runs an X tool against `display`. \returns its exit code (-1 when it failed
// to run or was late) and its standard output in `out`.
int RunTool(const std::vector<std::string>& args, const std::string& display, std::string* out = nullptr) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("DISPLAY", display.c_str(), 1);
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    if (out != nullptr) *out = text;
    return pid < 0 ? -1 : Reap(pid, Clock::now() + kPatience);
}

// A private X server on a free display number, stopped with the object.
class VirtualDisplay {
public:
    VirtualDisplay() {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "800x600x24", "-nolisten", "tcp",
                   "-noreset",  // the X tools come and go; a reset would refuse clients meanwhile
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        // The number and its newline come in two writes; closing the pipe
        // before the second would make Xvfb give up.
        std::string number;
        pollfd pfd{fds[0], POLLIN, 0};
        char c;
        while (pid_ > 0 && number.find('\n') == std::string::npos && poll(&pfd, 1, 10000) > 0 &&
               read(fds[0], &c, 1) == 1)
            number += c;
        if (number.find('\n') != std::string::npos) name_ = ":" + std::to_string(std::atoi(number.c_str()));
        close(fds[0]);
    }
    ~VirtualDisplay() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& name() const { return name_; }

private:
    pid_t pid_ = -1;
    std::string name_;
};

// Shows the alert on `display`, waits for its window (titled with the
// message), presses `key` in it. \returns the child's exit code; sets
// `windowSeen` when the window was found.
int AnswerWindow(const std::string& display, const char* key, bool* windowSeen) {
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();  // no terminal to fall back to
        AlertInChild(display.c_str());
    }
    const auto deadline = Clock::now() + kPatience;
    std::string window;
    while (window.empty() && Clock::now() < deadline && Running(pid)) {
        std::string ids;
        RunTool({"xdotool", "search", "--onlyvisible", "--maxdepth", "1", "--classname", ""}, display, &ids);
        std::istringstream list(ids);
        for (std::string id; list >> id;) {
            std::string name;
            if (RunTool({"xdotool", "getwindowname", id}, display, &name) == 0 && name == std::string(kMessage) + "\n")
                window = id;
        }
        if (window.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    *windowSeen = !window.empty();
    if (*windowSeen) RunTool({"xdotool", "windowfocus", "--sync", window, "key", key}, display);
    return Reap(pid, deadline);
}

} // namespace

TEST(AlertWindow, ReturnChoosesOkAndEscapeTheOtherButton) {
#if !defined(KRMM_TEST_HAVE_SDL2)
    GTEST_SKIP() << "the library was built without SDL2";
#endif
    if (!OnPath("Xvfb") || !OnPath("xdotool")) GTEST_SKIP() << "Xvfb or xdotool is not installed";
    VirtualDisplay display;
    ASSERT_FALSE(display.name().empty()) << "Xvfb did not start";
    bool seen = false;
    EXPECT_EQ(AnswerWindow(display.name(), "Return", &seen), kChoseOk);
    EXPECT_TRUE(seen) << "no alert window appeared (X fonts such as xfonts-base missing?)";
    EXPECT_EQ(AnswerWindow(display.name(), "Escape", &seen), kChoseStop);
    EXPECT_TRUE(seen);
}
