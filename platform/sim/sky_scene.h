// The night sky the virtual sensor sees: background, stars, hot pixels, noise, transients, drift.
#ifndef TOLVA_SIM_SKY_SCENE_H
#define TOLVA_SIM_SKY_SCENE_H

#include "frame_source.h"

#include <cstdint>
#include <vector>

namespace tolva::sim {

struct SkySettings {
    std::uint64_t seed = 1;
    double events_per_minute = 6.0; // flashes and meteors starting, per minute of sensor time
    double drift_per_minute = 0.0;  // change of every sample's value, per minute
    double frame_interval_s = 0.1;  // sensor time from one frame to the next
};

// A transient in one frame: a bright segment from (x0, y0) to (x1, y1) (a point for a flash)
// blurred with a Gaussian of `sigma` pixels.
struct Transient {
    double x0, y0, x1, y1;
    double sigma;
    double amplitude;
    int first_line() const;
    int last_line() const;
};

// Frames are a pure function of the settings and the frame number. The static sky with each of
// a few noise variants is packed once; a frame copies one variant and repacks only the lines a
// transient touches, so a frame costs about a memcpy.
class SkyScene : public FrameSource {
public:
    SkyScene(const FrameGeometry &geometry, const SkySettings &settings);

    void line(std::uint64_t index, int y, std::uint16_t *out) const override;
    void render(std::uint64_t index, std::uint8_t *out) const override;

    // The transients visible in frame `index`.
    std::vector<Transient> transients(std::uint64_t index) const;
    int drift_steps(std::uint64_t index) const;

private:
    void build_sky();
    void add_stars(std::vector<float> &sky) const;
    void add_hot_pixels(std::vector<float> &sky) const;
    void build_variants();
    void plain_line(int variant, int y, std::uint16_t *out) const;
    int variant_of(std::uint64_t index) const;
    bool transient_starts(std::uint64_t start) const;
    Transient transient_of(std::uint64_t start, std::uint64_t index) const;
    std::uint16_t drifted(std::uint16_t sample, int steps) const;
    void copy_drifted(const std::uint8_t *from, std::uint8_t *to, int steps) const;

    SkySettings settings_;
    std::vector<std::uint16_t> sky_;                  // noise-free samples
    std::vector<float> sigma_;                        // noise sigma by noise-free sample value
    std::vector<std::vector<std::uint8_t>> variants_; // packed sky + noise, one per variant
};

} // namespace tolva::sim

#endif
