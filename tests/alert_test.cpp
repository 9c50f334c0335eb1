// DisplayAlert: the application's handler, the terminal prompt (answered
// through a pseudo-terminal) and the no-user fallback. Every built-in path
// runs in a child process, so no test can block on the real terminal or
// display of whoever runs the suite.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <KRMM/Alert.h>

#include "krmm_test.h"

namespace {

const char kMessage[] = "Deallocate invalid block magic number";
const char kInformative[] = "100% of %s and %n are shown as written";

// Runs the built-in alert in a child without a display, standard error to
// `errFd` when given, its terminal (if any) fed `answers`; returns the
// child's exit code (10: OK, 20: Stop) and what it showed on the terminal.
std::pair<int, std::string> AlertInChild(bool pty, const std::string& answers = "", int errFd = -1) {
    int master = -1;
    const pid_t pid = pty ? forkpty(&master, nullptr, nullptr, nullptr) : fork();
    if (pid == 0) {
        setsid();
        if (errFd >= 0) dup2(errFd, STDERR_FILENO);
        unsetenv("DISPLAY"), unsetenv("WAYLAND_DISPLAY");
        KRMM::SetAlertHandler(nullptr);
        _exit(DisplayAlert(kMessage, kInformative) ? 10 : 20);
    }
    std::string screen;
    char buf[512];
    if (pty && write(master, answers.data(), answers.size()) >= 0) {
        for (pollfd pfd{master, POLLIN, 0}; poll(&pfd, 1, 15000) > 0;) {
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) break;
            screen.append(buf, static_cast<size_t>(n));
        }
        close(master);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, screen};
}

TEST(Alert, InstalledHandlerAnswersWithTheTextsAsGiven) {
    const auto handler = [](const char* message, const char* informative) {
        return std::string(message) == "ask" && std::string(informative) == "100% %d";
    };
    EXPECT_EQ(KRMM::SetAlertHandler(handler), nullptr);
    EXPECT_TRUE(DisplayAlert("ask", "100% %d"));
    EXPECT_FALSE(DisplayAlert("ask", "other"));
    EXPECT_NE(KRMM::SetAlertHandler(nullptr), nullptr);
}

TEST(Alert, TerminalPromptNamesBothButtonsAndReadsTheAnswer) {
    const auto [code, screen] = AlertInChild(true, "\n");
    EXPECT_EQ(code, 10) << screen;
    for (const char* shown : {kMessage, kInformative, "1) OK", "2) Stop showing memory asserts"})
        EXPECT_NE(screen.find(shown), std::string::npos) << shown << " in " << screen;
    const auto [retried, again] = AlertInChild(true, "maybe\n Stop \n");
    EXPECT_EQ(retried, 20);
    EXPECT_NE(again.find("Please answer 1 (OK) or 2"), std::string::npos) << again;
    EXPECT_EQ(AlertInChild(true, "1\n").first, 10);
}

TEST(Alert, WithNobodyToAskWritesStandardErrorAndSaysOk) {
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(AlertInChild(false, "", fileno(err)).first, 10);
    char text[512] = {};
    std::rewind(err);
    EXPECT_EQ(std::string(text, std::fread(text, 1, sizeof text, err)),
              std::string("KRMM alert: ") + kMessage + "\n" + kInformative + "\n");
    std::fclose(err);
}

} // namespace
