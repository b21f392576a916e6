// Tests of start-up and the live loop on the simulated Pi, keys and mouse from the scripted
// window seam: exit paths, recording states, written files, display scale, masks, time-out.
#include "cap.h"
#include "disk_guard.h"
#include "event_log.h"
#include "i2c.h"
#include "magic_testing.h"
#include "output_capture.h"
#include "raw_reference.h"
#include "run_tool.h"
#include "sensor_init.h"
#include "ser.h"
#include "ser_testing.h"
#include "sim_pi.h"
#include "suite_board.h"
#include "test_support.h"
#include "tolvacapture.h"
#include "unattended.h"
#include "window_script.h"
#include "zoom.h"
#include "zoom_testing.h"

#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using testing::HasSubstr;
using tolva::sim::Knobs;
using tolva::sim::SimPi;
using tolva::test::capture_stderr;
using tolva::test::capture_stdout;
using tolva::test::captured_stderr;
using tolva::test::captured_stdout;
using tolva::test::read_file;
using tolva::test::run_tool;
using tolva::test::ScratchDir;
using tolva::test::WindowScript;
namespace fs = std::filesystem;

namespace {

constexpr int kEsc = 27;

using Sensor = tolva::test::SensorInit;

// Polls wait as usual until the test stalls the stream, then not at all: the time-out's
// 300000 empty polls pass in a moment.
std::atomic<bool> stalled{false};
void poll_sleep_until_stalled(unsigned int microseconds)
{
    if (!stalled)
        usleep(microseconds);
}

// A SER file of a night with events, defined with the tests that replay it.
std::string night_ser();

class LoopTest : public testing::Test {
protected:
    void SetUp() override
    {
        WindowScript::get().reset();
        WindowScript::get().keep_last_image_only(true);
        zoom_reset();
        old_dir = fs::current_path();
        fs::current_path(dir.path());
        Knobs knobs = tolva::test::suite_knobs();
        knobs.events_per_minute = 0;
        SimPi::reset(knobs);
        I2C_ADDRESS = 0x10;
        TimeStampFile = stamps.c_str();
        I2cdetectLog = bus_map.c_str();
        // The runner may have started the tests with ending signals ignored, which the program
        // would respect.
        for (int sig : {SIGINT, SIGTERM, SIGHUP})
            std::signal(sig, SIG_DFL);
    }

    void TearDown() override { fs::current_path(old_dir); }

    std::string init(const Sensor &s, const std::string &name = "imx477_test.txt")
    {
        return dir.write(name, s.text());
    }

    // Runs the program's start-up and loop with these arguments after the program name;
    // returns the exit status, output in `out` and `err`.
    int run(const std::vector<std::string> &arguments)
    {
        std::vector<std::string> words{"./tolvacapture"};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char *> av;
        for (auto &w : words)
            av.push_back(w.data());
        capture_stdout();
        capture_stderr();
        int status = start_up(static_cast<int>(av.size()), av.data(), *d);
        if (status == kRunLoop)
            status = live_loop(*d);
        out = captured_stdout();
        err = captured_stderr();
        return status;
    }

    int run_keys(const Sensor &s, const std::vector<int> &keys, std::vector<std::string> extra = {})
    {
        WindowScript::get().add_keys(keys);
        extra.insert(extra.begin(), init(s));
        return run(extra);
    }

    std::vector<std::string> files(const std::string &extension) const
    {
        std::vector<std::string> found;
        for (const auto &entry : fs::directory_iterator(dir.path()))
            if (entry.path().extension() == extension)
                found.push_back(entry.path().filename().string());
        std::sort(found.begin(), found.end());
        return found;
    }

    // The independent SER reader's verdict on `name`, with the frame count it must hold.
    std::string ser_verdict(const std::string &name, int frames, int width = 64, int height = 48,
                            int depth = 16)
    {
        auto result = run_tool("ser_reader.py", "'" + dir.path() + "/" + name + "' --count " +
                                                    std::to_string(frames) + " --width " +
                                                    std::to_string(width) + " --height " +
                                                    std::to_string(height) + " --depth " +
                                                    std::to_string(depth) + " --color 8");
        return result.status == 0 ? "ok" : result.output;
    }

    // The frame counter checker's count of the frames a RAW12 SER recording `name` holds and of
    // those missing between them; a failure, with the checker's word, when a frame is not one
    // whole counter frame or frames come out of order.
    struct CounterCount {
        long long frames = -1;
        long long missing = -1;
    };
    CounterCount counter_count(const std::string &name)
    {
        auto result = run_tool("ser_counter.py", "'" + dir.path() + "/" + name + "' --bits 12");
        CounterCount count;
        if (result.status != 0 || std::sscanf(result.output.c_str(), "%lld frames, %lld missing",
                                              &count.frames, &count.missing) != 2)
            ADD_FAILURE() << "ser_counter.py: " << result.output;
        return count;
    }

    // Lines (or parts of lines) of standard output (or of `where`) holding `text`.
    int occurrences(const std::string &text) const { return occurrences(text, out); }
    static int occurrences(const std::string &text, const std::string &where)
    {
        int count = 0;
        for (size_t at = where.find(text); at != std::string::npos; at = where.find(text, at + 1))
            ++count;
        return count;
    }

    std::string last_bus_write() const
    {
        auto log = SimPi::instance().bus().log();
        return log.empty() ? "" : log.back();
    }

    // A 320 x 240 sensor on a sky with many flashes and meteors; the keys of a difference
    // recording: 'd', then `passes` passes without a key.
    Sensor lively_sky(std::uint64_t seed, int passes)
    {
        Knobs knobs = tolva::test::suite_knobs();
        knobs.events_per_minute = 3000;
        knobs.seed = seed;
        SimPi::reset(knobs);
        std::vector<int> keys{'d'};
        keys.resize(1 + passes, -1);
        WindowScript::get().add_keys(keys);
        Sensor s;
        s.width = 320;
        s.height = 240;
        // Under an emulator the loop does not keep 100 frames a second: at 25 no frames pile up
        // in the hand-over, so the frame of each pass is the one the test changed the sensor for.
        if (std::getenv("TOLVA_EMULATOR"))
            s.fps /= 4;
        return s;
    }

    // The replayed night (night_ser) as the scene of a 320 x 240 sensor at 50 frames a second.
    Sensor replayed_night()
    {
        Knobs knobs = tolva::test::suite_knobs();
        knobs.scene = "replay";
        knobs.replay_file = dir.write("night.ser.in", night_ser());
        SimPi::reset(knobs);
        Sensor s;
        s.width = 320;
        s.height = 240;
        s.fps = 50;
        return s;
    }

    const cv::Mat &shown_frame()
    {
        const auto *shown = WindowScript::get().last_shown("se_cam");
        EXPECT_NE(shown, nullptr);
        static const cv::Mat none;
        return shown ? shown->image : none;
    }

