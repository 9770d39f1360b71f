// Test helper: the daemon's key file written for one test, and the configuration loaded from it.
#pragma once

#include "config.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

// A file of the given text under /tmp, removed with the object.
class temp_file {
public:
  explicit temp_file(const std::string &text) {
    char name[] = "/tmp/displinkd_cfgXXXXXX";
    int fd = mkstemp(name);
    path_ = name;
    EXPECT_GE(fd, 0) << "mkstemp";
    if (fd >= 0) {
      EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
      close(fd);
    }
  }
  ~temp_file() { unlink(path_.c_str()); }
  temp_file(const temp_file &) = delete;
  temp_file &operator=(const temp_file &) = delete;
  const char *path() const { return path_.c_str(); }

private:
  std::string path_;
};

// Loads a configuration naming interrupt pin `pin` and I2C bus `bus`.
inline void configure(int pin, int bus) {
  temp_file f("[GPIO]\nHdmiIntPin=" + std::to_string(pin) + "\n[I2C]\nI2CBusNum=" + std::to_string(bus) +
              "\n");
  ASSERT_EQ(displinkd_config_read(f.path()), 0);
}
