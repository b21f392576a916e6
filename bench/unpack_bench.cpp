// Unpacking a full-size raw frame: the unpacker's cost per frame, as a ratio to a main-memory
// memcpy of the 16-bit frame it writes.
#include "ratio_reporter.h"
#include "tolvacapture.h"

#include <benchmark/benchmark.h>

#include <random>
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
    tolva::bench::compare_with_frame16(state, kWidth, kHeight);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(raw.size()));
}

BENCHMARK(BM_Unpack)->Args({10, 0})->Args({12, 0})->Args({10, 1})->Args({12, 1})->Unit(
    benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) { return tolva::bench::run_benchmarks(argc, argv); }
