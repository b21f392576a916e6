// Cost of one simulated frame, as ratios measured in the same run: the sky's render time over
// the sensor's frame interval, and over a memcpy of the same frame.
#include "sky_scene.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

using namespace tolva::sim;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Arguments: width, height, bits, frames a second, transients a minute, drift a minute.
void BM_SkyFrame(benchmark::State &state)
{
    FrameGeometry geometry{static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                           static_cast<int>(state.range(2)), false, 1};
    double interval = 1.0 / static_cast<double>(state.range(3));
    SkySettings settings{1, static_cast<double>(state.range(4)),
                         static_cast<double>(state.range(5)), interval};
    SkyScene scene(geometry, settings);
    std::vector<std::uint8_t> frame(geometry.frame_bytes()), copy(geometry.frame_bytes());
    Clock::duration render{}, memcpy_time{};
    std::uint64_t index = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        scene.render(index++, frame.data());
        auto t1 = Clock::now();
        std::memcpy(copy.data(), frame.data(), frame.size());
        auto t2 = Clock::now();
        benchmark::DoNotOptimize(copy.data());
        render += t1 - t0;
        memcpy_time += t2 - t1;
    }
    double per_frame = seconds(render) / static_cast<double>(state.iterations());
    state.counters["render_ms"] = per_frame * 1e3;
    state.counters["of_interval"] = per_frame / interval;
    state.counters["of_memcpy"] = seconds(render) / seconds(memcpy_time);
}

BENCHMARK(BM_SkyFrame)
    ->ArgNames({"w", "h", "bits", "fps", "events", "drift"})
    ->Args({4056, 3040, 12, 10, 6, 0})
    ->Args({4056, 3040, 12, 10, 600, 0})
    ->Args({4056, 3040, 12, 10, 6, 1000})
    ->Args({1920, 1080, 10, 60, 6, 0})
    ->Args({1920, 1080, 10, 60, 600, 0})
    ->Args({1920, 1080, 10, 60, 6, 1000})
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
