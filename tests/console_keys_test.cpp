// Tests of the keys typed on a terminal without a window: lines typed on a pseudo-terminal read
// in the foreground and in the background, and standard input that is no terminal.
#include "console_keys.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <ostream>
#include <vector>

namespace {

enum class Input { kForeground, kBackground, kPipe };

// What is typed before a call of ConsoleKey, and the key that call gives.
struct Step {
    const char *typed;
    int key;
};

struct KeysCase {
    const char *name;
    Input input;
    std::vector<Step> steps;
};

void PrintTo(const KeysCase &c, std::ostream *out) { *out << c.name; }

// The answer of a reader that the terminal stopped (SIGTTIN) instead of answering.
constexpr int kStopped = -2;

void send_answer(int answers, int key)
{
    if (write(answers, &key, sizeof key) != static_cast<ssize_t>(sizeof key))
        _exit(1);
}

// The reader: each step waits until standard input has something to read, when something was
// typed or a key is expected, then asks for the key.
[[noreturn]] void answer_steps(const KeysCase &c, int answers)
{
    for (const Step &step : c.steps) {
        pollfd in = {STDIN_FILENO, POLLIN, 0};
        if (*step.typed || step.key >= 0)
            poll(&in, 1, -1);
        send_answer(answers, ConsoleKey());
    }
    _exit(0);
}

// The reader in a process group of its own, which the terminal's session leaves in the
// background; a reader the terminal stops answers kStopped.
[[noreturn]] void answer_from_the_background(const KeysCase &c, int answers)
{
    pid_t reader = fork();
    if (reader == 0) {
        setpgid(0, 0);
        std::signal(SIGTTIN, SIG_DFL);
        answer_steps(c, answers);
    }
    int status = 0;
    waitpid(reader, &status, WUNTRACED);
    if (WIFSTOPPED(status)) {
        send_answer(answers, kStopped);
        kill(reader, SIGKILL);
        waitpid(reader, &status, 0);
    }
    _exit(0);
}

class ConsoleKeyTest : public testing::TestWithParam<KeysCase> {};

// The reader runs on a terminal of its own, whose session it leads; the test types each step's
// text once the step before has been answered.
TEST_P(ConsoleKeyTest, GivesTheFirstLetterOfEachLineInTheForegroundOnly)
{
    const KeysCase &c = GetParam();
    int answers[2], piped[2];
    ASSERT_EQ(pipe(answers), 0);
    ASSERT_EQ(pipe(piped), 0);
    int terminal = -1;
    pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0) << std::strerror(errno);
    if (pid == 0) {
        if (c.input == Input::kPipe)
            dup2(piped[0], STDIN_FILENO);
        if (c.input == Input::kBackground)
            answer_from_the_background(c, answers[1]);
        answer_steps(c, answers[1]);
    }
    close(answers[1]);
    const int typing = c.input == Input::kPipe ? piped[1] : terminal;
    for (const Step &step : c.steps) {
        const auto length = static_cast<ssize_t>(std::strlen(step.typed));
        ASSERT_EQ(write(typing, step.typed, static_cast<std::size_t>(length)), length);
        int key = 0;
        ASSERT_EQ(read(answers[0], &key, sizeof key), static_cast<ssize_t>(sizeof key));
        EXPECT_EQ(key, step.key) << "after typing \"" << step.typed << "\"";
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0);
    for (int fd : {answers[0], piped[0], piped[1], terminal})
        close(fd);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ConsoleKeyTest,
    testing::Values(
        KeysCase{"LetterAndEnter", Input::kForeground, {{"s\n", 's'}, {"", -1}}},
        KeysCase{"BlanksBeforeTheLetter", Input::kForeground, {{"  e \n", 'e'}}},
        KeysCase{"EmptyLineIsNoKey", Input::kForeground, {{"\n", -1}, {"q\n", 'q'}}},
        KeysCase{"ALineACall", Input::kForeground, {{"d\ne\n", 'd'}, {"", 'e'}}},
        // Ctrl-D at the start of a line: the terminal was closed, and is not read again.
        KeysCase{"EndOfInputEndsTheKeys", Input::kForeground, {{"\x04", -1}, {"q\n", -1}}},
        KeysCase{"BackgroundIsNotStopped", Input::kBackground, {{"q\n", -1}}},
        KeysCase{"NoTerminalNoKeys", Input::kPipe, {{"q\n", -1}}}),
    [](const auto &info) { return info.param.name; });

} // namespace
