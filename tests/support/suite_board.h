// The simulated board the capture and loop tests run on: a legacy board (the MMAL receiver)
// unless the run names another, as `make test-v4l2` does for a Pi 4 (Unicam) and a Pi 5 (CFE).
#ifndef TOLVA_TEST_SUITE_BOARD_H
#define TOLVA_TEST_SUITE_BOARD_H

#include "knobs.h"

#include <cstdlib>

namespace tolva::test {

// Knobs{} as the tests set them up, on the board and OS that TOLVA_SIM_BOARD_REVISION and
// TOLVA_SIM_KERNEL_RELEASE name when the run gives them.
inline sim::Knobs suite_knobs()
{
    sim::Knobs knobs;
    if (std::getenv("TOLVA_SIM_BOARD_REVISION")) {
        sim::Knobs board = sim::Knobs::from_environment();
        knobs.board_revision = board.board_revision;
        knobs.kernel_release = board.kernel_release;
    }
    return knobs;
}

} // namespace tolva::test

#endif
