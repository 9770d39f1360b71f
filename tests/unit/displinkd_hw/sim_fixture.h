// Test helper: a simulated device host for one test, with the configuration pointing the daemon
// at its I2C bus.
#pragma once

#include "config_file.h"
#include "testbed.h"

inline constexpr int SIM_BUS = 5;

// Points the configuration at bus `bus_nbr`.
inline void configure_bus(int bus_nbr) {
  configure(1, bus_nbr);
}
