// Reads the simulated Pi's TOLVA_SIM_* environment variables.
#include "knobs.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace tolva::sim {

namespace {

const char *env(const char *name)
{
    const char *value = std::getenv(name);
    return value && *value ? value : nullptr;
}

// Decimal or 0x-prefixed hexadecimal, within [low, high].
void read_int(const char *name, long low, long high, long &out)
{
    const char *text = env(name);
    if (!text)
        return;
    char *end = nullptr;
    long value = std::strtol(text, &end, 0);
    if (*end != '\0' || value < low || value > high) {
        std::fprintf(stderr, "simulated Pi: %s=%s is not a number from %ld to %ld; using %ld\n",
                     name, text, low, high, out);
        return;
    }
    out = value;
}

void read_faults(Knobs &knobs)
{
    const char *text = env("TOLVA_SIM_FAULTS");
    if (!text)
        return;
    std::stringstream list(text);
    std::string fault;
    while (std::getline(list, fault, ',')) {
        if (fault == "no-i2c-device")
            knobs.no_i2c_device = true;
        else if (fault == "no-i2c-address")
            knobs.no_i2c_address = true;
        else if (fault == "no-sensor")
            knobs.no_sensor = true;
        else if (fault == "rx-port-disable")
            knobs.rx_port_disable_fails = true;
        else if (fault == "rx-no-pool")
            knobs.rx_no_pool = true;
        else if (!fault.empty())
            std::fprintf(stderr, "simulated Pi: TOLVA_SIM_FAULTS: unknown fault '%s'\n",
                         fault.c_str());
    }
}

void read_double(const char *name, double low, double high, double &out)
{
    const char *text = env(name);
    if (!text)
        return;
    char *end = nullptr;
    double value = std::strtod(text, &end);
    if (*end != '\0' || !(value >= low && value <= high)) {
        std::fprintf(stderr, "simulated Pi: %s=%s is not a number from %g to %g; using %g\n", name,
                     text, low, high, out);
        return;
    }
    out = value;
}

void read_receiver_knobs(Knobs &knobs)
{
    if (const char *scene = env("TOLVA_SIM_SCENE")) {
        if (std::string(scene) == "sky" || std::string(scene) == "replay")
            knobs.scene = scene;
        else
            std::fprintf(stderr,
                         "simulated Pi: TOLVA_SIM_SCENE=%s is not sky or replay; using %s\n", scene,
                         knobs.scene.c_str());
    }
    if (const char *replay = env("TOLVA_SIM_REPLAY")) {
        knobs.replay_file = replay;
        if (!env("TOLVA_SIM_SCENE"))
            knobs.scene = "replay";
    }
    long seed = static_cast<long>(knobs.seed);
    read_int("TOLVA_SIM_SEED", 0, 0x7fffffff, seed);
    knobs.seed = static_cast<std::uint64_t>(seed);
    read_double("TOLVA_SIM_EVENT_RATE", 0.0, 60000.0, knobs.events_per_minute);
    read_double("TOLVA_SIM_DRIFT", -100000.0, 100000.0, knobs.drift_per_minute);
    long align = knobs.line_align;
    read_int("TOLVA_SIM_LINE_ALIGN", 1, 4096, align);
    knobs.line_align = static_cast<int>(align);
}

} // namespace

Knobs Knobs::from_environment()
{
    Knobs knobs;
    if (const char *log = env("TOLVA_SIM_BUS_LOG"))
        knobs.bus_log = log;
    long address = knobs.sensor_address;
    read_int("TOLVA_SIM_SENSOR_ADDRESS", 0x03, 0x77, address);
    knobs.sensor_address = static_cast<int>(address);
    long model = knobs.sensor_model;
    read_int("TOLVA_SIM_SENSOR_MODEL", 0, 0xffff, model);
    knobs.sensor_model = static_cast<std::uint16_t>(model);
    read_faults(knobs);
    read_receiver_knobs(knobs);
    return knobs;
}

} // namespace tolva::sim
