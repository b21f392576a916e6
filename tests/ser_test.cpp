// Tests of the SER recorder: header, frames, time stamps, the side file and the failure paths,
// with every recording read back by an independent reader (tests/tools/ser_reader.py).
#include "output_capture.h"
#include "ser.h"
#include "ser_testing.h"
#include "test_support.h"
#include "tools/run_tool.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using tolva::test::capture_stderr;
using tolva::test::capture_stdout;
using tolva::test::captured_stderr;
using tolva::test::captured_stdout;
using tolva::test::read_file;
using tolva::test::run_tool;
using tolva::test::ScratchDir;
using tolva::test::shell_word;

namespace {

constexpr size_t kHeader = 178;
constexpr int kWidth = 8;
constexpr int kHeight = 4;
constexpr int kFrameBytes = kWidth * kHeight * 2;
// Ticks from 0001-01-01 to 1970-01-01, worked out independently of the recorder.
constexpr int64_t kUnixEpochTicks = 62135596800LL * 10000000;
constexpr int64_t kTicksPerHour = 3600LL * 10000000;

int64_t le(const std::string &bytes, size_t offset, int size)
{
    uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
    return size == 4 ? static_cast<int32_t>(value) : static_cast<int64_t>(value);
}

int64_t now_ticks()
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    return kUnixEpochTicks + (static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec) * 10;
}

std::vector<unsigned char> frame_of(int index, int size = kFrameBytes)
{
    std::vector<unsigned char> frame(size);
    for (int i = 0; i < size; ++i)
        frame[i] = static_cast<unsigned char>(index * 13 + i);
    return frame;
}

class SerTest : public testing::Test {
protected:
    void SetUp() override
    {
        side_file = path("timestamp.bin");
        TimeStampFile = side_file.c_str();
        InitSer(16, kWidth, kHeight, "sensor_init/imx477_4056x3040.txt", 8);
    }

    std::string path(const std::string &name) { return dir.path() + "/" + name; }

    // Records `frames` frames into `name`; returns standard output. The frames written are kept
    // in `written` for the reader.
    std::string record(const std::string &name, int frames, int frame_bytes = kFrameBytes)
    {
        capture_stdout();
        since = now_ticks();
        EXPECT_EQ(WriteSERHeader(path(name).c_str()), 0);
        for (int i = 0; i < frames; ++i) {
            std::vector<unsigned char> frame = frame_of(i, frame_bytes);
            if (WriteSERImage(frame.data(), frame_bytes, 16) == 0)
                written.insert(written.end(), frame.begin(), frame.end());
        }
        EXPECT_EQ(CloseSER(), 0);
        until = now_ticks();
        return captured_stdout();
    }

    // The independent reader accepts the file with `count` frames, those that were written.
    void expect_read_back(const std::string &name, int count, const std::string &expected = "")
    {
        std::string frames = path(name + ".frames");
        std::ofstream(frames, std::ios::binary)
            .write(reinterpret_cast<const char *>(written.data()),
                   static_cast<std::streamsize>(written.size()));
        auto reader =
            run_tool("ser_reader.py", shell_word(path(name)) + " --frames " + shell_word(frames) +
                                          " --count " + std::to_string(count) + " --since " +
                                          std::to_string(since) + " --until " +
                                          std::to_string(until) + expected);
        EXPECT_EQ(reader.status, 0) << reader.output;
        EXPECT_EQ(reader.output, std::to_string(count) + " frames\n");
    }

    ScratchDir dir;
    std::string side_file;
    std::vector<unsigned char> written;
    int64_t since = 0, until = 0;
};

TEST_F(SerTest, RecordingOfThreeFrames)
{
    std::string console = record("three.ser", 3);
    std::string file = read_file(path("three.ser"));
    ASSERT_EQ(file.size(), kHeader + 3 * kFrameBytes + 3 * 8);
    EXPECT_EQ(le(file, 38, 4), 3);
    EXPECT_TRUE(std::regex_match(
        console, std::regex("Rec Start\\.\n"
                            "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{6} JST\n"
                            "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{6} UTC\n"
                            "3frames\nRec Stop\\.\n")))
        << console;
    expect_read_back("three.ser", 3, " --width 8 --height 4 --depth 16 --color 8");
}

