// The output capture the tests compare messages with.
#include "output_capture.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using tolva::test::capture_stderr;
using tolva::test::capture_stdout;
using tolva::test::captured_stderr;
using tolva::test::captured_stdout;
using tolva::test::OutputCapture;

namespace {

TEST(OutputCapture, TakesEveryWayOfWritingInOrderAndKeepsTheStreamsApart)
{
    OutputCapture out(stdout);
    OutputCapture err(stderr);
    std::printf("printf ");
    std::cout << "cout ";
    std::fputs("fputs-err ", stderr);
    std::cout.flush();
    ASSERT_EQ(write(STDOUT_FILENO, "write ", 6), 6);
    std::cerr << "cerr";
    std::printf("unflushed");
    EXPECT_EQ(err.text(), "fputs-err cerr");
    EXPECT_EQ(out.text(), "printf cout write unflushed");
    EXPECT_EQ(out.text(), ""); // ended: nothing more
}

TEST(OutputCapture, NestsAndLeavesTextWrittenBeforeItOutside)
{
    OutputCapture outer(stdout);
    std::printf("before ");
    {
        OutputCapture inner(stdout);
        std::printf("inner");
        EXPECT_EQ(inner.text(), "inner");
    }
    {
        OutputCapture dropped(stdout); // ends without text(): writes where it did before
        std::printf("dropped");
    }
    std::printf("after");
    EXPECT_EQ(outer.text(), "before after");
}

TEST(OutputCapture, TakesOtherThreadsAndChildProcesses)
{
    OutputCapture err(stderr);
    std::thread([] { std::fputs("thread ", stderr); }).join();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::fputs("child", stderr);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(err.text(), "thread child");
}

TEST(OutputCapture, LongTextIsKeptWhole)
{
    std::string line(999, 'x');
    line += '\n';
    OutputCapture out(stdout);
    for (int i = 0; i < 200; ++i) // far more than a pipe or a stdio buffer holds
        std::fputs(line.c_str(), stdout);
    std::string text = out.text();
    EXPECT_EQ(text.size(), 200u * line.size());
    EXPECT_EQ(text.substr(text.size() - line.size()), line);
}

TEST(OutputCapture, ThePairSpansStatements)
{
    capture_stdout();
    capture_stderr();
    std::printf("out");
    std::fputs("err", stderr);
    EXPECT_EQ(captured_stderr(), "err");
    EXPECT_EQ(captured_stdout(), "out");
    capture_stdout(); // once ended, it starts again
    EXPECT_EQ(captured_stdout(), "");
}

TEST(OutputCaptureDeathTest, ThePairRefusesToStartTwiceOrEndUnstarted)
{
    EXPECT_DEATH(
        {
            capture_stderr();
            capture_stderr();
        },
        "stderr is captured already");
    EXPECT_DEATH(captured_stdout(), "stdout is not captured");
}

} // namespace
