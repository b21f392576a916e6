// Tests of the event log: its lines as a crash would leave them, flushed as each is written.
#include "event_log.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

using tolva::test::read_file;
using tolva::test::ScratchDir;

namespace {

// 2040-02-29 12:34:56.000789 UTC: past 2038, where a 32-bit time_t would have run out.
constexpr time_t kLeapDay2040 = 2214131696;

TEST(EventLog, EachLineIsInTheFileAsSoonAsItIsWritten)
{
    ScratchDir dir;
    std::string base = dir.path() + "/64x48_400229_123456_000789";
    EXPECT_EQ(WriteEventLine(EventLine{}), -1) << "a line with no log open";
    ASSERT_EQ(OpenEventLog(base.c_str()), 0);
    EventLine line = {{kLeapDay2040, 789}, 12, 3, 1.04, 2.0, 100.34, 7.5, 9, 3000, 2};
    ASSERT_EQ(WriteEventLine(line), 0);
    // Read while the log is open, as a crash would leave the file.
    EXPECT_EQ(read_file(base + "_events.csv"),
              std::string(kEventLogHeader) +
                  "2040-02-29T12:34:56.000789Z,12,3,1.0,2.0,100.3,7.5,9,3000,2\n");
    CloseEventLog();
    EXPECT_EQ(WriteEventLine(line), -1) << "a line after the log closed";
}

} // namespace
