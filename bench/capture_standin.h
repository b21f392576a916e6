// A capture pipeline for the loop benchmark that always has a frame ready: the cap.h functions
// without a receiver, ReadRAW copying one of two prepared packed frames of sky noise, every few
// frames with a bright spot at a new place, so that a difference recording detects it. The slots
// it copies from fill more memory than any cache, as the receiver's hand-over does.
#ifndef TOLVA_BENCH_CAPTURE_STANDIN_H
#define TOLVA_BENCH_CAPTURE_STANDIN_H

#include <chrono>
#include <cstdint>
#include <vector>

namespace tolva::bench {

// Every kSpotEvery-th frame carries a kSpotSide x kSpotSide square at full scale.
constexpr int kSpotEvery = 5;
constexpr int kSpotSide = 16;

struct SpotPlace {
    int x;
    int y;
};

// Whether frame `index` (0 for the first ReadRAW since OpenSensor) carries the spot, and where
// it is then: a place that moves from one spot frame to the next, whole packing groups wide.
bool spot_frame(long long index);
SpotPlace spot_place(long long index, int width, int height);

// Packed lines (RAW10 or RAW12, unpadded) of sky noise: a level of 1/16 of full scale, give or
// take 1/128, from `seed`. ReadRAW alternates two of them, so consecutive frames differ by far
// less than the difference threshold.
void pack_noise_frame(unsigned seed, int width, int height, int bits, unsigned char *frame);
// Sets the samples under frame `index`'s spot to full scale, when it has one.
void paint_spot(long long index, int width, int height, int bits, unsigned char *frame);

// The start of every ReadRAW that returned a frame, since the last clear, up to the capacity
// reserved: the live loop's passes run from one to the next.
void reserve_pass_starts(size_t passes);
void clear_pass_starts();
const std::vector<std::chrono::steady_clock::time_point> &pass_starts();

} // namespace tolva::bench

#endif