TEST_F(SerTest, SideFileHoldsEachFramesClockReading)
{
    record("side.ser", 2);
    std::string file = read_file(path("side.ser"));
    std::string side = read_file(side_file);
    ASSERT_EQ(side.size(), 2u * 12);
    for (int i = 0; i < 2; ++i) {
        int64_t seconds = le(side, 12 * i, 8);
        int64_t microseconds = le(side, 12 * i + 8, 4);
        EXPECT_LT(microseconds, 1000000);
        EXPECT_EQ(le(file, kHeader + 2 * kFrameBytes + 8 * i, 8),
                  kUnixEpochTicks + (seconds * 1000000 + microseconds) * 10);
    }
}

// A frame that waited in the capture hand-over keeps the time it was received: the trailer, the
// side file and the start times take the time given, for that frame only.
TEST_F(SerTest, GivenReceptionTimeStampsTheNextFrameOnly)
{
    capture_stdout();
    ASSERT_EQ(WriteSERHeader(path("given.ser").c_str()), 0);
    timeval received{1700000000, 250000}; // 2023-11-14 22:13:20.25 UTC
    SetSERFrameTime(&received);
    std::vector<unsigned char> frame = frame_of(0);
    ASSERT_EQ(WriteSERImage(frame.data(), kFrameBytes, 16), 0);
    int64_t before_second = now_ticks();
    ASSERT_EQ(WriteSERImage(frame.data(), kFrameBytes, 16), 0);
    CloseSER();
    std::string console = captured_stdout();
    std::string file = read_file(path("given.ser"));
    const int64_t given = kUnixEpochTicks + (1700000000LL * 1000000 + 250000) * 10;
    size_t trailer = kHeader + 2 * kFrameBytes;
    EXPECT_EQ(le(file, trailer, 8), given);
    EXPECT_GE(le(file, trailer + 8, 8), before_second); // the clock again
    EXPECT_EQ(le(file, 170, 8), given);                 // DateTime_UTC: the first frame's
    EXPECT_NE(console.find("2023-11-14 22:13:20.250000 UTC\n"), std::string::npos) << console;
    std::string side = read_file(side_file);
    EXPECT_EQ(le(side, 0, 8), 1700000000);
    EXPECT_EQ(le(side, 8, 4), 250000);
}

struct HeaderCase {
    int bpp, width, height, color;
    const char *init_file;
    const char *instrument;
};

void PrintTo(const HeaderCase &c, std::ostream *os)
{
    *os << c.init_file << " colour " << c.color << " bpp " << c.bpp;
}

class SerHeader : public SerTest, public testing::WithParamInterface<HeaderCase> {};

// A recording closed without a frame shows the template: zero count and times, no trailer.
TEST_P(SerHeader, TemplateFields)
{
    const HeaderCase &c = GetParam();
    InitSer(c.bpp, c.width, c.height, c.init_file, c.color);
    std::string console = record("empty.ser", 0);
    EXPECT_EQ(console, "Rec Start.\n0frames\nRec Stop.\n");
    std::string file = read_file(path("empty.ser"));
    ASSERT_EQ(file.size(), kHeader);
    EXPECT_EQ(file.substr(0, 14), "LUCAM-RECORDER");
    EXPECT_EQ(le(file, 14, 4), 0);
    EXPECT_EQ(le(file, 18, 4), c.color);
    EXPECT_EQ(le(file, 22, 4), 0);
    EXPECT_EQ(le(file, 26, 4), c.width);
    EXPECT_EQ(le(file, 30, 4), c.height);
    EXPECT_EQ(le(file, 34, 4), c.bpp);
    EXPECT_EQ(le(file, 38, 4), 0);
    EXPECT_EQ(file.substr(42, 40), "Observer" + std::string(32, ' '));
    std::string instrument = c.instrument;
    EXPECT_EQ(file.substr(82, 40), instrument + std::string(40 - instrument.size(), ' '));
    EXPECT_EQ(file.substr(122, 40), "Telescope" + std::string(31, ' '));
    EXPECT_EQ(le(file, 162, 8), 0);
    EXPECT_EQ(le(file, 170, 8), 0);
    expect_read_back("empty.ser", 0);
}

