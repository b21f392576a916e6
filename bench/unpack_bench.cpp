// Unpacking a full-size raw frame against copying the same bytes: the unpacker's cost per frame.
#include "tolvacapture.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

// The largest frame the program meets: 4056 x 3040 pixels, RAW12, 6084 bytes a line.
constexpr int kWidth = 4056;
constexpr int kHeight = 3040;

std::vector<unsigned char> random_frame(int bpp)
{
    std::vector<unsigned char> frame(static_cast<size_t>(kWidth) * kHeight * bpp / 8);
    std::mt19937 random(7);
    for (auto &b : frame)
        b = static_cast<unsigned char>(random());
    return frame;
}

void BM_Unpack(benchmark::State &state)
{
    int bpp = static_cast<int>(state.range(0));
    int raw8 = static_cast<int>(state.range(1));
    std::vector<unsigned char> raw = random_frame(bpp);
    std::vector<unsigned char> out(static_cast<size_t>(kWidth) * kHeight * 2);
    for (auto _ : state) {
        CnvertImage(out.data(), raw.data(), static_cast<int>(raw.size()), bpp, raw8);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(raw.size()));
}

// The same raw bytes copied: what ReadRAW costs, the floor for any pass over the frame.
void BM_Memcpy(benchmark::State &state)
{
    int bpp = static_cast<int>(state.range(0));
    std::vector<unsigned char> raw = random_frame(bpp);
    std::vector<unsigned char> out(raw.size());
    for (auto _ : state) {
        std::memcpy(out.data(), raw.data(), raw.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(raw.size()));
}

BENCHMARK(BM_Memcpy)->Arg(10)->Arg(12)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Unpack)->Args({10, 0})->Args({12, 0})->Args({10, 1})->Args({12, 1})->Unit(
    benchmark::kMillisecond);

// Keeps each benchmark's CPU time per iteration (steadier than wall time on a shared machine), so
// the ratios come from the same run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration)
                seconds[run.benchmark_name()] = run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;
};

void print_ratio(const RatioReporter &r, const char *unpack, const char *copy)
{
    auto u = r.seconds.find(unpack), c = r.seconds.find(copy);
    if (u != r.seconds.end() && c != r.seconds.end())
        std::printf("%-20s / memcpy: %.2f\n", unpack, u->second / c->second);
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_ratio(reporter, "BM_Unpack/10/0", "BM_Memcpy/10");
    print_ratio(reporter, "BM_Unpack/12/0", "BM_Memcpy/12");
    print_ratio(reporter, "BM_Unpack/10/1", "BM_Memcpy/10");
    print_ratio(reporter, "BM_Unpack/12/1", "BM_Memcpy/12");
    return 0;
}
