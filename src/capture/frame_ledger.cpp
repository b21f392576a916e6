// Frame ledger: the drop counts and frame times of cap.h, kept once for both capture back ends.
#include "frame_ledger.h"

#include "cap.h"

#include <atomic>
#include <cstdint>
#include <ctime>

namespace {

constexpr std::int64_t kMicrosPerSecond = 1000000;
constexpr std::int64_t kNanosPerMicro = 1000;

// DropCount may grow on a receiver's thread; the frame's gap and time belong to ReadRAW's.
std::atomic<unsigned> DropCount{0};
unsigned LastGap;
timeval LastTime;

std::int64_t micros(const timespec &t)
{
    return static_cast<std::int64_t>(t.tv_sec) * kMicrosPerSecond + t.tv_nsec / kNanosPerMicro;
}

} // namespace

void ledger_reset(void)
{
    DropCount.store(0, std::memory_order_relaxed);
    LastGap = 0;
    LastTime = timeval{};
}

void ledger_count_lost(unsigned frames) { DropCount.fetch_add(frames, std::memory_order_relaxed); }

void ledger_frame_taken(unsigned gap, const struct timeval &received)
{
    LastGap = gap;
    LastTime = received;
}

unsigned ledger_sequence_gap(std::uint32_t expected, std::uint32_t sequence)
{
    // A sequence number behind the expected one (the stream started again) loses nothing.
    std::uint32_t ahead = sequence - expected;
    return ahead > UINT32_MAX / 2 ? 0 : ahead;
}

struct timeval ledger_wall_clock(const struct timeval &monotonic)
{
    timespec now_wall{}, now_monotonic{};
    clock_gettime(CLOCK_REALTIME, &now_wall);
    clock_gettime(CLOCK_MONOTONIC, &now_monotonic);
    std::int64_t age =
        micros(now_monotonic) -
        (static_cast<std::int64_t>(monotonic.tv_sec) * kMicrosPerSecond + monotonic.tv_usec);
    std::int64_t wall = micros(now_wall) - age;
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(wall / kMicrosPerSecond);
    tv.tv_usec = static_cast<suseconds_t>(wall % kMicrosPerSecond);
    return tv;
}

int GetDropCount(void) { return static_cast<int>(DropCount.load(std::memory_order_relaxed)); }
int GetFrameGap(void) { return static_cast<int>(LastGap); }
void GetFrameTime(struct timeval *tv) { *tv = LastTime; }