INSTANTIATE_TEST_SUITE_P(
    Sensors, SerHeader,
    testing::Values(HeaderCase{16, 640, 480, 8, "sensor_init/imx477_4056x3040.txt", "imx477"},
                    HeaderCase{16, 1456, 1088, 0, "sensor_init/imx296mono.txt", "imx296"},
                    HeaderCase{8, 640, 480, 8, "sensor_init/my_camera.txt", ""},
                    HeaderCase{16, 64, 48, 8, "imx1234567890123456789.txt", "imx12345678901234"}));

struct DateCase {
    int year, month, day, hour, minute, second, microsec;
    int64_t ticks;
};

void PrintTo(const DateCase &c, std::ostream *os)
{
    *os << c.year + 1900 << "-" << c.month + 1 << "-" << c.day << " " << c.hour << ":" << c.minute
        << ":" << c.second << "." << c.microsec;
}

class Date2Timestamp : public testing::TestWithParam<DateCase> {};

TEST_P(Date2Timestamp, TicksSinceYearOne)
{
    const DateCase &c = GetParam();
    EXPECT_EQ(date2timestamp(c.year, c.month, c.day, c.hour, c.minute, c.second, c.microsec),
              c.ticks);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, Date2Timestamp,
    testing::Values(DateCase{70, 0, 1, 0, 0, 0, 0, 621355968000000000},
                    DateCase{-1899, 0, 1, 0, 0, 0, 0, 0},
                    DateCase{124, 1, 29, 12, 0, 0, 500000, 638448048005000000},
                    DateCase{124, 2, 1, 0, 0, 0, 0, 638448480000000000},
                    // 2000 is a leap year, 2100 is not; 2040 is past the 32-bit seconds
                    DateCase{100, 2, 1, 0, 0, 0, 0, kUnixEpochTicks + 951868800LL * 10000000},
                    DateCase{200, 2, 1, 0, 0, 0, 0, kUnixEpochTicks + 4107542400LL * 10000000},
                    DateCase{140, 0, 1, 0, 0, 0, 7,
                             kUnixEpochTicks + 2208988800LL * 10000000 + 70}));

struct ZoneCase {
    const char *tz;
    int utc_offset_hours;
};

void PrintTo(const ZoneCase &c, std::ostream *os) { *os << c.tz; }

