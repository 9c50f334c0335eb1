// DisplayAlert: the application's handler, the terminal prompt (answered
// through a pseudo-terminal), the no-user fallback, and the window under Xvfb.
// Every built-in path runs in a child process, so no test can block on the
// real terminal or display of whoever runs the suite.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include <KRMM/Alert.h>
#include <KRMM/KRMM.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kChoseOk = 10, kChoseStop = 20;
const char kMessage[] = "Deallocate invalid block magic number";
const char kInformative[] = "100% of %s and %n are shown as written";

// In a child: asks through the built-in chain, without a controlling terminal
// unless forkpty gave it one, standard error to `errFd` when given; exits
// kChoseOk or kChoseStop.
[[noreturn]] void AlertInChild(const char* display, int errFd = -1) {
    setsid();
    if (errFd >= 0) dup2(errFd, STDERR_FILENO);
    display != nullptr ? setenv("DISPLAY", display, 1) : unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    KRMM::SetAlertHandler(nullptr);
    _exit(DisplayAlert(kMessage, kInformative) ? kChoseOk : kChoseStop);
}

// \returns the exit code of `pid`; -1 when it died of a signal or was killed
// for taking longer than 15 seconds.
int Reap(pid_t pid) {
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs the alert on a pseudo-terminal whose input already holds `answers`.
// \returns the child's exit code and everything it showed on the terminal.
std::pair<int, std::string> AskThroughPty(const std::string& answers, const char* display = nullptr) {
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) AlertInChild(display);
    std::string screen;
    char buf[512];
    ssize_t n = pid > 0 ? write(master, answers.data(), answers.size()) : -1;
    for (const auto deadline = Clock::now() + std::chrono::seconds(15); n >= 0 && Clock::now() < deadline;) {
        pollfd pfd{master, POLLIN, 0};
        if (poll(&pfd, 1, 100) > 0 && (n = read(master, buf, sizeof buf)) > 0) screen.append(buf, n);
    }
    close(master);
    return {pid > 0 ? Reap(pid) : -1, screen};
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
    const auto [code, screen] = AskThroughPty("\n");
    EXPECT_EQ(code, kChoseOk) << screen;
    for (const char* shown : {kMessage, kInformative, "1) OK", "2) Stop showing memory asserts"})
        EXPECT_NE(screen.find(shown), std::string::npos) << shown << " in " << screen;
    EXPECT_EQ(AskThroughPty("2\n").first, kChoseStop);
    EXPECT_EQ(AskThroughPty(" OK \n").first, kChoseOk);
    const auto [retried, again] = AskThroughPty("maybe\nStop\n");
    EXPECT_EQ(retried, kChoseStop);
    EXPECT_NE(again.find("Please answer 1 (OK) or 2"), std::string::npos) << again;
#if defined(KRMM_TEST_HAVE_SDL2)
    EXPECT_EQ(AskThroughPty("s\n", ":4093").first, kChoseStop) << "a display that cannot be opened";
#endif
}

TEST(AlertTerminal, WithNobodyToAskWritesStandardErrorAndSaysOk) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    if (pid == 0) AlertInChild(nullptr, fds[1]);
    close(fds[1]);
    std::string text;
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    EXPECT_EQ(Reap(pid), kChoseOk);
    EXPECT_EQ(text, std::string("KRMM alert: ") + kMessage + "\n" + kInformative + "\n");
}

// Shows the alert on a private Xvfb display, finds its window (titled with the
// message) and presses Return, then Escape, in it.
TEST(AlertWindow, ReturnChoosesOkAndEscapeTheOtherButton) {
#if !defined(KRMM_TEST_HAVE_SDL2)
    GTEST_SKIP() << "the library was built without SDL2";
#endif
    if (std::system("{ command -v Xvfb && command -v xdotool; } >/dev/null") != 0) GTEST_SKIP() << "no Xvfb or xdotool";
    // The shell's pid is Xvfb's after the exec; -noreset, as the X tools come and go.
    FILE* server = popen("echo $$; exec Xvfb -displayfd 1 -nolisten tcp -noreset 2>/dev/null", "r");
    int serverPid = 0, number = -1;
    ASSERT_TRUE(server != nullptr && fscanf(server, "%d %d", &serverPid, &number) == 2) << "Xvfb did not start";
    const std::string display = ":" + std::to_string(number);
    for (const auto& [key, chosen] : {std::pair{"Return", kChoseOk}, std::pair{"Escape", kChoseStop}}) {
        const pid_t pid = fork();
        if (pid == 0) AlertInChild(display.c_str());
        // Its WM_NAME is UTF-8, which xdotool search --name misses: names are compared one window at a time.
        const std::string press = "export DISPLAY=" + display + "; for try in $(seq 150); do for id in $(xdotool "
            "search --onlyvisible --maxdepth 1 --classname ''); do [ \"$(xdotool getwindowname $id)\" = '" + kMessage +
            "' ] && exec xdotool windowfocus --sync $id key " + key + "; done; sleep 0.1; done; exit 1";
        EXPECT_EQ(std::system(press.c_str()), 0) << "no alert window appeared (X fonts such as xfonts-base missing?)";
        EXPECT_EQ(Reap(pid), chosen) << key;
    }
    kill(serverPid, SIGTERM);
    pclose(server);
}