    ScratchDir dir;
    fs::path old_dir;
    std::string stamps = dir.path() + "/timestamp.bin";
    std::string bus_map = dir.path() + "/i2cdetect.log";
    std::unique_ptr<Driver> d = std::make_unique<Driver>();
    std::string out, err;
};

TEST_F(LoopTest, EscInLiveViewEndsWithTheStatistics)
{
    ASSERT_EQ(run_keys(Sensor{}, {-1, -1, kEsc}), 0);
    EXPECT_EQ(out.find("exec camera_i2c\n") != std::string::npos, RoutesCameraBus() != 0);
    EXPECT_THAT(out, HasSubstr("Color Imagesensor Detect\n"));
    EXPECT_THAT(out, HasSubstr("-------------------------\n"
                               "[Esc] / [q] : quit\n"
                               "[w]         : write raw data\n"
                               "[s]         : start recording\n"
                               "[d]         : start diff recording\n"
                               "[e]         : end recording\n"
                               "-------------------------\n"));
    EXPECT_THAT(out, HasSubstr("frame_count = 3\ntime        = "));
    EXPECT_THAT(out, HasSubstr("\nfps         = "));
    EXPECT_EQ(out.find("Rec Start."), std::string::npos);
    EXPECT_TRUE(files(".ser").empty());
    EXPECT_EQ(WindowScript::get().destroyed("se_cam"), 1);
    EXPECT_EQ(WindowScript::get().changes().front().flags,
              cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL);
}

TEST_F(LoopTest, QInLiveViewEndsToo)
{
    ASSERT_EQ(run_keys(Sensor{}, {'q'}), 0);
    EXPECT_THAT(out, HasSubstr("frame_count = 1\n"));
}

TEST_F(LoopTest, RecordingHoldsTheFramesFromSToE)
{
    ASSERT_EQ(run_keys(Sensor{}, {'s', -1, -1, -1, 'e', -1, kEsc}), 0);
    auto sers = files(".ser");
    ASSERT_EQ(sers.size(), 1u);
    EXPECT_EQ(ser_verdict(sers[0], 5), "ok");
    EXPECT_THAT(out, HasSubstr("Rec Start.\n"));
    EXPECT_THAT(out, HasSubstr("5frames\nRec Stop.\n"));
    EXPECT_EQ(sers[0].rfind("64x48_", 0), 0u);
}

TEST_F(LoopTest, QuitDuringARecordingClosesItBeforeTheStatistics)
{
    ASSERT_EQ(run_keys(Sensor{}, {'s', -1, 'q'}), 0);
    auto sers = files(".ser");
    ASSERT_EQ(sers.size(), 1u);
    EXPECT_EQ(ser_verdict(sers[0], 3), "ok");
    EXPECT_LT(out.find("Rec Stop."), out.find("frame_count = 3"));
}

TEST_F(LoopTest, WriteDuringARecordingUsesANewBaseAndKeepsRecording)
{
    ASSERT_EQ(run_keys(Sensor{}, {'s', 'w', -1, 'e', kEsc}), 0);
    auto sers = files(".ser");
    auto raws = files(".raw");
    ASSERT_EQ(sers.size(), 1u);
    ASSERT_EQ(raws.size(), 1u);
    std::string base = raws[0].substr(0, raws[0].size() - 4);
    EXPECT_NE(base + ".ser", sers[0]);
    EXPECT_EQ(files(".png"), std::vector<std::string>{base + ".png"});
    EXPECT_EQ(files(".fts"), std::vector<std::string>{base + ".fts"});
    // Each file is announced once written: the FITS writer's byte count comes before its line.
    EXPECT_THAT(out, HasSubstr("write: " + base + ".raw\nwrite: " + base +
                               ".png\n2880 + 8640 bytes\n"
                               "write: " +
                               base + ".fts\n"));
    EXPECT_EQ(ser_verdict(sers[0], 4), "ok");
}

TEST_F(LoopTest, AWriteWhoseFilesCannotBeCreatedAnnouncesNone)
{
    fs::create_directory("gone");
    fs::current_path("gone");
    fs::remove(dir.path() + "/gone"); // the working directory is no more
    ASSERT_EQ(run_keys(Sensor{}, {'w', kEsc}), 0);
    EXPECT_EQ(out.find("write: "), std::string::npos) << out;
    EXPECT_THAT(out, testing::ContainsRegex("\ncan't open 64x48_[0-9_]+\\.raw\n"));
    EXPECT_THAT(out, testing::ContainsRegex("\ncan't open 64x48_[0-9_]+\\.fts\n"));
    EXPECT_THAT(err, testing::MatchesRegex("tolvacapture: can't write 64x48_[0-9_]+\\.png: " +
                                           std::string(std::strerror(ENOENT)) + "\n"));
}

TEST_F(LoopTest, WrittenFilesHoldTheFrame)
{
    Sensor s;
    s.solid = 0x0ABC;
    ASSERT_EQ(run_keys(s, {-1, 'w', kEsc}), 0);
    auto raws = files(".raw");
    ASSERT_EQ(raws.size(), 1u);
    std::string raw = read_file(raws[0]);
    ASSERT_EQ(raw.size(), 64u * 48 * 2);
    for (size_t n = 0; n < raw.size(); n += 2)
        ASSERT_EQ((static_cast<unsigned char>(raw[n + 1]) << 8) |
                      static_cast<unsigned char>(raw[n]),
                  0x0ABC)
            << "sample " << n / 2;
    cv::Mat png = cv::imread(files(".png")[0], cv::IMREAD_UNCHANGED);
    EXPECT_EQ(png.size(), cv::Size(64, 48));
    EXPECT_EQ(png.type(), CV_8UC3);
    std::string fts = files(".fts")[0];
    auto fits = run_tool("fits_check.py", "'" + fts + "' '" + raws[0] + "' 64 48 2");
    EXPECT_EQ(fits.status, 0) << fits.output;
}

TEST_F(LoopTest, KeysThatDoNotApplyChangeNothing)
{
    // e in live view; s and d during a recording; upper-case letters anywhere.
    ASSERT_EQ(
        run_keys(Sensor{}, {'e', 'S', 'D', 'W', 'R', 'E', 's', 's', 'd', 'Q', 'E', 'e', 'Q', kEsc}),
        0);
    auto sers = files(".ser");
    ASSERT_EQ(sers.size(), 1u);
    EXPECT_EQ(ser_verdict(sers[0], 6), "ok");
    EXPECT_TRUE(files(".raw").empty());
    EXPECT_THAT(out, HasSubstr("frame_count = 14\n"));
    std::string recording = out.substr(out.find("Rec Start."));
    EXPECT_EQ(recording.find("Rec Start.", 1), std::string::npos);
}

struct Scale {
    int bits;
    bool raw8;
    int sample;
    int shown;
};

class DisplayTest : public LoopTest, public testing::WithParamInterface<Scale> {};

TEST_P(DisplayTest, ShowsTheSampleAtTheFixedScale)
{
    const Scale &c = GetParam();
    Sensor s;
    s.bits = c.bits;
    s.solid = c.sample;
    ASSERT_EQ(run_keys(s, {-1, kEsc},
                       c.raw8 ? std::vector<std::string>{"-8"} : std::vector<std::string>{}),
              0);
    const cv::Mat &frame = shown_frame();
    ASSERT_EQ(frame.type(), CV_8UC3);
    EXPECT_EQ(frame.size(), cv::Size(64, 48));
    EXPECT_EQ(cv::countNonZero(frame.reshape(1) != c.shown), 0)
        << "first pixel " << frame.at<cv::Vec3b>(10, 10);
}

INSTANTIATE_TEST_SUITE_P(Depths, DisplayTest,
                         testing::Values(Scale{12, false, 4095, 255}, Scale{12, false, 3182, 255},
                                         Scale{12, false, 1000, 80}, Scale{10, false, 1023, 82},
                                         Scale{12, true, 0x0ABC, 0xAB},
                                         Scale{10, true, 0x2C5, 0xB1}),
                         [](const testing::TestParamInfo<Scale> &info) {
                             const Scale &c = info.param;
                             return "raw" + std::to_string(c.bits) + (c.raw8 ? "_8bit_" : "_") +
                                    std::to_string(c.sample);
                         });

TEST_F(LoopTest, LargeFramesAreShownReduced)
{
    Sensor s;
    s.width = 1904;
    s.height = 16;
    ASSERT_EQ(run_keys(s, {-1, kEsc}), 0);
    EXPECT_EQ(shown_frame().size(), cv::Size(952, 8));
}

TEST_F(LoopTest, RecordMaskBlanksSamplesAndStaysUntilAReadableFileReplacesIt)
{
    Sensor s;
    s.solid = 1000;
    cv::Mat left(48, 64, CV_8UC3, cv::Scalar(0, 0, 0));
    left(cv::Rect(0, 0, 32, 48)).setTo(cv::Scalar(255, 255, 255));
    cv::imwrite("mask_rec.png", left);
    std::vector<std::string> raws;
    WindowScript::get().on_wait([&](int pass) {
        if (pass == 1)
            fs::remove("mask_rec.png");
        if (pass == 3) {
            cv::Mat top(48, 64, CV_8UC3, cv::Scalar(0, 0, 0));
            top(cv::Rect(0, 0, 64, 4)).setTo(cv::Scalar(1, 1, 1));
            cv::imwrite("mask_rec.png", top);
        }
    });
    // pass 0: w (left half masked); 1: r without a file; 2: w (still the left half);
    // 3: r with the new mask; 4: w (the top lines).
    ASSERT_EQ(run_keys(s, {'w', 'r', 'w', 'r', 'w', kEsc}), 0);
    auto written = files(".raw");
    ASSERT_EQ(written.size(), 3u);
    auto masked = [&](const std::string &name, int x, int y) {
        std::string raw = read_file(name);
        size_t n = (static_cast<size_t>(y) * 64 + x) * 2;
        return raw[n] == 0 && raw[n + 1] == 0;
    };
    for (int file = 0; file < 2; ++file) {
        EXPECT_TRUE(masked(written[file], 31, 40)) << written[file];
        EXPECT_FALSE(masked(written[file], 32, 2)) << written[file];
    }
    EXPECT_TRUE(masked(written[2], 50, 3));
    EXPECT_FALSE(masked(written[2], 10, 4));
}

TEST_F(LoopTest, RecordMaskOfAnotherSizeIsIgnoredWithAMessage)
{
    cv::imwrite("mask_rec.png", cv::Mat(48, 63, CV_8UC3, cv::Scalar(255, 255, 255)));
    ASSERT_EQ(run_keys(Sensor{}, {kEsc}), 0);
    EXPECT_EQ(err, "tolvacapture: ./mask_rec.png is 63x48, the frame 64x48: mask ignored\n");
    EXPECT_TRUE(d->mask_r.empty());
}

TEST_F(LoopTest, EightBitFramesRecordOneBytePerSample)
{
    ASSERT_EQ(run_keys(Sensor{}, {'s', 'e', 'w', kEsc}, {"-8"}), 0);
    auto sers = files(".ser");
    ASSERT_EQ(sers.size(), 1u);
    auto result = run_tool("ser_reader.py", "'" + sers[0] + "' --count 2 --depth 8");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(fs::file_size(files(".raw")[0]), 64u * 48);
}

TEST_F(LoopTest, DifferenceRecordingKeepsDetectedFramesAndTheStack)
{
    // Some frames are detections. Then the sensor turns to a black test pattern, and 'e' comes
    // in the first pass whose frame is black (however far the loop lags the sensor), so the
    // frame of the 'e' pass is no detection.
    constexpr int kLivelyPasses = 57;
    Sensor s = lively_sky(11, kLivelyPasses);
    const std::size_t frame_bytes = std::size_t{2} * s.width * s.height;
    WindowScript::get().on_wait([&](int pass) {
        if (pass == kLivelyPasses)
            Set2Byte(0x0600, 0x0001); // solid colour, test data 0
        if (pass <= kLivelyPasses || WindowScript::get().steps() > pass)
            return;
        const unsigned char *frame = d->BinImage2.get();
        const bool black =
            std::all_of(frame, frame + frame_bytes, [](unsigned char b) { return b == 0; });
        if (black || pass > kLivelyPasses + 1000)
            WindowScript::get().add_keys({'e', kEsc});
        else
            WindowScript::get().add_keys({-1});
    });
    ASSERT_EQ(run_keys(s, {}), 0);
    int detections = occurrences("Diff Detect.");
    ASSERT_GT(detections, 0) << out;
    // Every window opened has the live window's plain frame.
    for (const auto &change : WindowScript::get().changes()) {
        if (change.kind == tolva::test::WindowChange::Created) {
            EXPECT_EQ(change.flags, cv::WINDOW_AUTOSIZE | cv::WINDOW_GUI_NORMAL) << change.window;
        }
    }
    auto sers = files(".ser");
    ASSERT_EQ(sers.size(), 1u);
    // The first recording of the run also keeps the frame of the 'd' pass; the 'e' pass is kept.
    int kept = detections + 2;
    EXPECT_EQ(ser_verdict(sers[0], kept, 320, 240), "ok") << detections << " detections";
    char stack[64];
    std::snprintf(stack, sizeof stack, "_%04ddifs.png", detections);
    EXPECT_EQ(files(".png"),
              std::vector<std::string>{sers[0].substr(0, sers[0].size() - 4) + stack});
}

TEST_F(LoopTest, QuitDuringADifferenceRecordingWritesNoStack)
{
    ASSERT_EQ(run_keys(lively_sky(1, 39), {'q'}), 0);
    EXPECT_THAT(out, HasSubstr("Diff Detect."));
    EXPECT_TRUE(files(".png").empty());
    EXPECT_EQ(WindowScript::get().destroyed("ImageDiff"), 0);
    EXPECT_EQ(files(".ser").size(), 1u);
}

TEST_F(LoopTest, ZoomFollowsTheMouseOnTheLiveWindow)
{
    Sensor s;
    s.solid = 2000;
    WindowScript::get().add({-1, {{"se_cam", cv::EVENT_LBUTTONDOWN, 10, 10}}});
    WindowScript::get().add({-1, {{"se_cam", cv::EVENT_MOUSEMOVE, 30, 20}}});
    WindowScript::get().add({-1, {{"se_cam", cv::EVENT_LBUTTONUP, 30, 20}}});
    WindowScript::get().add({-1, {}});
    WindowScript::get().add({-1, {{"se_cam", cv::EVENT_RBUTTONDOWN, 5, 5}}});
    WindowScript::get().add({kEsc, {}});
    WindowScript::get().keep_last_image_only(false);
    ASSERT_EQ(run({init(s)}), 0);
    const auto *zoom = WindowScript::get().last_shown("zoom");
    ASSERT_NE(zoom, nullptr);
    EXPECT_EQ(zoom->size, cv::Size(40, 20)); // 20 x 10 frame pixels, magnified twice
    EXPECT_EQ(WindowScript::get().shows("zoom"), 2);
    EXPECT_EQ(WindowScript::get().destroyed("zoom"), 1);
}

// The pictures of the plain chain: convertTo, cvtColor and resize of the frame a RAW file holds.
cv::Mat plain_picture(const std::string &raw, int width, int height)
{
    cv::Mat frame(height, width, CV_16U, const_cast<char *>(raw.data()));
    cv::Mat bayer8, rgb;
    frame.convertTo(bayer8, CV_8U, 0.08, 0.0);
    cv::cvtColor(bayer8, rgb, cv::COLOR_BayerBG2BGR);
    return rgb;
}

int samples_differing(const cv::Mat &a, const cv::Mat &b)
{
    if (a.size() != b.size() || a.type() != b.type())
        return -1;
    cv::Mat diff;
    cv::absdiff(a, b, diff);
    return cv::countNonZero(diff.reshape(1));
}

TEST_F(LoopTest, LivePictureZoomAndPngAreThoseOfThePlainChain)
{
    if (!RoutesCameraBus())
        GTEST_SKIP() << "V4L2 receivers take widths in steps of 4 pixels";
    // 1270 x 39 RAW12 lines of 1905 bytes: shown halved, the view rounds to 635 x 20, so a drag
    // to the view's corner reaches past the frame's last row.
    Sensor s;
    s.width = 1270;
    s.height = 39;
    s.counter = true;
    WindowScript::get().add({'w', {{"se_cam", cv::EVENT_LBUTTONDOWN, 600, 10}}});
    WindowScript::get().add(
        {-1, {{"se_cam", cv::EVENT_MOUSEMOVE, 700, 30}, {"se_cam", cv::EVENT_LBUTTONUP, 700, 30}}});
    WindowScript::get().add({'w', {}});
    WindowScript::get().add({kEsc, {}});
    WindowScript::get().keep_last_image_only(false);
    ASSERT_EQ(run({init(s)}), 0) << err;
    const auto raws = files(".raw");
    const auto pngs = files(".png");
    ASSERT_EQ(raws.size(), 2u);
    ASSERT_EQ(pngs.size(), 2u);
    std::vector<cv::Mat> live, zoomed;
    for (const auto &shown : WindowScript::get().shown()) {
        if (shown.window == "se_cam")
            live.push_back(shown.image);
        else if (shown.window == "zoom")
            zoomed.push_back(shown.image);
    }
    ASSERT_FALSE(live.empty());
    ASSERT_FALSE(zoomed.empty());
    // First pass: nothing drawn yet, its frame written.
    const cv::Mat first = plain_picture(read_file(raws[0]), s.width, s.height);
    cv::Mat view;
    cv::resize(first, view, cv::Size(), 0.5f, 0.5f, cv::INTER_LINEAR);
    EXPECT_EQ(samples_differing(view, live[0]), 0);
    EXPECT_EQ(samples_differing(first, cv::imread(pngs[0], cv::IMREAD_UNCHANGED)), 0);
    // Third pass: the zoom window shows the region at the frame's bottom-right corner.
    const cv::Mat third = plain_picture(read_file(raws[1]), s.width, s.height);
    cv::Mat zoom;
    cv::resize(third(cv::Rect(1200, 20, 70, 19)), zoom, cv::Size(), 2.0f, 2.0f, cv::INTER_LINEAR);
    EXPECT_EQ(samples_differing(zoom, zoomed[0]), 0);
    EXPECT_EQ(samples_differing(third, cv::imread(pngs[1], cv::IMREAD_UNCHANGED)), 0);
}

TEST_F(LoopTest, AStalledStreamTimesOutWithTheRecordingComplete)
{
    stalled = false;
    d->poll_sleep = poll_sleep_until_stalled;
    WindowScript::get().on_wait([](int pass) {
        if (pass == 1) {
            Set1Byte(0x0100, 0x00); // the sensor leaves streaming mode
            stalled = true;
        }
    });
    ASSERT_EQ(run_keys(Sensor{}, {'s', -1, -1, -1}), 1);
    EXPECT_THAT(err, testing::EndsWith("tolvacapture: time out.\n"));
    EXPECT_EQ(err.find("no frame in 5 s"), std::string::npos) << "frames came before the stall";
    EXPECT_EQ(out.find("frame_count ="), std::string::npos);
    EXPECT_THAT(out, HasSubstr("Rec Stop.\n"));
    auto sers = files(".ser");
    ASSERT_EQ(sers.size(), 1u);
    auto result = run_tool("ser_reader.py", "'" + sers[0] + "'");
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_GE(WindowScript::get().waits(), 2);
}

TEST_F(LoopTest, PipelineThatCannotCloseEndsWithItsMessage)
{
    if (!RoutesCameraBus())
        GTEST_SKIP() << "the fault is the MMAL receiver's output port";
    Knobs knobs = tolva::test::suite_knobs();
    knobs.events_per_minute = 0;
    knobs.rx_port_disable_fails = true;
    SimPi::reset(knobs);
    ASSERT_EQ(run_keys(Sensor{}, {kEsc}), 1);
    EXPECT_THAT(out, testing::EndsWith("\n Error CloseSensor.\n"));
    EXPECT_EQ(out.find("frame_count ="), std::string::npos);
}

// SIGINT, SIGTERM and SIGHUP, raised between two passes of a recording, end the program as q
// does: the recording complete, the sensor stopped, the statistics printed; status 128 + N.
struct SignalCase {
    int sig;
    const char *name;
    int start_key; // 's' or 'd'
    int frames;    // recorded: passes 0 to 2, or only the 'd' pass (no detection in a still sky)
};

class SignalDuringRecording : public LoopTest, public testing::WithParamInterface<SignalCase> {};

TEST_P(SignalDuringRecording, EndsAsQuitDoes)
{
    const SignalCase &c = GetParam();
    WindowScript::get().on_wait([&c](int pass) {
        if (pass == 2)
            raise(c.sig);
    });
    // Under an emulator a pass takes longer than 10 ms: the sensor runs at 25 frames a second
    // there, so that the recording keeps up and nothing but the signal is said.
    Sensor s;
    if (std::getenv("TOLVA_EMULATOR"))
        s.fps /= 4;
    ASSERT_EQ(run_keys(s, {c.start_key, -1, -1, -1, -1, -1}), 128 + c.sig);
    auto sers = files(".ser");
    ASSERT_EQ(sers.size(), 1u);
    EXPECT_EQ(ser_verdict(sers[0], c.frames), "ok");
    EXPECT_LT(out.find("Rec Stop."), out.find("frame_count = 3\n"));
    EXPECT_THAT(out, HasSubstr("\nfps         = "));
    EXPECT_EQ(err, std::string("tolvacapture: ") + c.name + " received, quitting\n");
    EXPECT_EQ(last_bus_write(), "10 W 01 00 00");
    EXPECT_EQ(WindowScript::get().destroyed("se_cam"), 1);
    EXPECT_TRUE(files(".png").empty()); // a difference recording writes no stack, as on quit
}

INSTANTIATE_TEST_SUITE_P(
    Signals, SignalDuringRecording,
    testing::Values(SignalCase{SIGINT, "SIGINT", 's', 3}, SignalCase{SIGTERM, "SIGTERM", 's', 3},
                    SignalCase{SIGHUP, "SIGHUP", 's', 3}, SignalCase{SIGINT, "SIGINT", 'd', 1},
                    SignalCase{SIGTERM, "SIGTERM", 'd', 1}, SignalCase{SIGHUP, "SIGHUP", 'd', 1}),
    [](const testing::TestParamInfo<SignalCase> &info) {
        return std::string(info.param.name) +
               (info.param.start_key == 's' ? "_record" : "_difference");
    });

// While the loop polls a stream that has stopped, a signal ends it at once, not after the
// time-out.
void poll_sleep_raising_when_stalled(unsigned int microseconds)
{
    if (stalled)
        raise(SIGTERM);
    else
        usleep(microseconds);
}

// The value after "LABEL = " in the console, or -1.
long long console_value(const std::string &out, const std::string &label)
{
    std::size_t at = out.find("\n" + label + " = ");
    return at == std::string::npos ? -1 : std::atoll(out.c_str() + at + label.size() + 4);
}

TEST_F(LoopTest, ASignalWhileNoFrameComesEndsTheLoop)
{
    stalled = false;
    d->poll_sleep = poll_sleep_raising_when_stalled;
    WindowScript::get().on_wait([](int pass) {
        if (pass == 1) {
            Set1Byte(0x0100, 0x00);
            stalled = true;
        }
    });
    ASSERT_EQ(run_keys(Sensor{}, {'s', -1, -1}), 128 + SIGTERM);
    auto sers = files(".ser");
    ASSERT_EQ(sers.size(), 1u);
    // Streaming stops in the second pass; on a slow machine a third frame was already waiting
    // in the hand-over by then, and is recorded too.
    long long frames = console_value(out, "frame_count");
    EXPECT_TRUE(frames == 2 || frames == 3) << out;
    EXPECT_EQ(ser_verdict(sers[0], static_cast<int>(frames)), "ok");
    EXPECT_EQ(err, "tolvacapture: SIGTERM received, quitting\n");
}

// The capture library's threads never take an ending signal: they are made with the signals
// blocked (the simulated MMAL receiver's thread is named rawcam, the V4L2 back end's v4l2-frames).
TEST_F(LoopTest, TheReceiversThreadBlocksTheEndingSignals)
{
    std::vector<std::string> masks;
    WindowScript::get().on_wait([&masks](int) {
        for (const auto &task : fs::directory_iterator("/proc/self/task")) {
            std::string name = read_file((task.path() / "comm").string());
            if (name != "rawcam\n" && name != "v4l2-frames\n")
                continue;
            std::istringstream status(read_file((task.path() / "status").string()));
            for (std::string line; std::getline(status, line);)
                if (line.rfind("SigBlk:", 0) == 0)
                    masks.push_back(line.substr(7));
        }
    });
    ASSERT_EQ(run_keys(Sensor{}, {kEsc}), 0);
    ASSERT_EQ(masks.size(), 1u);
    unsigned long long blocked = std::stoull(masks[0], nullptr, 16);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        EXPECT_TRUE(blocked >> (sig - 1) & 1) << "signal " << sig << ", SigBlk" << masks[0];
    // The main thread takes them again.
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&mask, SIGTERM));
}

