// The night sky of the virtual sensor.
#include "sky_scene.h"

#include "test_pattern.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tolva::sim {

namespace {

constexpr int kNoiseVariants = 4;      // frames cycle through these noise realisations
constexpr int kMaxTransientFrames = 8; // the longest meteor, in frames
constexpr double kBlurReach = 3.0;     // a blur stops this many sigmas out
constexpr double kBackground = 0.04;   // sky level, share of full scale
constexpr int kPixelsPerStar = 2000;
constexpr int kPixelsPerHotPixel = 100000;
constexpr double kStarSigma = 1.2;
constexpr int kStarReach = 4; // pixels around a star's centre that get its light
constexpr double kMeteorSigma = 1.0;
// Background colour of the sky through the colour filter: red, green, blue.
constexpr double kSkyColour[3] = {0.9, 1.0, 0.8};
constexpr int kChannelColour[4] = {0, 1, 1, 2};

// Independent streams of the one seed.
enum Salt : std::uint64_t { kStarSalt = 1, kHotSalt, kNoiseSalt, kEventSalt };

std::uint64_t mix(std::uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

std::uint64_t hash(std::uint64_t a, std::uint64_t b) { return mix(a ^ mix(b)); }

double unit(std::uint64_t h) { return static_cast<double>(h >> 11) * 0x1.0p-53; }

// Standard normal, near enough: the sum of four uniform 16-bit parts of one hash.
float gauss(std::uint64_t h)
{
    constexpr float kMean = 4 * 32767.5f;
    constexpr float kSpread = 65535.0f * 0.57735027f; // sqrt(4 / 12) of the full range
    float sum =
        static_cast<float>((h & 0xFFFF) + (h >> 16 & 0xFFFF) + (h >> 32 & 0xFFFF) + (h >> 48));
    return (sum - kMean) / kSpread;
}

double distance_to_segment(double x, double y, const Transient &t)
{
    double dx = t.x1 - t.x0, dy = t.y1 - t.y0;
    double length2 = dx * dx + dy * dy;
    double along =
        length2 > 0 ? std::clamp(((x - t.x0) * dx + (y - t.y0) * dy) / length2, 0.0, 1.0) : 0.0;
    return std::hypot(x - (t.x0 + along * dx), y - (t.y0 + along * dy));
}

std::uint16_t clamp_sample(double value, std::uint16_t max)
{
    return static_cast<std::uint16_t>(std::clamp(std::lround(value), 0L, static_cast<long>(max)));
}

} // namespace

int Transient::first_line() const
{
    return static_cast<int>(std::floor(std::min(y0, y1) - kBlurReach * sigma));
}

int Transient::last_line() const
{
    return static_cast<int>(std::ceil(std::max(y0, y1) + kBlurReach * sigma));
}

SkyScene::SkyScene(const FrameGeometry &geometry, const SkySettings &settings)
    : FrameSource(geometry), settings_(settings)
{
    build_sky();
    build_variants();
}

void SkyScene::build_sky()
{
    std::size_t w = static_cast<std::size_t>(geometry_.width);
    std::vector<float> sky(w * static_cast<std::size_t>(geometry_.height));
    double level = kBackground * geometry_.max_sample();
    for (int y = 0; y < geometry_.height; ++y)
        for (int x = 0; x < geometry_.width; ++x)
            sky[y * w + x] = static_cast<float>(
                geometry_.monochrome
                    ? level
                    : level * kSkyColour[kChannelColour[bayer_channel(x, y, geometry_.bayer)]]);
    add_stars(sky);
    add_hot_pixels(sky);
    sky_.resize(sky.size());
    std::transform(sky.begin(), sky.end(), sky_.begin(),
                   [&](float v) { return clamp_sample(v, geometry_.max_sample()); });

    double max = geometry_.max_sample();
    double read = max / 500.0 + 0.5, shot = max / 1023.0 * 0.3;
    sigma_.resize(static_cast<std::size_t>(max) + 1);
    for (std::size_t s = 0; s < sigma_.size(); ++s)
        sigma_[s] = static_cast<float>(std::sqrt(read * read + static_cast<double>(s) * shot));
}

void SkyScene::add_stars(std::vector<float> &sky) const
{
    long long pixels = static_cast<long long>(geometry_.width) * geometry_.height;
    long long stars = pixels / kPixelsPerStar;
    for (long long k = 0; k < stars; ++k) {
        std::uint64_t h = hash(settings_.seed ^ kStarSalt, static_cast<std::uint64_t>(k));
        double cx = unit(mix(h + 1)) * geometry_.width, cy = unit(mix(h + 2)) * geometry_.height;
        double peak = geometry_.max_sample() * (0.02 + 0.9 * std::pow(unit(mix(h + 3)), 6));
        double warmth = unit(mix(h + 4));
        double colour[3] = {0.7 + 0.6 * warmth, 1.0, 1.3 - 0.6 * warmth};
        int x0 = std::max(0, static_cast<int>(cx) - kStarReach);
        int x1 = std::min(geometry_.width - 1, static_cast<int>(cx) + kStarReach);
        int y0 = std::max(0, static_cast<int>(cy) - kStarReach);
        int y1 = std::min(geometry_.height - 1, static_cast<int>(cy) + kStarReach);
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) {
                double d2 = (x + 0.5 - cx) * (x + 0.5 - cx) + (y + 0.5 - cy) * (y + 0.5 - cy);
                double tint = geometry_.monochrome
                                  ? 1.0
                                  : colour[kChannelColour[bayer_channel(x, y, geometry_.bayer)]];
                sky[static_cast<std::size_t>(y) * geometry_.width + x] +=
                    static_cast<float>(peak * tint * std::exp(-d2 / (2 * kStarSigma * kStarSigma)));
            }
    }
}

