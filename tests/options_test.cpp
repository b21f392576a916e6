// Tests of the long options: each value read into its field, each wrong value named with its
// option.
#include "options.h"
#include "output_capture.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

using tolva::test::capture_stderr;
using tolva::test::captured_stderr;

namespace {

struct OptionCase {
    std::vector<std::string> words;
    int result;
    std::string message;                             // standard error; empty for none
    std::function<double(const RunOptions &)> field; // what the words set
    double value;
};

class OptionsTest : public testing::TestWithParam<OptionCase> {};

TEST_P(OptionsTest, ReadsTheValueOrNamesTheOptionAndTheValue)
{
    const OptionCase &c = GetParam();
    std::vector<std::string> words{"./tolvacapture", "s.txt"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    std::vector<char *> av;
    for (auto &w : words)
        av.push_back(w.data());
    RunOptions o;
    capture_stderr();
    EXPECT_EQ(read_options(static_cast<int>(av.size()), av.data(), 2, o), c.result);
    EXPECT_EQ(captured_stderr(), c.message);
    if (c.field) {
        EXPECT_DOUBLE_EQ(c.field(o), c.value);
    }
}

double keep_free(const RunOptions &o) { return static_cast<double>(keep_free_bytes(o)); }

// Words with a wrong value, and the message that names it.
OptionCase refused(std::vector<std::string> words, std::string message)
{
    return OptionCase{std::move(words), kBadValue, std::move(message), {}, 0};
}

const char kDurationHint[] =
    ": not a duration; give seconds, minutes or hours, as 90s, 45m or 8h\n";

INSTANTIATE_TEST_SUITE_P(
    Values, OptionsTest,
    testing::Values(
        OptionCase{{"--stop-after", "90s"}, 0, "", [](auto &o) { return o.stop_after_s; }, 90},
        OptionCase{{"--stop-after", "45m"}, 0, "", [](auto &o) { return o.stop_after_s; }, 2700},
        OptionCase{{"--stop-after", "1.5h"}, 0, "", [](auto &o) { return o.stop_after_s; }, 5400},
        OptionCase{{"--stop-at", "05:30"}, 0, "", [](auto &o) { return o.stop_at_minute; }, 330},
        OptionCase{{"--night", "-33.9,151.2"}, 0, "", [](auto &o) { return o.longitude; }, 151.2},
        OptionCase{{"--sun-below", "-18"}, 0, "", [](auto &o) { return o.sun_below; }, -18},
        OptionCase{{"--detect", "--record"}, 0, "", [](auto &o) { return o.start; }, START_RECORD},
        OptionCase{{"--pre", "3", "--post", "5"}, 0, "", [](auto &o) { return o.post; }, 5},
        OptionCase{{"--status", "60"}, 0, "", [](auto &o) { return o.status_s; }, 60},
        // The guard's default follows the window: 1 GiB without one, off with one; 0 is off.
        OptionCase{{"--no-window"}, 0, "", keep_free, 1 << 30}, OptionCase{{}, 0, "", keep_free, 0},
        OptionCase{{"--no-window", "--keep-free", "0"}, 0, "", keep_free, 0},
        OptionCase{{"--keep-free", "500M"}, 0, "", keep_free, 500 << 20},
        refused({"--stop-after", "9x"},
                std::string("tolvacapture: --stop-after 9x") + kDurationHint),
        refused({"--stop-after", "0s"},
                std::string("tolvacapture: --stop-after 0s") + kDurationHint),
        refused({"--stop-after"},
                std::string("tolvacapture: --stop-after (missing)") + kDurationHint),
        refused({"--stop-at", "24:00"},
                "tolvacapture: --stop-at 24:00: not a time of day; give local time as HH:MM, "
                "e.g. 05:30\n"),
        refused({"--night", "91,10"},
                "tolvacapture: --night 91,10: not a place; give latitude and longitude in "
                "degrees, north and east positive, e.g. 48.2,16.4\n"),
        refused({"--keep-free", "-1G"},
                "tolvacapture: --keep-free -1G: not a size; give bytes with K, M or G, e.g. "
                "500M or 2G, or 0 to turn the guard off\n"),
        refused({"--pre", "1001"}, "tolvacapture: --pre 1001: not a frame count; give 0 to 1000\n"),
        refused({"--status", "1.5"},
                "tolvacapture: --status 1.5: not a period; give whole seconds from 1 to 86400\n"),
        OptionCase{{"--windowless"},
                   kUnknownOption,
                   "tolvacapture: unknown option --windowless\n",
                   {},
                   0}));

} // namespace