// With no device on the bus, the bring-up tries ten times at once, then says once what it
// waits for and pauses between attempts; a signal ends it with nothing opened.
std::vector<unsigned int> pauses;
void pause_until_the_third(unsigned int microseconds)
{
    pauses.push_back(microseconds);
    if (pauses.size() == 3)
        raise(SIGINT);
}

TEST_F(LoopTest, BringUpPausesAfterTheFirstAttemptsAndEndsOnASignal)
{
    Knobs knobs = tolva::test::suite_knobs();
    knobs.no_sensor = true;
    SimPi::reset(knobs);
    pauses.clear();
    d->poll_sleep = pause_until_the_third;
    ASSERT_EQ(run({init(Sensor{})}), 128 + SIGINT);
    bool routed = RoutesCameraBus() != 0;
    EXPECT_EQ(occurrences("exec camera_i2c\n"), routed ? 13 : 0);
    EXPECT_EQ(pauses, std::vector<unsigned int>(3, 100000));
    std::string waiting = "tolvacapture: no device answers on I2C bus " +
                          (routed ? "0 after routing for board revision a020d3"
                                  : std::to_string(GetCameraBus()) + ", the camera's") +
                          "; waiting for one\n";
    EXPECT_EQ(occurrences(waiting, err), 1) << err;
    EXPECT_THAT(err, testing::EndsWith("\ntolvacapture: SIGINT received, quitting\n"));
    EXPECT_EQ(out.find("Imagesensor Detect"), std::string::npos);
    EXPECT_TRUE(SimPi::instance().bus().log().empty());
    EXPECT_TRUE(WindowScript::get().changes().empty());
}

