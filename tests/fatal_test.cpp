// Tests of the one way out of every unit's fatal path, and of the handler that takes its place.
#include "fatal.h"
#include "fatal_catcher.h"
#include "output_capture.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

using testing::ExitedWithCode;
using tolva::test::capture_stderr;
using tolva::test::captured_stderr;
using tolva::test::CatchFatal;
using tolva::test::exactly;
using tolva::test::FatalExit;

namespace {

TEST(Fatal, EndsTheProcessWithStatusOneAfterTheMessage)
{
    EXPECT_EXIT(fatal_error("%s is not digit\n", "x1"), ExitedWithCode(1),
                exactly("x1 is not digit\n"));
    EXPECT_EXIT(
        {
            errno = ENOMEM;
            fatal_out_of_memory();
        },
        ExitedWithCode(1), exactly("malloc error: " + std::string(std::strerror(ENOMEM)) + "\n"));
}

TEST(Fatal, AHandlerTakesTheExitsPlaceAndIsGivenBackAfterwards)
{
    FatalHandler before = set_fatal_handler(nullptr);
    {
        CatchFatal catching;
        capture_stderr();
        try {
            fatal_error("over table max(%d).\n", 128);
            ADD_FAILURE() << "fatal_error returned";
        } catch (const FatalExit &exit) {
            EXPECT_EQ(exit.status, 1);
        }
        EXPECT_EQ(captured_stderr(), "over table max(128).\n");
        EXPECT_EQ(set_fatal_handler(tolva::test::throw_fatal_exit), tolva::test::throw_fatal_exit);
    }
    EXPECT_EQ(set_fatal_handler(before), nullptr);
}

TEST(Fatal, AHandlerThatReturnsStillEndsTheProcess)
{
    EXPECT_EXIT(
        {
            set_fatal_handler([](int) {});
            fatal_error("gpio_set: ioctl error\n");
        },
        ExitedWithCode(1), exactly("gpio_set: ioctl error\n"));
}

} // namespace
