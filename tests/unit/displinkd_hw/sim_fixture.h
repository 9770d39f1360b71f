// Test helper: a simulated device host for one test, with the configuration pointing the daemon
// at its I2C bus.
#pragma once

#include "config.h"
#include "testbed.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

inline constexpr int SIM_BUS = 5;

// Points the configuration at bus `bus_nbr`.
inline void configure_bus(int bus_nbr) {
  char path[] = "/tmp/displinkd_hwXXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::string text = "[GPIO]\nHdmiIntPin=1\n[I2C]\nI2CBusNum=" + std::to_string(bus_nbr) + "\n";
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  int rc = displinkd_config_read(path);
  unlink(path);
  ASSERT_EQ(rc, 0);
}
