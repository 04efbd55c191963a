// The simulator's truth (the real motor, sensors and supply) and the faults to inject. Never part
// of a setup, so that every identification can be judged against it.
#pragma once

#include "drivesim/Drive.h"

#include <string>

namespace drivesim {

struct SimConfig {
    // Extended by the simulator's owner; see docs/simulator.md.
    double Vdc_V = 48.0;
};

// The embedded default: the default setup's drive, a motor a few per cent off the setup's values.
SimConfig DefaultSimConfig();

// Reads a simulator file; refuses a malformed one with the file, place and fault.
Result<SimConfig> LoadSimConfig(const std::string& path);

}  // namespace drivesim
