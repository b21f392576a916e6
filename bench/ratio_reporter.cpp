// How every benchmark reports speed: times as ratios to a main-memory memcpy of a 16-bit frame.
#include "ratio_reporter.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <numeric>

namespace tolva::bench {

namespace {

using Clock = std::chrono::steady_clock;

// The counter through which a Google Benchmark run names the bytes of its 16-bit frame.
const char kFrameCounter[] = "frame16_bytes";
// Reference copies before the benchmarks and as many after them.
constexpr int kRounds = 7;

double seconds_between(Clock::time_point start, Clock::time_point end)
{
    return std::chrono::duration<double>(end - start).count();
}

std::string format(const char *pattern, double a, double b = 0, double c = 0)
{
    char text[160];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

} // namespace

long long frame16_bytes(int width, int height) { return 2LL * width * height; }

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + middle, values.end());
    double upper = values[middle];
    if (values.size() % 2 != 0)
        return upper;
    double lower = *std::max_element(values.begin(), values.begin() + middle);
    return (lower + upper) / 2;
}

double mean(const std::vector<double> &values)
{
    if (values.empty())
        return 0;
    return std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

std::vector<double> MemcpyReference::copy_times(int rounds)
{
    auto size = static_cast<size_t>(kReferenceBytes);
    std::unique_ptr<unsigned char[]> from(new unsigned char[size]);
    std::unique_ptr<unsigned char[]> to(new unsigned char[size]);
    std::memset(from.get(), 0x5A, size);
    std::memcpy(to.get(), from.get(), size);
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        Clock::time_point start = Clock::now();
        std::memcpy(to.get(), from.get(), size);
        benchmark::DoNotOptimize(to.get());
        benchmark::ClobberMemory();
        times.push_back(seconds_between(start, Clock::now()));
    }
    return times;
}

MemcpyReference MemcpyReference::measure(int rounds)
{
    return MemcpyReference(median(copy_times(rounds)));
}

double MemcpyReference::bytes_per_second() const
{
    return static_cast<double>(kReferenceBytes) / seconds_;
}

double MemcpyReference::seconds_for(long long bytes) const
{
    return seconds_ * static_cast<double>(bytes) / static_cast<double>(kReferenceBytes);
}

double MemcpyReference::ratio(double seconds, long long bytes) const
{
    return seconds / seconds_for(bytes);
}

std::string RatioReport::ratio_text(double seconds, long long bytes) const
{
    return format("%.2fx", reference_.ratio(seconds, bytes));
}

std::string RatioReport::line(const std::string &name, double seconds, long long bytes) const
{
    char text[320];
    std::snprintf(text, sizeof text, "%-40s %7s memcpy  %9.3f ms (memcpy %.3f ms)", name.c_str(),
                  ratio_text(seconds, bytes).c_str(), seconds * 1e3,
                  reference_.seconds_for(bytes) * 1e3);
    return text;
}

std::string RatioReport::reference_line() const
{
    return format("reference: memcpy of 64 MiB between two 64 MiB buffers, %.3f ms (%.2f GB/s), "
                  "scaled to each 16-bit frame",
                  reference_.seconds() * 1e3, reference_.bytes_per_second() / 1e9);
}

void RatioReport::print_reference() const { std::fprintf(out_, "%s\n", reference_line().c_str()); }

void RatioReport::print(const std::string &name, double seconds, long long bytes) const
{
    std::fprintf(out_, "%s\n", line(name, seconds, bytes).c_str());
}

void compare_with_frame16(benchmark::State &state, int width, int height)
{
    state.counters[kFrameCounter] = static_cast<double>(frame16_bytes(width, height));
}

RatioConsoleReporter::RatioConsoleReporter() : copies_(MemcpyReference::copy_times(kRounds)) {}

void RatioConsoleReporter::ReportRuns(const std::vector<Run> &runs)
{
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
        auto counter = run.counters.find(kFrameCounter);
        if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0 ||
            counter == run.counters.end())
            continue;
        std::string name = run.run_name.str();
        if (runs_.count(name) == 0)
            order_.push_back(name);
        Measured &measured = runs_[name];
        measured.seconds.push_back(run.real_accumulated_time / static_cast<double>(run.iterations));
        measured.bytes = static_cast<long long>(counter->second.value);
    }
}

void RatioConsoleReporter::Finalize()
{
    ConsoleReporter::Finalize();
    std::printf("\n");
    std::vector<double> after = MemcpyReference::copy_times(kRounds);
    copies_.insert(copies_.end(), after.begin(), after.end());
    RatioReport report(MemcpyReference(median(copies_)));
    report.print_reference();
    for (const std::string &name : order_) {
        const Measured &measured = runs_[name];
        report.print(name, median(measured.seconds), measured.bytes);
    }
}

int run_benchmarks(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioConsoleReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

} // namespace tolva::bench
