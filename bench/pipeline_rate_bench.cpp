// Frame rate of the whole pipeline on the simulated Pi with each sensors/simulated/ file: frames
// the receiver delivered and frames ReadRAW handed over in 5 s, as ratios to the sensor's rate.
// The board is the one TOLVA_SIM_BOARD_REVISION names, so that the V4L2 back end runs it on a
// Pi 4 (Unicam) or a Pi 5 (CFE) as the MMAL one does on a legacy board.
#include "cap.h"
#include "quiet_stdout.h"
#include "sim_pi.h"
#include "suite_board.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace tolva::sim;

namespace {

using tolva::bench::QuietStdout;
using Clock = std::chrono::steady_clock;
constexpr auto kMeasure = std::chrono::seconds(5);
const char *const kFiles[] = {"sim_imx477_4056x3040_raw12.txt", "sim_imx477_2028x1520_raw12.txt",
                              "sim_imx290_1920x1080_raw10.txt", "sim_imx219_3280x2464_raw10.txt",
                              "sim_imx397_1440x1080_raw10_mono.txt"};

void BM_PipelineRate(benchmark::State &state)
{
    std::string path =
        std::string(TOLVA_SOURCE_DIR) + "/sensors/simulated/" + kFiles[state.range(0)];
    state.SetLabel(kFiles[state.range(0)]);
    for (auto _ : state) {
        SimPi &pi = SimPi::reset(tolva::test::suite_knobs());
        int status;
        {
            QuietStdout quiet;
            status = FindCameraBus(path.c_str()) < 0 ? -1 : OpenSensor(path.c_str());
        }
        if (status != 0) {
            state.SkipWithError("OpenSensor failed");
            return;
        }
        double nominal = 1.0 / pi.sensor().stream_settings().frame_interval_s;
        std::vector<unsigned char> raw(static_cast<std::size_t>(GetBufSiz()));
        while (pi.frames_handed_over() == 0) // the scene is built before the first frame
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::uint64_t first = pi.frames_handed_over();
        long long read = 0;
        auto end = Clock::now() + kMeasure;
        while (Clock::now() < end) {
            read += ReadRAW(raw.data());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        double delivered = static_cast<double>(pi.frames_handed_over() - first);
        CloseSensor(0);
        double seconds = std::chrono::duration<double>(kMeasure).count();
        state.counters["nominal_fps"] = nominal;
        state.counters["delivered_of_nominal"] = delivered / seconds / nominal;
        state.counters["read_of_nominal"] = static_cast<double>(read) / seconds / nominal;
    }
}

BENCHMARK(BM_PipelineRate)->DenseRange(0, 4)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