// Frames the receiver has handed over since it first streamed, on either back end.
std::uint64_t frames_made() { return SimPi::instance().frames_handed_over(); }

// A stall of the loop that lasts until the sensor has made what `done` waits for, however fast
// the machine is.
template <typename Done> void stall_until(Done done)
{
    while (!done())
        usleep(1000);
}

// 's', then `passes` passes with these keys ('w' or none), 'e', Esc.
std::vector<int> recording_keys(int passes, int write_every)
{
    std::vector<int> keys{'s'};
    for (int pass = 1; pass <= passes; ++pass)
        keys.push_back(write_every && pass % write_every == 0 ? 'w' : -1);
    keys.push_back('e');
    keys.push_back(kEsc);
    return keys;
}

TEST_F(LoopTest, ARecordingLosesNoFrameToSnapshotsAndStalls)
{
    Sensor s;
    s.counter = true;
    // Under an emulator a pass takes longer than 10 ms: the sensor then runs at 25 frames a
    // second, so that the loop keeps its rate outside the stalls.
    if (std::getenv("TOLVA_EMULATOR"))
        s.fps /= 4;
    // A stall in the pass whose key starts the recording, until 10 more frames came: the
    // recording begins with that pass's frame, read in live view, and goes on from it. Three
    // stalls in the recording, each until 50 frames wait (half a second's: frames handed over
    // since the recording began and not yet taken), and a snapshot every 15 frames.
    long long made_before = 0, taken_before = 0;
    timeval first_stall_end{};
    auto waiting = [&] {
        return static_cast<long long>(frames_made()) - made_before - (frame_count - taken_before);
    };
    WindowScript::get().on_wait([&](int pass) {
        if (pass == 0) {
            const std::uint64_t made_at_key = frames_made();
            stall_until([&] { return frames_made() >= made_at_key + 10; });
        }
        if (pass == 1) {
            made_before = static_cast<long long>(frames_made());
            taken_before = frame_count;
        }
        if (pass % 20 == 10)
            stall_until([&] { return waiting() >= 50; });
        if (pass == 10)
            gettimeofday(&first_stall_end, nullptr);
    });
    ASSERT_EQ(run_keys(s, recording_keys(60, 15)), 0);
    auto sers = files(".ser");
    ASSERT_EQ(sers.size(), 1u);
    EXPECT_EQ(ser_verdict(sers[0], 62), "ok");
    const auto counted = counter_count(sers[0]);
    ASSERT_EQ(counted.frames, 62);
    EXPECT_EQ(counted.missing, 0);
    EXPECT_EQ(files(".raw").size(), 4u);
    EXPECT_EQ(out.find("frames dropped"), std::string::npos) << out;
    EXPECT_GE(console_value(out, "dropped    "), 0);
    // Frames that waited out a stall keep the times they were received, not the moments they
    // were written after it: the 50 that waited at the end of the first one were received
    // before it ended (the recording goes on for more than 50 frames after it).
    constexpr std::int64_t kUnixEpochTicks = 621355968000000000; // 100 ns ticks from year 1
    const std::int64_t stall_end_ticks =
        kUnixEpochTicks +
        (static_cast<std::int64_t>(first_stall_end.tv_sec) * 1000000 + first_stall_end.tv_usec) *
            10;
    std::string ser = read_file(sers[0]);
    const std::size_t frames = static_cast<std::size_t>(counted.frames);
    std::size_t trailer = 178 + frames * 64 * 48 * 2;
    ASSERT_EQ(ser.size(), trailer + frames * 8);
    int received_before_the_end = 0;
    for (std::size_t k = 0; k < frames; ++k) {
        std::int64_t ticks;
        std::memcpy(&ticks, ser.data() + trailer + 8 * k, 8);
        received_before_the_end += ticks <= stall_end_ticks;
    }
    EXPECT_GE(received_before_the_end, 50);
}