void SkyScene::add_hot_pixels(std::vector<float> &sky) const
{
    std::size_t pixels = sky.size();
    std::size_t hot = std::max<std::size_t>(1, pixels / kPixelsPerHotPixel);
    for (std::size_t k = 0; k < hot && pixels > 0; ++k) {
        std::uint64_t h = hash(settings_.seed ^ kHotSalt, k);
        sky[mix(h + 1) % pixels] =
            static_cast<float>(geometry_.max_sample() * (0.6 + 0.4 * unit(h)));
    }
}

void SkyScene::plain_line(int variant, int y, std::uint16_t *out) const
{
    std::uint64_t noise_seed =
        hash(settings_.seed ^ kNoiseSalt, static_cast<std::uint64_t>(variant));
    std::size_t first = static_cast<std::size_t>(y) * geometry_.width;
    for (int x = 0; x < geometry_.width; ++x) {
        std::uint16_t s = sky_[first + x];
        float noise = gauss(mix(noise_seed + first + x)) * sigma_[s];
        out[x] = clamp_sample(s + noise, geometry_.max_sample());
    }
}

void SkyScene::build_variants()
{
    std::vector<std::uint16_t> samples(static_cast<std::size_t>(geometry_.width));
    std::size_t stride = geometry_.stride();
    variants_.assign(kNoiseVariants, std::vector<std::uint8_t>(geometry_.frame_bytes(), 0));
    for (int v = 0; v < kNoiseVariants; ++v)
        for (int y = 0; y < geometry_.height; ++y) {
            plain_line(v, y, samples.data());
            pack_line(samples.data(), geometry_.width, geometry_.bits,
                      variants_[v].data() + static_cast<std::size_t>(y) * stride);
        }
}

int SkyScene::variant_of(std::uint64_t index) const
{
    return static_cast<int>((index + settings_.seed) % kNoiseVariants);
}

bool SkyScene::transient_starts(std::uint64_t start) const
{
    double chance = settings_.events_per_minute / 60.0 * settings_.frame_interval_s;
    return unit(hash(settings_.seed ^ kEventSalt, start)) < chance;
}

// A transient that started at frame `start`, as it shows in frame `index`; amplitude 0 when it
// is over by then. Half are single-frame flashes, half meteors crossing a few frames.
Transient SkyScene::transient_of(std::uint64_t start, std::uint64_t index) const
{
    std::uint64_t h = hash(settings_.seed ^ kEventSalt, start);
    bool meteor = unit(mix(h + 1)) < 0.5;
    std::uint64_t frames = meteor ? 3 + mix(h + 2) % (kMaxTransientFrames - 2) : 1;
    double x = unit(mix(h + 3)) * geometry_.width, y = unit(mix(h + 4)) * geometry_.height;
    double amplitude = geometry_.max_sample() * (0.3 + 0.6 * unit(mix(h + 5)));
    std::uint64_t age = index - start;
    if (age >= frames)
        return {x, y, x, y, 1.0, 0.0};
    if (!meteor)
        return {x, y, x, y, 1.5 + 2.0 * unit(mix(h + 6)), amplitude};
    double angle = 2 * M_PI * unit(mix(h + 6)), speed = 15.0 + 40.0 * unit(mix(h + 7));
    double vx = speed * std::cos(angle), vy = speed * std::sin(angle);
    double a = static_cast<double>(age);
    return {x + a * vx, y + a * vy, x + (a + 1) * vx, y + (a + 1) * vy, kMeteorSigma, amplitude};
}

