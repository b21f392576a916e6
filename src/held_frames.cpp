// The frames held before a run of detections: one allocation, copies in, oldest first out.
#include "held_frames.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace {

struct FreeMemory {
    void operator()(unsigned char *p) const { std::free(p); }
};

std::unique_ptr<unsigned char[], FreeMemory> Memory;
std::vector<timeval> Times;
std::size_t FrameBytes = 0;
int Capacity = 0;
int Oldest = 0;
int Held = 0;

unsigned char *slot(int index)
{
    return Memory.get() + static_cast<std::size_t>(index) * FrameBytes;
}

} // namespace

int RingInit(int frames, long long bytes)
{
    RingFree();
    if (frames <= 0 || bytes <= 0)
        return 0;
    // On 32-bit systems the product may not fit a size_t: no wrapped, smaller allocation.
    const std::size_t count = static_cast<std::size_t>(frames);
    if (static_cast<unsigned long long>(bytes) > std::numeric_limits<std::size_t>::max() / count)
        return -1;
    Memory.reset(
        static_cast<unsigned char *>(std::malloc(count * static_cast<std::size_t>(bytes))));
    if (!Memory)
        return -1;
    Times.assign(static_cast<std::size_t>(frames), timeval{});
    FrameBytes = static_cast<std::size_t>(bytes);
    Capacity = frames;
    return 0;
}

void RingFree(void)
{
    Memory.reset();
    Times.clear();
    FrameBytes = 0;
    Capacity = 0;
    RingClear();
}

void RingHold(const unsigned char *frame, const timeval &received)
{
    if (Capacity == 0)
        return;
    int index = (Oldest + Held) % Capacity;
    if (Held == Capacity)
        Oldest = (Oldest + 1) % Capacity;
    else
        ++Held;
    std::memcpy(slot(index), frame, FrameBytes);
    Times[static_cast<std::size_t>(index)] = received;
}

int RingCount(void) { return Held; }

void RingTake(void (*take)(unsigned char *frame, const timeval &received, void *context),
              void *context)
{
    for (int k = 0; k < Held; ++k) {
        int index = (Oldest + k) % Capacity;
        take(slot(index), Times[static_cast<std::size_t>(index)], context);
    }
    RingClear();
}

void RingClear(void)
{
    Oldest = 0;
    Held = 0;
}