// A stall longer than the hand-over holds loses frames: the recording's count of them is the
// gap its frames show, and the statistics count at least those.
TEST_F(LoopTest, FramesLostToALongStallAreCountedAsTheRecordingShowsThem)
{
    Sensor s;
    s.counter = true;
    WindowScript::get().on_wait([](int pass) {
        if (pass == 5) {
            const std::uint64_t start = frames_made();
            stall_until([start] { return frames_made() - start >= 120; }); // more than held
        }
    });
    ASSERT_EQ(run_keys(s, recording_keys(100, 0)), 0);
    auto sers = files(".ser");
    ASSERT_EQ(sers.size(), 1u);
    EXPECT_EQ(ser_verdict(sers[0], 102), "ok");
    const long long lost = counter_count(sers[0]).missing;
    EXPECT_GT(lost, 0);
    std::string line = std::to_string(lost) + " frames dropped\n";
    EXPECT_THAT(out, HasSubstr(line));
    EXPECT_LT(out.find(line), out.find("Rec Stop."));
    EXPECT_GE(console_value(out, "dropped    "), lost);
    EXPECT_LT(out.find("\nfps         = "), out.find("\ndropped     = "));
}

TEST_F(LoopTest, NoFrameAtAllGivesAHintOnceBeforeTheTimeOut)
{
    stalled = true;
    d->poll_sleep = poll_sleep_until_stalled;
    // The receiver listens on 4 lanes (on current OS the overlay's too), the sensor sends on 2:
    // nothing arrives.
    Knobs knobs = tolva::test::suite_knobs();
    knobs.csi_lanes = 4;
    SimPi::reset(knobs);
    Sensor s;
    s.lanes = 4;
    ASSERT_EQ(run({init(s)}), 1);
    EXPECT_EQ(err, "tolvacapture: no frame in 5 s: the camera receiver waits for 64x48 RAW12 "
                   "frames on 4 lanes (BUFSIZ 4608); check the init file: RAWBIT, DATA_LANES, "
                   "WIDTH and HEIGHT against the sensor's data format, lane and output size "
                   "registers (CCS style: 0x0112, 0x0114, 0x034C; IMX219: 0x018C, 0x0114, "
                   "0x016C; Sony STARVIS: ADBIT, lanes, window), the writes that start streaming "
                   "(0x0100 = 1; Sony: standby 0x3000 = 0, master start 0x3002 = 0, on the "
                   "IMX296 0x300A = 0), the input clock a Sony file is written for, BUFSIZ "
                   "against the frame size\n"
                   "tolvacapture: time out.\n");
}

// A replayed night of 80 frames of 320x240: flashes at frames 20 and 60, a meteor over frames
// 40 to 42, each event in a place of its own. The top left sample tells the frames apart: the
// sky's level plus the frame's number.
struct NightEvent {
    int frame, x, y;
};
const NightEvent kNight[] = {
    {20, 40, 40}, {40, 100, 120}, {41, 110, 120}, {42, 120, 120}, {60, 250, 200}};
constexpr int kNightFrames = 80;
constexpr std::uint16_t kNightSky = 200, kEventBrightening = 3000;

std::string night_ser()
{
    std::string ser(178, '\0');
    std::memcpy(ser.data(), "LUCAM-RECORDER", 14);
    for (auto [at, value] : {std::pair{26, 320}, {30, 240}, {34, 16}, {38, kNightFrames}})
        std::memcpy(ser.data() + at, &value, 4);
    std::vector<std::uint16_t> frame(320 * 240);
    for (int f = 0; f < kNightFrames; ++f) {
        std::fill(frame.begin(), frame.end(), kNightSky);
        frame[0] = static_cast<std::uint16_t>(kNightSky + f);
        for (const NightEvent &e : kNight)
            if (e.frame == f)
                for (int y = e.y - 1; y <= e.y + 1; ++y)
                    for (int x = e.x - 1; x <= e.x + 1; ++x)
                        frame[y * 320 + x] = kNightSky + kEventBrightening;
        ser.append(reinterpret_cast<const char *>(frame.data()), frame.size() * 2);
    }
    return ser;
}

// Which event of the night a recorded frame shows; -1 for the plain sky.
int night_event(const std::string &ser, std::size_t k)
{
    const auto *frame =
        reinterpret_cast<const unsigned char *>(ser.data()) + 178 + k * 320 * 240 * 2;
    for (int n = 0; n < static_cast<int>(std::size(kNight)); ++n) {
        std::size_t at = (static_cast<std::size_t>(kNight[n].y) * 320 + kNight[n].x) * 2;
        if ((frame[at] | frame[at + 1] << 8) > kNightSky + kEventBrightening / 2)
            return n;
    }
    return -1;
}

// The replayed night's frame number of a recorded frame.
int night_frame(const std::string &ser, std::size_t k)
{
    const auto *frame =
        reinterpret_cast<const unsigned char *>(ser.data()) + 178 + k * 320 * 240 * 2;
    return (frame[0] | frame[1] << 8) - kNightSky;
}

// The script takes 0.4 s, as long as 20 frames: the loop goes on meanwhile, every frame the
// detection selects is recorded, each run of detections starts the script once, and every
// script that ended was reaped.
TEST_F(LoopTest, DifferenceRecordingOfANightKeepsEveryDetectionWhileTheScriptRuns)
{
    std::string home = dir.path() + "/home";
    fs::create_directory(home);
    std::string script =
        dir.write("home/detect_voice.sh", "#!/bin/sh\nsleep 0.4\necho run >> \"$HOME/runs\"\n");
    fs::permissions(script, fs::perms::owner_all);
    std::string old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", home.c_str(), 1);
    Sensor s = replayed_night();
    std::vector<int> keys{'d'};
    keys.resize(121, -1); // a night and a half
    keys.push_back('e');
    keys.push_back(kEsc);
    int status = run_keys(s, keys);
    setenv("HOME", old_home.c_str(), 1);
    ASSERT_EQ(status, 0);
    for (pid_t pid : d->scripts) {
        int wait_status;
        EXPECT_EQ(waitpid(pid, &wait_status, 0), pid);
    }
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a script that ended was not reaped";

    auto sers = files(".ser");
    ASSERT_EQ(sers.size(), 1u);
    std::string ser = read_file(sers[0]);
    std::int32_t count = 0;
    std::memcpy(&count, ser.data() + 38, 4);
    ASSERT_GT(count, 4);
    // Between the frames of 'd' and 'e', the night's events one after another, none left out.
    std::vector<int> events;
    for (std::int32_t k = 1; k + 1 < count; ++k)
        events.push_back(night_event(ser, static_cast<std::size_t>(k)));
    ASSERT_GE(events.size(), std::size(kNight));
    for (std::size_t k = 0; k < events.size(); ++k) {
        ASSERT_GE(events[k], 0) << "recorded frame " << k + 1 << " is no detection";
        if (k > 0) {
            ASSERT_EQ(events[k], (events[k - 1] + 1) % 5) << "a detection is missing";
        }
    }
    int detections = occurrences("Diff Detect.");
    int last_event = night_event(ser, static_cast<std::size_t>(count - 1));
    EXPECT_EQ(detections, static_cast<int>(events.size()) + (last_event >= 0));
    // Runs of detections start at the flashes and at the meteor's first frame.
    auto run_start = [](int event) { return event == 0 || event == 1 || event == 4; };
    int runs = static_cast<int>(std::count_if(events.begin(), events.end(), run_start)) +
               (last_event >= 0 && run_start(last_event));
    const auto &board = SimPi::instance().board_record();
    EXPECT_EQ(std::count(board.begin(), board.end(), "~/detect_voice.sh"), runs);
    std::string ran = read_file(home + "/runs");
    EXPECT_EQ(std::count(ran.begin(), ran.end(), '\n'), runs);
    EXPECT_EQ(out.find("frames dropped"), std::string::npos) << out;
}

