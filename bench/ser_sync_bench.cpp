// What keeping a SER recording's frame count current costs the live loop, and what a
// synchronous fdatasync on the loop would cost instead, for the sensor `make run` uses
// (2028 x 1520, 16-bit samples, 40 frames a second).
//
// usage: ser_sync_bench [DIR]   DIR: where the files go, the working directory by default;
//                               run it on the card or disk that recordings go to.
// Prints ratios measured in one run: the recorder's time per second of frames over plain
// write() calls of the same bytes, and an fdatasync after one second of frames in frame
// intervals (the frames a loop that waited for it would lose).
#include "ser.h"
#include "ser_testing.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 2028;
constexpr int kHeight = 1520;
constexpr int kFrameBytes = kWidth * kHeight * 2;
constexpr int kFramesPerSecond = 40;
constexpr int kRounds = 3;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One second of frames written with write(); fdatasync afterwards when `sync` is given.
double write_plain(const std::string &name, const std::vector<unsigned char> &frame, double *sync)
{
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::perror(name.c_str());
        return 0;
    }
    Clock::time_point start = Clock::now();
    for (int n = 0; n < kFramesPerSecond; ++n)
        if (write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
            std::perror(name.c_str());
    double written = seconds_since(start);
    if (sync) {
        start = Clock::now();
        fdatasync(fd);
        *sync = seconds_since(start);
    }
    close(fd);
    unlink(name.c_str());
    return written;
}

double write_recorder(const std::string &name, std::vector<unsigned char> &frame)
{
    WriteSERHeader(name.c_str());
    Clock::time_point start = Clock::now();
    for (int n = 0; n < kFramesPerSecond; ++n) {
        WriteSERImage(frame.data(), kFrameBytes, 16);
        UpdateSERHeader();
    }
    double written = seconds_since(start);
    CloseSER();
    unlink(name.c_str());
    return written;
}

} // namespace

int main(int argc, char **argv)
{
    std::string dir = argc > 1 ? argv[1] : ".";
    std::string stamps = dir + "/ser_sync_bench.stamps";
    TimeStampFile = stamps.c_str();
    InitSer(16, kWidth, kHeight, "imx477", 8);
    std::vector<unsigned char> frame(kFrameBytes);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<unsigned char>(i * 7);

    std::vector<double> plain, recorder, sync;
    for (int round = 0; round < kRounds; ++round) {
        double synced = 0;
        plain.push_back(write_plain(dir + "/ser_sync_bench.raw", frame, nullptr));
        recorder.push_back(write_recorder(dir + "/ser_sync_bench.ser", frame));
        write_plain(dir + "/ser_sync_bench.raw", frame, &synced);
        sync.push_back(synced);
    }
    unlink(stamps.c_str());
    double interval = 1.0 / kFramesPerSecond;
    std::printf("%d frames of %d bytes a round, %d rounds, in %s\n", kFramesPerSecond, kFrameBytes,
                kRounds, dir.c_str());
    std::printf("recorder / plain write:               %.2f\n", median(recorder) / median(plain));
    std::printf("writing a second of frames / 1 s:     %.2f\n", median(plain));
    std::printf("fdatasync after them / frame interval: %.1f (frames a waiting loop would lose)\n",
                median(sync) / interval);
    return 0;
}
