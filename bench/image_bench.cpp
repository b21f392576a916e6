// The difference step (image operations) and the same work done with OpenCV, each as a ratio to
// a main-memory memcpy of the 16-bit frame.
#include "image.h"
#include "ratio_reporter.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>

#include <random>

namespace {

constexpr unsigned short kThreshold = 50; // a difference this large counts as a change
constexpr int kMaxSample = 1023;          // 10-bit frames

// Two consecutive frames of noise around a sky level, with a few brighter points in the second.
struct Frames {
    explicit Frames(cv::Size size)
        : current(size, CV_16UC1), previous(size, CV_16UC1), diff(size, CV_16UC1),
          stack(size, CV_16UC1, cv::Scalar(0))
    {
        std::mt19937 rng(7);
        std::normal_distribution<float> sky(200.0f, 8.0f);
        for (cv::Mat *m : {&current, &previous}) {
            m->forEach<unsigned short>([&](unsigned short &v, const int *) {
                v = cv::saturate_cast<unsigned short>(std::min(sky(rng), float(kMaxSample)));
            });
        }
        cv::rectangle(current, cv::Rect(size.width / 3, size.height / 4, 40, 6),
                      cv::Scalar(kMaxSample), cv::FILLED);
    }
    cv::Mat current, previous, diff, stack;
};

unsigned short *px(cv::Mat &m) { return m.ptr<unsigned short>(); }

void difference_step_image(benchmark::State &state)
{
    Frames f({static_cast<int>(state.range(0)), static_cast<int>(state.range(1))});
    const int w = f.diff.cols, h = f.diff.rows;
    for (auto _ : state) {
        DifImage(px(f.diff), px(f.current), px(f.previous), w, h, 0);
        NRImage(px(f.diff), kThreshold, w, h);
        BinzImage(px(f.diff), kThreshold, w, h);
        float changed = CountImage(px(f.diff), kThreshold, w, h);
        double ax, ay, sx, sy;
        SDeviImage(px(f.diff), kThreshold, w, h, &ax, &ay, &sx, &sy);
        SLImage(px(f.stack), px(f.diff), w, h, 0);
        benchmark::DoNotOptimize(changed);
        benchmark::DoNotOptimize(sx);
    }
    tolva::bench::compare_with_frame16(state, w, h);
}

// Isolated-point removal as OpenCV would do it: the four neighbours' maximum by a cross dilation,
// points above the threshold with all four below it take their left neighbour.
void remove_isolated_points(cv::Mat &diff, const cv::Mat &cross, cv::Mat &around, cv::Mat &lone)
{
    cv::dilate(diff, around, cross);
    cv::Mat above = diff > kThreshold;
    cv::Mat dark_around = around < kThreshold;
    cv::bitwise_and(above, dark_around, lone);
    const cv::Rect inner(1, 1, diff.cols - 2, diff.rows - 2);
    const cv::Rect left(0, 1, diff.cols - 2, diff.rows - 2);
    diff(left).copyTo(diff(inner), lone(inner));
}

void difference_step_opencv(benchmark::State &state)
{
    Frames f({static_cast<int>(state.range(0)), static_cast<int>(state.range(1))});
    const cv::Mat cross = (cv::Mat_<unsigned char>(3, 3) << 0, 1, 0, 1, 0, 1, 0, 1, 0);
    cv::Mat around, lone, mask;
    for (auto _ : state) {
        cv::subtract(f.current, f.previous, f.diff); // saturates at 0: the increase only
        remove_isolated_points(f.diff, cross, around, lone);
        cv::threshold(f.diff, f.diff, kThreshold, 65535, cv::THRESH_BINARY);
        float changed = float(cv::countNonZero(f.diff)) / float(f.diff.total());
        cv::Moments m = cv::moments(f.diff, true);
        double sx = std::sqrt(m.mu20 / m.m00);
        cv::max(f.stack, f.diff, f.stack);
        benchmark::DoNotOptimize(changed);
        benchmark::DoNotOptimize(sx);
    }
    tolva::bench::compare_with_frame16(state, f.diff.cols, f.diff.rows);
}

} // namespace

BENCHMARK(difference_step_image)
    ->Name("DifferenceStep/image")
    ->Args({1920, 1080})
    ->Args({4056, 3040})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(difference_step_opencv)
    ->Name("DifferenceStep/opencv")
    ->Args({1920, 1080})
    ->Args({4056, 3040})
    ->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) { return tolva::bench::run_benchmarks(argc, argv); }