// The clock of an unattended run in the tests: 50 frames to the second from a fixed start.
constexpr double kRunStart = 1.7e9;
double frame_clock() { return kRunStart + frame_count * 0.02; }

std::vector<std::string> csv_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// --pre and --post frames around each run of detections.
class UnattendedNightTest : public LoopTest, public testing::WithParamInterface<int> {};

// A night replayed without a window (and no display): the run ends by itself; the SER holds the
// first and the last frame and, around each event, the frames --pre and --post ask for, in order,
// each once; the event log has a line for each detection line, pointing at the event's frame.
TEST_P(UnattendedNightTest, EndsByItselfWithTheFramesAroundEachEventLogged)
{
    const int around = GetParam();
    const char *display = std::getenv("DISPLAY");
    std::string old_display = display ? display : "";
    unsetenv("DISPLAY");
    Sensor s = replayed_night();
    d->clock = frame_clock;
    int status =
        run({init(s), "--no-window", "--detect", "--stop-after", "3s", "--keep-free", "0", "--pre",
             std::to_string(around), "--post", std::to_string(around), "--status", "1"});
    if (display)
        setenv("DISPLAY", old_display.c_str(), 1);
    ASSERT_EQ(status, 0) << err;
    EXPECT_EQ(err, "");
    EXPECT_EQ(WindowScript::get().waits(), 0);
    EXPECT_TRUE(WindowScript::get().changes().empty());
    EXPECT_TRUE(WindowScript::get().shown().empty());
    EXPECT_THAT(out, HasSubstr("frame_count = 150\n"));

    auto sers = files(".ser");
    ASSERT_EQ(sers.size(), 1u);
    // A status line a second of the clock: before the first frame, after 50 and after 100.
    EXPECT_EQ(occurrences("status: "), 3);
    EXPECT_THAT(out, HasSubstr("status: 50 frames, "));
    EXPECT_THAT(out, HasSubstr(" dropped, recording " + sers[0] + ", "));
    // Two seconds of the clock into the recording: 320x240 16-bit frames and their stamps at 50
    // frames a second, 7.68 MB/s (within a frame: the clock moves as the frames are taken).
    EXPECT_THAT(out, testing::ContainsRegex("the free space \\([0-9.]+ [kMGT]?B, keeping 0 B\\) "
                                            "lasts [0-9]+ h [0-9]+ min at 7\\.[78] MB/s\n"));
    std::string ser = read_file(sers[0]);
    std::int32_t count = 0;
    std::memcpy(&count, ser.data() + 38, 4);
    ASSERT_EQ(ser_verdict(sers[0], count, 320, 240), "ok");
    // The replay loops: numbers that fall start its next round.
    std::vector<int> written;
    for (std::int32_t k = 0; k < count; ++k) {
        int n = night_frame(ser, static_cast<std::size_t>(k));
        int round = written.empty() ? 0 : written.back() / kNightFrames;
        if (!written.empty() && round * kNightFrames + n <= written.back())
            ++round;
        written.push_back(round * kNightFrames + n);
    }
    const int first = written.front(), last = written.back();
    std::vector<int> expected{first};
    for (int f = first + 1; f < last; ++f)
        for (const NightEvent &e : kNight)
            if (std::abs(f % kNightFrames - e.frame) <= around) {
                expected.push_back(f);
                break;
            }
    expected.push_back(last);
    EXPECT_EQ(written, expected);

    std::string base = sers[0].substr(0, sers[0].size() - 4);
    auto lines = csv_lines(read_file(base + "_events.csv"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0] + "\n", kEventLogHeader);
    ASSERT_EQ(static_cast<int>(lines.size()) - 1, occurrences("Diff Detect."));
    ASSERT_GE(lines.size(), 1 + std::size(kNight));
    int previous_frame = -2, previous_run = 0;
    for (std::size_t k = 1; k < lines.size(); ++k) {
        int ser_frame = 0, detection = 0, changed = 0, brightening = 0, run_number = 0;
        double sx, sy, cx, cy;
        ASSERT_EQ(std::sscanf(lines[k].c_str(), "%*[^,],%d,%d,%lf,%lf,%lf,%lf,%d,%d,%d", &ser_frame,
                              &detection, &sx, &sy, &cx, &cy, &changed, &brightening, &run_number),
                  9)
            << lines[k];
        EXPECT_EQ(detection, static_cast<int>(k));
        char console[64];
        std::snprintf(console, sizeof console, "%5d:Diff Detect. sx:%04.0lf sy:%04.0lf\n",
                      detection, sx, sy);
        EXPECT_THAT(out, HasSubstr(console));
        int event = night_event(ser, static_cast<std::size_t>(ser_frame));
        ASSERT_GE(event, 0) << "line " << k << " points at a frame without an event";
        EXPECT_NEAR(cx, kNight[event].x, 1.0);
        EXPECT_NEAR(cy, kNight[event].y, 1.0);
        EXPECT_EQ(brightening, kEventBrightening);
        int frame = written[static_cast<std::size_t>(ser_frame)];
        EXPECT_EQ(run_number, frame == previous_frame + 1 ? previous_run : previous_run + 1);
        previous_frame = frame;
        previous_run = run_number;
    }
}

INSTANTIATE_TEST_SUITE_P(Around, UnattendedNightTest, testing::Values(0, 3));

// Atlanta's civil twilight on 2009-09-06 ends at 20:21 EDT (USNO); a clock that moves a minute a
// frame from 20:15: the recording starts with the frame of 20:22, and the run ends with the
// morning's twilight, about 6:51.
double atlanta_clock() { return 1252282500 + frame_count * 60.0; }

TEST_F(LoopTest, TheNightStartsAndEndsTheRecordingByTheSun)
{
    setenv("TZ", "EST5EDT", 1);
    tzset();
    d->clock = atlanta_clock;
    int status = run({init(Sensor{}), "--no-window", "--record", "--night", "33.8,-84.4",
                      "--sun-below", "-6", "--keep-free", "0"});
    unsetenv("TZ");
    tzset();
    ASSERT_EQ(status, 0) << err;
    EXPECT_THAT(out, HasSubstr("the sun is above -6 degrees at 33.8,-84.4: waiting until 20:21 "
                               "(local time)\nthe night at 33.8,-84.4 ends at 06:5"));
    int frames = 0;
    ASSERT_EQ(
        std::sscanf(out.substr(out.find("frame_count = ")).c_str(), "frame_count = %d", &frames),
        1);
    EXPECT_GE(frames, 635); // 06:50
    EXPECT_LE(frames, 637); // 06:52
    auto sers = files(".ser");
    ASSERT_EQ(sers.size(), 1u);
    EXPECT_EQ(ser_verdict(sers[0], frames - 6), "ok"); // from the 7th frame, 20:22, on
}

// Svalbard (78.2 N) at midsummer: no night to record; the run ends at once, with status 0.
double svalbard_midsummer() { return 1718971200; } // 2024-06-21 12:00 UTC

TEST_F(LoopTest, APolarDayEndsTheRunAtOnceWithNothingRecorded)
{
    d->clock = svalbard_midsummer;
    ASSERT_EQ(run({init(Sensor{}), "--no-window", "--detect", "--night", "78.2,15.6"}), 0) << err;
    EXPECT_THAT(out, HasSubstr("the sun stays above -12 degrees at 78.2,15.6 for the next 24 hours "
                               "(polar day): no night to record\n"));
    EXPECT_THAT(out, HasSubstr("frame_count = 0\n"));
    EXPECT_TRUE(files(".ser").empty());
}

// The disk: `disk_room` bytes above the free space to keep before the first recording, and the
// room the files in the test's directory take from it; after 100 frames the space returns.
constexpr long long kKeep = 1 << 20;
constexpr long long kRoom = 100000;
long long disk_room = kRoom;
long long shrinking_disk(const char *directory)
{
    long long used = 0;
    for (const auto &entry : fs::directory_iterator(directory))
        if (entry.is_regular_file() && entry.path().extension() == ".ser")
            used += static_cast<long long>(entry.file_size());
    return kKeep + disk_room - used + (frame_count >= 100 ? 1LL << 30 : 0);
}