class SerTimeZone : public SerTest, public testing::WithParamInterface<ZoneCase> {
protected:
    void SetUp() override
    {
        SerTest::SetUp();
        const char *old = std::getenv("TZ");
        saved_tz = old ? old : "";
        had_tz = old != nullptr;
        setenv("TZ", GetParam().tz, 1);
        tzset();
    }
    void TearDown() override
    {
        if (had_tz)
            setenv("TZ", saved_tz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    std::string saved_tz;
    bool had_tz = false;
};

TEST_P(SerTimeZone, LocalAndUtcStartTimesDifferByTheZoneOffset)
{
    std::string console = record("zone.ser", 2);
    std::string file = read_file(path("zone.ser"));
    int64_t local = le(file, 162, 8), utc = le(file, 170, 8);
    EXPECT_EQ(local - utc, GetParam().utc_offset_hours * kTicksPerHour);
    EXPECT_EQ(le(file, kHeader + 2 * kFrameBytes, 8), utc);
    // The console shows both readings of the first frame; the local one is labelled JST anyway.
    std::smatch lines;
    ASSERT_TRUE(std::regex_search(console, lines,
                                  std::regex("(\\d\\d):\\d\\d:\\d\\d\\.(\\d{6}) JST\n"
                                             "[-\\d]{10} (\\d\\d):\\d\\d:\\d\\d\\.(\\d{6}) UTC\n")))
        << console;
    EXPECT_EQ((std::stoi(lines[3]) + GetParam().utc_offset_hours + 24) % 24, std::stoi(lines[1]));
    EXPECT_EQ(lines[2], lines[4]);
    EXPECT_EQ(std::stoll(lines[4]), utc / 10 % 1000000);
    expect_read_back("zone.ser", 2);
}

INSTANTIATE_TEST_SUITE_P(Zones, SerTimeZone,
                         testing::Values(ZoneCase{"UTC0", 0}, ZoneCase{"JST-9", 9},
                                         ZoneCase{"EST5", -5}));

TEST_F(SerTest, SideFileThatCannotBeOpenedLeavesTheRecordingWhole)
{
    std::string missing = path("no/such/dir/timestamp.bin");
    TimeStampFile = missing.c_str();
    std::string console = record("noside.ser", 3);
    EXPECT_NE(console.find("Rec Start.\ncan't open " + missing + "\n"), std::string::npos)
        << console;
    expect_read_back("noside.ser", 3);
}

TEST_F(SerTest, SideFileIsMadePrivateAndAnOldOneEmptied)
{
    std::ofstream(side_file) << std::string(100, 'x');
    chmod(side_file.c_str(), 0600);
    record("again.ser", 1);
    EXPECT_EQ(read_file(side_file).size(), 12u);
    std::filesystem::remove(side_file);
    record("new.ser", 2);
    struct stat st;
    ASSERT_EQ(stat(side_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 24);
}

// What another user could plant at the side file's fixed path: refused, nothing written
// through it, and the recording goes on without the side file.
TEST_F(SerTest, SideFileThatIsNotARegularFileOfTheUsersIsRefused)
{
    std::string target = dir.write("precious", "kept\n");
    std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string link = path("link");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    std::string hard = path("hard");
    ASSERT_EQ(::link(target.c_str(), hard.c_str()), 0);
    struct Planted {
        const std::string &path;
        const char *refusal;
    };
    for (const Planted &planted :
         {Planted{link, "it is a symbolic link"}, Planted{fifo, "it is not a regular file"},
          Planted{hard, "it has other hard links"}}) {
        TimeStampFile = planted.path.c_str();
        written.clear();
        capture_stderr();
        record("planted.ser", 2);
        EXPECT_EQ(captured_stderr(),
                  "tolvacapture: can't use " + planted.path + ": " + planted.refusal + "\n");
        expect_read_back("planted.ser", 2);
    }
    EXPECT_EQ(read_file(target), "kept\n");
}

// Reads the frame count at offset 38 of a recording that is still open.
int32_t count_in_file(const std::string &name)
{
    std::string file = read_file(name);
    return file.size() >= kHeader ? static_cast<int32_t>(le(file, 38, 4)) : -1;
}

// Polls the recorder until the header's count is `frames` or `seconds` have passed.
bool count_becomes(const std::string &name, int32_t frames, double seconds)
{
    for (int poll = 0; poll < seconds * 100; ++poll) {
        UpdateSERHeader();
        if (count_in_file(name) == frames)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A recording killed before its close still says how many frames it holds: the first frame
// is counted at once, later ones at least once a second, each time once they reach the disk.
TEST_F(SerTest, HeaderCountFollowsTheFramesWhileRecording)
{
    std::string name = path("open.ser");
    capture_stdout();
    ASSERT_EQ(WriteSERHeader(name.c_str()), 0);
    EXPECT_EQ(count_in_file(name), 0);
    std::vector<unsigned char> frame = frame_of(0);
    WriteSERImage(frame.data(), kFrameBytes, 16);
    EXPECT_TRUE(count_becomes(name, 1, 2.0));
    WriteSERImage(frame.data(), kFrameBytes, 16);
    WriteSERImage(frame.data(), kFrameBytes, 16);
    EXPECT_TRUE(count_becomes(name, 3, 3.0));
    EXPECT_EQ(std::filesystem::file_size(name), kHeader + 3 * kFrameBytes);
    EXPECT_EQ(CloseSER(), 0);
    captured_stdout();
    EXPECT_EQ(count_in_file(name), 3);
    EXPECT_EQ(std::filesystem::file_size(name), kHeader + 3 * kFrameBytes + 3 * 8);
}

TEST_F(SerTest, SerFileThatCannotBeOpenedIsReportedAndNothingElseHappens)
{
    std::string missing = path("no/such/dir/video.ser");
    std::vector<unsigned char> frame = frame_of(0);
    capture_stdout();
    EXPECT_EQ(WriteSERHeader(missing.c_str()), -1);
    EXPECT_EQ(WriteSERImage(frame.data(), kFrameBytes, 16), -1);
    EXPECT_EQ(CloseSER(), 0);
    EXPECT_EQ(captured_stdout(), "can't open " + missing + "\n");
}

TEST_F(SerTest, CloseWithoutRecordingDoesNothing)
{
    capture_stdout();
    EXPECT_EQ(CloseSER(), 0);
    EXPECT_EQ(captured_stdout(), "");
}

// The file size limit stands in for a full disk: writes past it fail as they would then.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old_);
        rlimit limit = old_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, old_handler_);
    }

private:
    rlimit old_;
    void (*old_handler_)(int);
};

struct FullCase {
    size_t room; // bytes the disk takes after the header
    int kept;    // frames the file keeps
};

void PrintTo(const FullCase &c, std::ostream *os) { *os << c.room << " bytes of room"; }

class SerDiskFull : public SerTest, public testing::WithParamInterface<FullCase> {};

TEST_P(SerDiskFull, KeepsWholeFramesWithCountAndTrailer)
{
    std::string name = path("full.ser");
    capture_stderr();
    {
        FileSizeLimit limit(kHeader + GetParam().room);
        record("full.ser", 5);
    }
    EXPECT_EQ(captured_stderr(),
              "tolvacapture: can't write " + name + ": " + std::strerror(EFBIG) + "\n");
    written.resize(GetParam().kept * kFrameBytes);
    expect_read_back("full.ser", GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(
    Room, SerDiskFull,
    testing::Values(FullCase{2 * kFrameBytes + kFrameBytes / 2, 2}, // third frame cut short
                    FullCase{2 * kFrameBytes + 10, 1},              // no room for two stamps
                    FullCase{kFrameBytes / 2, 0}));                 // not even one frame

// Descriptor of this process that has `file` open.
int descriptor_of(const std::string &file)
{
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error) == file)
            return std::stoi(entry.path().filename().string());
    }
    return -1;
}

// A recording whose frames and trailer lie past 2 GiB. Writing 2 GiB of frames would take
// seconds, so the file position is moved past a hole that stands for the earlier frames.
TEST_F(SerTest, FramesAndTrailerPastTwoGiB)
{
    constexpr int kBigFrame = 1 << 20;
    constexpr off_t kEarlierFrames = 2047;
    constexpr off_t kFirstFrameAt = kHeader + kEarlierFrames * kBigFrame;
    constexpr off_t kTwoGiB = off_t{1} << 31;
    static_assert(kFirstFrameAt < kTwoGiB && kFirstFrameAt + kBigFrame > kTwoGiB);
    struct statvfs fs;
    ASSERT_EQ(statvfs(dir.path().c_str(), &fs), 0);
    if (pathconf(dir.path().c_str(), _PC_FILESIZEBITS) <= 32 ||
        static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize < 64u * kBigFrame)
        GTEST_SKIP() << "the scratch file system cannot hold a sparse file past 2 GiB";

    std::string name = path("big.ser");
    std::vector<unsigned char> first = frame_of(1, kBigFrame), second = frame_of(2, kBigFrame);
    capture_stdout();
    ASSERT_EQ(WriteSERHeader(name.c_str()), 0);
    int fd = descriptor_of(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lseek(fd, kFirstFrameAt, SEEK_SET), kFirstFrameAt);
    EXPECT_EQ(WriteSERImage(first.data(), kBigFrame, 16), 0);
    EXPECT_EQ(WriteSERImage(second.data(), kBigFrame, 16), 0);
    EXPECT_EQ(CloseSER(), 0);
    captured_stdout();

    off_t trailer_at = kFirstFrameAt + 2 * kBigFrame;
    ASSERT_EQ(std::filesystem::file_size(name), static_cast<uintmax_t>(trailer_at + 16));
    int in = open(name.c_str(), O_RDONLY);
    ASSERT_GE(in, 0);
    std::string header(kHeader, '\0'), frame(kBigFrame, '\0'), trailer(16, '\0');
    EXPECT_EQ(pread(in, header.data(), kHeader, 0), static_cast<ssize_t>(kHeader));
    EXPECT_EQ(pread(in, frame.data(), kBigFrame, kFirstFrameAt + kBigFrame), kBigFrame);
    EXPECT_EQ(pread(in, trailer.data(), 16, trailer_at), 16);
    close(in);
    EXPECT_EQ(le(header, 38, 4), 2);
    EXPECT_EQ(frame, std::string(second.begin(), second.end()));
    EXPECT_EQ(le(trailer, 0, 8), le(header, 170, 8));
    EXPECT_LE(le(trailer, 0, 8), le(trailer, 8, 8));
}

} // namespace