std::vector<Transient> SkyScene::transients(std::uint64_t index) const
{
    std::vector<Transient> visible;
    for (std::uint64_t age = 0; age < kMaxTransientFrames && age <= index; ++age) {
        std::uint64_t start = index - age;
        if (!transient_starts(start))
            continue;
        Transient t = transient_of(start, index);
        if (t.amplitude > 0)
            visible.push_back(t);
    }
    return visible;
}

int SkyScene::drift_steps(std::uint64_t index) const
{
    constexpr double kMaxSteps = 255; // a high byte cannot move further
    double step = 1 << (geometry_.bits - 8);
    double minutes = static_cast<double>(index) * settings_.frame_interval_s / 60.0;
    return static_cast<int>(
        std::clamp(settings_.drift_per_minute * minutes / step, -kMaxSteps, kMaxSteps));
}

// Drift moves a sample's high byte (the part above its lowest 2 or 4 bits) by whole steps, so a
// packed frame drifts with a table over its high bytes instead of a repack.
std::uint16_t SkyScene::drifted(std::uint16_t sample, int steps) const
{
    int shift = geometry_.bits - 8;
    int high = std::clamp((sample >> shift) + steps, 0, 255);
    return static_cast<std::uint16_t>(high << shift | (sample & ((1 << shift) - 1)));
}

void SkyScene::line(std::uint64_t index, int y, std::uint16_t *out) const
{
    plain_line(variant_of(index), y, out);
    for (const Transient &t : transients(index)) {
        if (y < t.first_line() || y > t.last_line())
            continue;
        double reach = kBlurReach * t.sigma;
        int x0 = std::max(0, static_cast<int>(std::floor(std::min(t.x0, t.x1) - reach)));
        int x1 = std::min(geometry_.width - 1,
                          static_cast<int>(std::ceil(std::max(t.x0, t.x1) + reach)));
        for (int x = x0; x <= x1; ++x) {
            double d = distance_to_segment(x + 0.5, y + 0.5, t);
            out[x] = clamp_sample(out[x] + t.amplitude * std::exp(-d * d / (2 * t.sigma * t.sigma)),
                                  geometry_.max_sample());
        }
    }
    int steps = drift_steps(index);
    if (steps != 0)
        for (int x = 0; x < geometry_.width; ++x)
            out[x] = drifted(out[x], steps);
}

void SkyScene::copy_drifted(const std::uint8_t *from, std::uint8_t *to, int steps) const
{
    std::memcpy(to, from, geometry_.frame_bytes());
    if (steps == 0)
        return;
    std::uint8_t table[256];
    for (int b = 0; b < 256; ++b)
        table[b] = static_cast<std::uint8_t>(std::clamp(b + steps, 0, 255));
    // Whole groups first (4 high bytes then 1 low in RAW10, 2 then 1 in RAW12), the rest one by
    // one.
    int group = geometry_.bits == 12 ? 2 : 4;
    int whole = geometry_.width / group * group;
    std::size_t stride = geometry_.stride();
    for (int y = 0; y < geometry_.height; ++y) {
        std::uint8_t *line = to + static_cast<std::size_t>(y) * stride;
        std::uint8_t *p = line;
        for (int i = 0; i < whole; i += group, p += group + 1)
            for (int k = 0; k < group; ++k)
                p[k] = table[p[k]];
        for (int i = whole; i < geometry_.width; ++i) {
            std::uint8_t &high = line[high_byte_offset(i, geometry_.bits)];
            high = table[high];
        }
    }
}

void SkyScene::render(std::uint64_t index, std::uint8_t *out) const
{
    copy_drifted(variants_[variant_of(index)].data(), out, drift_steps(index));
    std::vector<Transient> visible = transients(index);
    if (visible.empty())
        return;
    std::vector<bool> touched(static_cast<std::size_t>(geometry_.height), false);
    for (const Transient &t : visible)
        for (int y = std::max(0, t.first_line());
             y <= std::min(geometry_.height - 1, t.last_line()); ++y)
            touched[y] = true;
    std::vector<std::uint16_t> samples(static_cast<std::size_t>(geometry_.width));
    for (int y = 0; y < geometry_.height; ++y)
        if (touched[y]) {
            line(index, y, samples.data());
            pack_line(samples.data(), geometry_.width, geometry_.bits,
                      out + static_cast<std::size_t>(y) * geometry_.stride());
        }
}

} // namespace tolva::sim