TEST_F(LoopTest, TheDiskGuardClosesTheRecordingWholeAndRefusesTheNextUntilSpaceReturns)
{
    SetFreeSpaceProbe(shrinking_disk);
    d->clock = frame_clock;
    int status =
        run({init(Sensor{}), "--no-window", "--record", "--keep-free", "1M", "--stop-after", "3s"});
    SetFreeSpaceProbe(nullptr);
    ASSERT_EQ(status, 0) << err;
    auto sers = files(".ser");
    ASSERT_EQ(sers.size(), 2u);
    // 64x48 16-bit frames: 6144 bytes and 8 of time stamp each, after a header of 178.
    const int fitted = static_cast<int>((kRoom - 178) / (6144 + 8));
    EXPECT_EQ(ser_verdict(sers[0], fitted), "ok");
    EXPECT_EQ(fs::file_size(sers[0]), 178u + fitted * (6144u + 8u));
    EXPECT_THAT(out, HasSubstr(std::to_string(fitted) + "frames\nRec Stop.\n"));
    EXPECT_EQ(err, "tolvacapture: less than 1.0 MB would be left free on the disk: " + sers[0] +
                       " closed; no new recording until space returns\n");
    // The second recording: from the 100th frame to the end.
    EXPECT_EQ(ser_verdict(sers[1], 150 - 100 + 1), "ok");
}

// A disk already short of the space to keep: the recording is refused, said once however often
// the schedule asks for it, and starts when space returns.
TEST_F(LoopTest, ADiskShortOfSpaceRefusesTheRecordingOnceUntilSpaceReturns)
{
    disk_room = 0;
    SetFreeSpaceProbe(shrinking_disk);
    d->clock = frame_clock;
    int status =
        run({init(Sensor{}), "--no-window", "--record", "--keep-free", "1M", "--stop-after", "3s"});
    SetFreeSpaceProbe(nullptr);
    disk_room = kRoom;
    ASSERT_EQ(status, 0) << err;
    EXPECT_EQ(err, "tolvacapture: recording refused: less than 1.0 MB would be left free on the "
                   "disk; free some space (or lower --keep-free)\n");
    auto sers = files(".ser");
    ASSERT_EQ(sers.size(), 1u);
    EXPECT_EQ(ser_verdict(sers[0], 150 - 100 + 1), "ok");
}

// The storage of the slow-storage test: by its clock each write takes 1/64 s, slower than the
// sensor's 100 frames a second; the 10th and the 90th write of each recording are held until the
// hand-over has overflowed (and the 64 frames it held are written before the first frame after
// the frames lost). The sensor's clock as the loop sees it: 10 ms a frame received or
// lost since the recording began.
const Driver *slow_driver;
constexpr double kSlowWriteSeconds = 1.0 / 64;
double slow_storage_clock()
{
    static double now = 0;
    static std::string last_held;
    const long long written = slow_driver->ser_frames;
    std::string write = slow_driver->recording_name + ":" + std::to_string(written);
    if ((written == 10 || written == 90) && write != last_held) {
        last_held = write;
        const std::uint64_t start = frames_made();
        stall_until([start] { return frames_made() - start >= 80; }); // more than held
    }
    return now += kSlowWriteSeconds; // each reading a write's time after the one before
}
double sensor_clock()
{
    return kRunStart +
           static_cast<double>(slow_driver->received_in_recording + slow_driver->recording_drops) *
               0.01;
}

// A recording that loses frames to slow storage: a SER recording of the frame counter, or a
// difference recording of the replayed night whose --pre and --post frames make it write every
// frame; the message expected for its frame size (written 64 frames a second, needed 100).
struct SlowStorage {
    const char *name;
    bool eight_bit;
    bool difference;
    const char *written, *needed;
};

class SlowStorageTest : public LoopTest, public testing::WithParamInterface<SlowStorage> {};

// Two recordings that lose frames to slow writes, twice each: the storage's message once a
// recording, with the rates measured and the advice that fits the samples; every frame written
// whole, in order.
TEST_P(SlowStorageTest, SaysOnceARecordingWithTheRatesMeasured)
{
    const SlowStorage &p = GetParam();
    slow_driver = d.get();
    d->clock = sensor_clock;
    d->write_clock = slow_storage_clock;
    Sensor s;
    s.counter = true;
    std::vector<std::string> options;
    if (p.difference) {
        s = replayed_night();
        options = {"--pre", "40", "--post", "40"};
    }
    if (p.eight_bit)
        options.push_back("-8");
    std::vector<int> keys;
    for (int recording = 0; recording < 2; ++recording) {
        keys.push_back(p.difference ? 'd' : 's');
        keys.resize(keys.size() + 170, -1);
        keys.push_back('e');
    }
    keys.push_back(kEsc);
    ASSERT_EQ(run_keys(s, keys, options), 0);
    const std::string message =
        std::string("tolvacapture: the storage cannot keep up: frames are written at ") +
        p.written + ", the sensor needs " + p.needed + ", and frames are lost; " +
        (p.eight_bit ? "use a smaller sensor mode\n"
                     : "record 8-bit samples (-8) or use a smaller sensor mode\n");
    EXPECT_EQ(err, message + message);
    auto sers = files(".ser");
    ASSERT_EQ(sers.size(), 2u);
    for (const auto &ser : sers) {
        std::int32_t count = 0;
        std::memcpy(&count, read_file(ser).data() + 38, 4);
        EXPECT_GE(count, p.difference ? 100 : 170) << ser;
        EXPECT_EQ(ser_verdict(ser, count, s.width, s.height, p.eight_bit ? 8 : 16), "ok") << ser;
        if (p.eight_bit || p.difference)
            continue; // the counter's samples are told apart at 16 bits
        // Whole counter frames in order (the checker fails otherwise), and frames lost.
        EXPECT_GT(counter_count(ser.substr(ser.rfind('/') + 1)).missing, 0)
            << "no frame lost in " << ser;
    }
    EXPECT_EQ(occurrences(" frames dropped\n"), 2) << out;
}

// The frames' bytes with their 8-byte stamps, 64 and 100 times a second.
INSTANTIATE_TEST_SUITE_P(
    Recordings, SlowStorageTest,
    testing::Values(SlowStorage{"SerSixteenBit", false, false, "393.7 kB/s", "615.2 kB/s"},
                    SlowStorage{"SerEightBit", true, false, "197.1 kB/s", "308.0 kB/s"},
                    SlowStorage{"DifferenceSixteenBit", false, true, "9.8 MB/s", "15.4 MB/s"}),
    [](const auto &info) { return std::string(info.param.name); });

// Frames lost in a difference recording between two frames with no write between them (the
// detection itself fell behind) are not put on the storage, however slow its writes were.
TEST(StoragePaceTest, ALossWithNothingWrittenSinceTheFrameBeforeIsNotPutOnTheStorage)
{
    Driver d;
    d.mode = MODE_DIFF_RECORDING;
    d.width = 64;
    d.height = 48;
    d.dpp = 16;
    d.clock = [] { return 101.0; };
    d.recording_start = 100; // a second: 100 frames received, 5 lost
    d.received_in_recording = 100;
    d.recording_drops = 5;
    d.ser_frames = 50; // written in a second of writes: slower than the sensor
    d.writing_seconds = 1;
    tolva::test::capture_stderr();
    check_storage_pace(d, 0);
    check_storage_pace(d, 5);
    EXPECT_EQ(tolva::test::captured_stderr(), "");
    ++d.ser_frames;
    tolva::test::capture_stderr();
    check_storage_pace(d, 5);
    EXPECT_THAT(tolva::test::captured_stderr(),
                HasSubstr("frames are written at 313.8 kB/s, the sensor needs 646.0 kB/s"));
}

// A wrong option value ends the program before the sensor is programmed.
TEST_F(LoopTest, AWrongOptionEndsWithStatusOneBeforeTheSensorIsProgrammed)
{
    ASSERT_EQ(run({init(Sensor{}), "--no-window", "--pre", "many"}), 1);
    EXPECT_EQ(err, "tolvacapture: --pre many: not a frame count; give 0 to 1000\n");
    EXPECT_TRUE(SimPi::instance().bus().log().empty());
    EXPECT_TRUE(WindowScript::get().changes().empty());
}

// Start-up's own exits, before the loop: after the bring-up where the board routes the camera's
// bus, before it where the init file may name the bus.
TEST_F(LoopTest, BadCommandLinesGiveTheUsageAfterBringUp)
{
    std::string before = RoutesCameraBus() ? "exec camera_i2c\n" : ")\n";
    for (auto arguments :
         std::vector<std::vector<std::string>>{{}, {"a.txt", "b.txt"}, {"a.txt", "-8", "x"}}) {
        d = std::make_unique<Driver>();
        ASSERT_EQ(run(arguments), 0);
        EXPECT_THAT(
            out,
            testing::EndsWith(
                before +
                "usage> ./tolvacapture sensor_init_file [-8] [--no-window] [--detect | --record] "
                "[--stop-after DURATION] [--stop-at HH:MM] [--night LAT,LON] [--sun-below DEG] "
                "[--keep-free SIZE] [--pre N] [--post N] [--status SECONDS]\n"));
        EXPECT_EQ(err, "");
    }
}

