// Shell command lines on the simulated Pi: raspi-gpio and i2cdetect are modelled, others run.
#ifndef TOLVA_SIM_COMMANDS_H
#define TOLVA_SIM_COMMANDS_H

#include "i2c_bus.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace tolva::sim {

class SimPi;

// Runs one command line as system(3) does and returns its wait status. "raspi-gpio set ..."
// and "i2cdetect -y N", each optionally followed by "> FILE", act on the simulated board;
// anything else (other tools, shell syntax the simulator does not read) runs for real.
int run_command(SimPi &pi, const std::string &line);

// Starts one command line without waiting, as host_spawn_shell: recorded on the board like every
// command, then run for real (the user's own commands are not modelled).
pid_t spawn_command(SimPi &pi, const std::string &line);

// i2cdetect's bus map of the addresses 0x03 to 0x77: "--" where nothing answers, the address
// where a device answers, "UU" where a kernel driver holds the address.
std::string bus_map(const I2cBus &bus, const std::vector<int> &driver_addresses);

} // namespace tolva::sim

#endif
