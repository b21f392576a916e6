// A capture pipeline for the loop benchmark that always has a frame ready (no receiver thread).
#include "capture_standin.h"

#include "cap.h"
#include "i2c.h"
#include "raw_pack.h"

#include <sys/time.h>

#include <algorithm>
#include <cstring>

namespace tolva::bench {

namespace {

using Clock = std::chrono::steady_clock;

// The hand-over: slots of the two noise frames in turn, owned here from OpenSensor on; ReadRAW
// copies the next one on the caller's thread. The slots hold at least kHandOverBytes, more than
// any cache, so that ReadRAW reads main memory as it does from the receiver's hand-over. Frames
// handed over since OpenSensor count the spots.
constexpr size_t kHandOverBytes = size_t{64} << 20;
std::vector<std::vector<unsigned char>> Slots;
int Width;
int Height;
int BufSiz;
int Bits;
long long FramesRead;
timeval LastTime;
std::vector<Clock::time_point> PassStarts;

// Cheap and deterministic: the frames are the same in every run.
unsigned next_random(unsigned &state)
{
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

size_t line_bytes(int width, int bits) { return sim::packed_line_bytes(width, bits); }

} // namespace

bool spot_frame(long long index) { return index % kSpotEvery == 0; }

SpotPlace spot_place(long long index, int width, int height)
{
    // A spot frame after the next, spread over the frame away from its edges; x on whole
    // groups of four samples, which fill whole bytes in both packings.
    auto n = static_cast<unsigned>(index / kSpotEvery);
    unsigned state = n * 2654435761u + 1u;
    int x_room = width - 2 * kSpotSide, y_room = height - 2 * kSpotSide;
    int x = kSpotSide + static_cast<int>(next_random(state) % static_cast<unsigned>(x_room));
    int y = kSpotSide + static_cast<int>(next_random(state) % static_cast<unsigned>(y_room));
    return {x & ~3, y};
}

void pack_noise_frame(unsigned seed, int width, int height, int bits, unsigned char *frame)
{
    int full = (1 << bits) - 1;
    int level = full / 16, spread = full / 128;
    std::vector<std::uint16_t> line(static_cast<size_t>(width));
    size_t stride = line_bytes(width, bits);
    unsigned state = seed;
    for (int y = 0; y < height; ++y) {
        for (auto &sample : line)
            sample = static_cast<std::uint16_t>(
                level - spread + static_cast<int>(next_random(state) % (2u * spread + 1)));
        sim::pack_line(line.data(), width, bits, frame + stride * static_cast<size_t>(y));
    }
}

void paint_spot(long long index, int width, int height, int bits, unsigned char *frame)
{
    if (!spot_frame(index))
        return;
    SpotPlace place = spot_place(index, width, height);
    size_t stride = line_bytes(width, bits);
    size_t from = static_cast<size_t>(place.x) * static_cast<size_t>(bits) / 8;
    size_t bytes = static_cast<size_t>(kSpotSide) * static_cast<size_t>(bits) / 8;
    for (int y = place.y; y < place.y + kSpotSide; ++y)
        std::memset(frame + stride * static_cast<size_t>(y) + from, 0xFF, bytes);
}

void reserve_pass_starts(size_t passes) { PassStarts.reserve(passes); }
void clear_pass_starts() { PassStarts.clear(); }
const std::vector<Clock::time_point> &pass_starts() { return PassStarts; }

} // namespace tolva::bench

using namespace tolva::bench;

// The camera's bus comes up as the VideoCore receiver's does: the board's routing leaves it on 0.
int RoutesCameraBus(void) { return 1; }

int FindCameraBus(const char * /*fname*/)
{
    SetCameraBus(0);
    return 0;
}

// The sensor is programmed from the init file as by the real pipeline (on the simulated Pi's
// bus), which gives the frame's geometry; the frames themselves are made here.
int OpenSensor(const char *fname)
{
    if (InitSensor(fname, &Width, &Height, &BufSiz) != 0)
        return -1;
    Bits = check_rawbit(fname);
    size_t frame = line_bytes(Width, Bits) * static_cast<size_t>(Height);
    if (Bits < 0 || frame != static_cast<size_t>(BufSiz))
        return -1;
    size_t pairs = std::max<size_t>(1, (kHandOverBytes / frame + 1) / 2);
    Slots.assign(2 * pairs, std::vector<unsigned char>(frame));
    pack_noise_frame(1, Width, Height, Bits, Slots[0].data());
    pack_noise_frame(2, Width, Height, Bits, Slots[1].data());
    for (size_t k = 2; k < Slots.size(); ++k)
        Slots[k] = Slots[k % 2];
    FramesRead = 0;
    return 0;
}

int CloseSensor(int status)
{
    if (status >= 0)
        StopSensor();
    return 0;
}

int ReadRAW(unsigned char *buf)
{
    if (PassStarts.size() < PassStarts.capacity())
        PassStarts.push_back(Clock::now());
    const auto &slot = Slots[static_cast<size_t>(FramesRead) % Slots.size()];
    std::memcpy(buf, slot.data(), static_cast<size_t>(BufSiz));
    paint_spot(FramesRead, Width, Height, Bits, buf);
    gettimeofday(&LastTime, nullptr);
    ++FramesRead;
    return 1;
}

void BufferFrames(int) {}
int GetHeldFrames(void) { return 1; }
int GetDropCount(void) { return 0; }
int GetFrameGap(void) { return 0; }
void GetFrameTime(struct timeval *tv) { *tv = LastTime; }
int GetWidth(void) { return Width; }
int GetHeight(void) { return Height; }
int GetBufSiz(void) { return BufSiz; }
