// How every benchmark reports speed: a time as a ratio to a main-memory memcpy of one 16-bit
// frame of the size at hand, the reference measured in the same run.
#ifndef TOLVA_BENCH_RATIO_REPORTER_H
#define TOLVA_BENCH_RATIO_REPORTER_H

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace tolva::bench {

// The reference copy: 64 MiB between two buffers of 64 MiB, far more than any cache holds, so it
// runs at main-memory speed also when the frame it stands for would fit in a cache.
constexpr long long kReferenceBytes = 64LL << 20;

// Bytes of a frame of 16-bit samples: what the unpacker writes and the display and the
// difference step read.
long long frame16_bytes(int width, int height);

// The middle value (the mean of the two middle ones for an even count); 0 for none.
double median(std::vector<double> values);
double mean(const std::vector<double> &values);

// The time of the reference copy, scaled to any number of bytes.
class MemcpyReference {
public:
    explicit MemcpyReference(double seconds) : seconds_(seconds) {}
    // The times of `rounds` copies of kReferenceBytes, after one that faults the pages in.
    static std::vector<double> copy_times(int rounds);
    // The median of `rounds` copies.
    static MemcpyReference measure(int rounds = 9);

    double seconds() const { return seconds_; }
    double bytes_per_second() const;
    // The reference copy's time for `bytes` bytes.
    double seconds_for(long long bytes) const;
    // `seconds` over the reference copy of `bytes` bytes.
    double ratio(double seconds, long long bytes) const;

private:
    double seconds_;
};

// Lines of the form "unpack RAW12->16   1.31x memcpy   3.21 ms (memcpy 2.45 ms)".
class RatioReport {
public:
    explicit RatioReport(MemcpyReference reference, std::FILE *out = stdout)
        : reference_(reference), out_(out)
    {
    }
    const MemcpyReference &reference() const { return reference_; }

    // "1.31x"
    std::string ratio_text(double seconds, long long bytes) const;
    std::string line(const std::string &name, double seconds, long long bytes) const;
    // What the ratios are measured against, with the reference's time and bandwidth.
    std::string reference_line() const;

    void print_reference() const;
    void print(const std::string &name, double seconds, long long bytes) const;

private:
    MemcpyReference reference_;
    std::FILE *out_;
};

// Google Benchmark: a benchmark calls compare_with_frame16 with the frame it works on; after the
// library's own table, the reporter prints every such run (the median over repetitions) as a
// ratio to the reference: the median of copies made before and after the benchmarks.
void compare_with_frame16(benchmark::State &state, int width, int height);

class RatioConsoleReporter : public benchmark::ConsoleReporter {
public:
    RatioConsoleReporter();
    void ReportRuns(const std::vector<Run> &runs) override;
    void Finalize() override;

private:
    struct Measured {
        std::vector<double> seconds;
        long long bytes = 0;
    };
    std::vector<double> copies_;
    std::vector<std::string> order_;
    std::map<std::string, Measured> runs_;
};

// Initialise, run the benchmarks the command line selects with the ratio reporter, print the
// ratios: a benchmark program's whole main.
int run_benchmarks(int argc, char **argv);

} // namespace tolva::bench

#endif