TEST_F(LoopTest, AnUnreadableInitFileEndsWithStatusOne)
{
    ASSERT_EQ(run({"-8", "-8"}), 1);
    EXPECT_EQ(err, RoutesCameraBus() ? "can't open -8\ntolvacapture: check_rawbit error\n"
                                     : "can't open -8\n");
    EXPECT_TRUE(WindowScript::get().changes().empty());
}

TEST_F(LoopTest, BringUpWaitsForTheSensor)
{
    if (!RoutesCameraBus())
        GTEST_SKIP() << "the CSI-2 source module powers the camera from boot";
    Knobs knobs = tolva::test::suite_knobs();
    knobs.camera_routed = false; // the board's routing sequence powers the camera up
    knobs.camera_probes = 5;
    knobs.events_per_minute = 0;
    SimPi::reset(knobs);
    ASSERT_EQ(run_keys(Sensor{}, {kEsc}), 0);
    EXPECT_GE(occurrences("exec camera_i2c\n"), 2);
}

TEST_F(LoopTest, PathsContainingTheMonochromeSensorNameAreMonochrome)
{
    fs::create_directory(dir.path() + "/imx397");
    WindowScript::get().add_keys({kEsc});
    ASSERT_EQ(run({init(Sensor{}, "imx397/imx477.txt")}), 0);
    EXPECT_THAT(out, HasSubstr("\nMonochrome Imagesensor Detect\n"));
    EXPECT_EQ(d->colorID, 0);
}

// One colour seen through each Bayer order: the chip's mirror and flip (image_orientation) move
// its mosaic, the init file's BAYER names the order; the PNG shows the same colour whatever the
// order, and the SER header carries the order's colour id.
class LoopBayerTest : public LoopTest, public testing::WithParamInterface<int> {};

TEST_P(LoopBayerTest, PictureAndSerFollowTheInitFilesOrder)
{
    const char *const kOrders[] = {"RGGB", "GRBG", "GBRG", "BGGR"};
    const int order = GetParam();
    std::string text = Sensor{}.text();
    // Red 2000, the greens 1000, blue 500, as the solid-colour test pattern's data.
    text.insert(text.rfind("0x0100 0x01"),
                "0x0101 " + std::to_string(order) +
                    "\n0x0600 0x0001 w\n0x0602 0x07D0 w\n"
                    "0x0604 0x03E8 w\n0x0606 0x01F4 w\n0x0608 0x03E8 w\n");
    WindowScript::get().add_keys({-1, 'w', 's', -1, 'e', kEsc});
    ASSERT_EQ(run({dir.write("bayer.txt", std::string("BAYER ") + kOrders[order] + "\n" + text)}),
              0);
    cv::Mat png = cv::imread(files(".png")[0], cv::IMREAD_UNCHANGED);
    ASSERT_EQ(png.type(), CV_8UC3);
    EXPECT_EQ(png.at<cv::Vec3b>(24, 32), cv::Vec3b(40, 80, 160)); // the levels x 0.08, as BGR
    const std::string ser = read_file(files(".ser")[0]);
    ASSERT_GT(ser.size(), 22u);
    EXPECT_EQ(ser[18], 8 + order); // ColorID, little-endian: RGGB 8, GRBG 9, GBRG 10, BGGR 11
    EXPECT_EQ(ser.substr(19, 3), std::string(3, '\0'));
}

INSTANTIATE_TEST_SUITE_P(Orders, LoopBayerTest,
                         testing::Values(BAYER_RGGB, BAYER_GRBG, BAYER_GBRG, BAYER_BGGR));

TEST_F(LoopTest, APipelineThatDoesNotOpenEndsWithStatusOne)
{
    Knobs knobs = tolva::test::suite_knobs();
    bool routed = RoutesCameraBus() != 0;
    (routed ? knobs.rx_no_pool : knobs.v4l2_busy) = true;
    SimPi::reset(knobs);
    ASSERT_EQ(run({init(Sensor{})}), 1);
    EXPECT_EQ(out.find("[Esc]"), std::string::npos);
    EXPECT_TRUE(WindowScript::get().changes().empty());
    // The init file had started streaming: the sensor is stopped, the failed step named.
    EXPECT_EQ(err, routed ? "tolvacapture: camera receiver: no buffer pool\n"
                          : "tolvacapture: /dev/video0: busy: another program uses the camera "
                            "receiver (a libcamera or rpicam application); end it and start "
                            "again\n");
    EXPECT_EQ(SimPi::instance().bus().log().back(), "10 W 01 00 00");
}

TEST_F(LoopTest, SizesThatGiveNoUnpackableDepthAreRefusedWithTheSensorStopped)
{
    Sensor s;
    s.bufsiz = 64 * 48; // 8 bits a pixel for a RAW12 sensor
    std::string path = init(s);
    ASSERT_EQ(run({path}), 1);
    EXPECT_EQ(err, path + ":4: BUFSIZ 3072 does not fit WIDTH 64 x HEIGHT 48 at RAWBIT 12 (4608 "
                          "to 4991 bytes)\n");
    EXPECT_EQ(out.find("[Esc]"), std::string::npos);
    auto log = SimPi::instance().bus().log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "10 W 01 00 00"); // the sensor was stopped
}

// A receiver that fills each line up to 32 bytes (2028 RAW12 samples: 3042 -> 3072 bytes) with a
// BUFSIZ that says so: the frame buffer, the SER frames and the RAW file hold each line's samples
// and nothing of the fill.
class LineFillTest : public LoopTest, public testing::WithParamInterface<bool> {
protected:
    static constexpr int kWidth = 2028, kHeight = 1520, kStride = 3072;

    void SetUp() override
    {
        LoopTest::SetUp();
        Knobs knobs = tolva::test::suite_knobs();
        knobs.events_per_minute = 0;
        knobs.line_align = 32;
        SimPi::reset(knobs);
    }

    Sensor counter_sensor() const
    {
        Sensor s;
        s.width = kWidth;
        s.height = kHeight;
        s.bufsiz = kStride * kHeight;
        s.counter = true;
        s.fps = 40;
        return s;
    }

    // The last frame unpacked, and its raw frame unpacked by the reference.
    void expect_frame_buffer_is_the_reference(bool raw8)
    {
        auto samples =
            tolva::test::unpack_reference(d->RawImage.get(), kWidth, kHeight, 12, kStride);
        const unsigned char *frame = d->BinImage2.get();
        for (std::size_t n = 0; n < samples.size(); ++n) {
            unsigned got = raw8 ? frame[n] : frame[2 * n] | frame[2 * n + 1] << 8;
            unsigned expected = raw8 ? samples[n] >> 4 : samples[n];
            ASSERT_EQ(got, expected) << "sample " << n % kWidth << "," << n / kWidth;
        }
    }
};

TEST_P(LineFillTest, FilesAndTheFrameBufferHoldTheSamplesWithoutTheFill)
{
    bool raw8 = GetParam();
    Sensor s = counter_sensor();
    ASSERT_EQ(run_keys(s, {'s', -1, 'w', -1, 'e', kEsc},
                       raw8 ? std::vector<std::string>{"-8"} : std::vector<std::string>{}),
              0)
        << err;
    expect_frame_buffer_is_the_reference(raw8);
    std::size_t frame_bytes = std::size_t{kWidth} * kHeight * (raw8 ? 1 : 2);
    EXPECT_EQ(d->BinSize, static_cast<int>(frame_bytes));

    auto raws = files(".raw");
    ASSERT_EQ(raws.size(), 1u);
    std::string raw = read_file(raws[0]);
    ASSERT_EQ(raw.size(), frame_bytes);
    auto fits = run_tool("fits_check.py", "'" + files(".fts")[0] + "' '" + raws[0] + "' " +
                                              std::to_string(kWidth) + " " +
                                              std::to_string(kHeight) + (raw8 ? " 1" : " 2"));
    EXPECT_EQ(fits.status, 0) << fits.output;

    auto sers = files(".ser");
    ASSERT_EQ(sers.size(), 1u);
    if (raw8) {
        auto result = run_tool("ser_reader.py", "'" + sers[0] + "' --count 5 --depth 8 --width " +
                                                    std::to_string(kWidth) + " --height " +
                                                    std::to_string(kHeight));
        EXPECT_EQ(result.status, 0) << result.output;
        return;
    }
    EXPECT_EQ(ser_verdict(sers[0], 5, kWidth, kHeight), "ok");
    // The counter frame: a sheared line or a fill sample breaks (first + x + y).
    EXPECT_EQ(counter_count(sers[0]).frames, 5);
    std::string ser = read_file(sers[0]);
    // The RAW file is one of the recorded frames, byte for byte.
    bool found = false;
    for (int k = 0; k < 5 && !found; ++k)
        found = ser.compare(178 + k * frame_bytes, frame_bytes, raw) == 0;
    EXPECT_TRUE(found) << "the RAW file is none of the recorded frames";
}

INSTANTIATE_TEST_SUITE_P(Depths, LineFillTest, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &info) {
                             return info.param ? "8bit" : "16bit";
                         });

} // namespace
