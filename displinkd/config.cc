#include "config.h"

#include "log.h"

#include <array>
#include <cstdio>
#include <glib.h>
#include <memory>

namespace {

constexpr char GROUP_GPIO[] = "GPIO";
constexpr char KEY_INTERRUPT_PIN[] = "HdmiIntPin";
constexpr char GROUP_I2C[] = "I2C";
constexpr char KEY_BUS_NUM[] = "I2CBusNum";

// Bus numbers stay below 100, so "/dev/i2c-99" (11 characters) is the longest path.
constexpr int BUS_NUM_LIMIT = 100;
using device_path = std::array<char, 12>;

int interrupt_pin = -1;
device_path i2c_device_path{};

struct key_file_free {
  void operator()(GKeyFile *kf) const { g_key_file_free(kf); }
};

bool read_integer(GKeyFile *kf, const char *group, const char *key, int &out) {
  GError *err = nullptr;
  int v = g_key_file_get_integer(kf, group, key, &err);
  if (err != nullptr) {
    g_error_free(err);
    DL_ERROR("%sFailed to read required config file parameter %s", key);
    return false;
  }
  out = v;
  return true;
}

} // namespace

int displinkd_config_read(const char *path) {
  std::unique_ptr<GKeyFile, key_file_free> kf(g_key_file_new());
  if (!kf) {
    DL_ERROR("%sFailed to allocate config file parser");
    return 1;
  }
  GError *err = nullptr;
  if (path == nullptr || !g_key_file_load_from_file(kf.get(), path, G_KEY_FILE_NONE, &err)) {
    if (err != nullptr) {
      g_error_free(err);
    }
    DL_ERROR("%sFailed to load config file");
    return 1;
  }

  int pin = 0;
  if (!read_integer(kf.get(), GROUP_GPIO, KEY_INTERRUPT_PIN, pin)) {
    return 1;
  }
  int bus = 0;
  if (!read_integer(kf.get(), GROUP_I2C, KEY_BUS_NUM, bus)) {
    return 1;
  }
  // A negative number would format as "/dev/i2c--1", naming no device.
  if (bus < 0 || bus >= BUS_NUM_LIMIT) {
    DL_ERROR("%sFailed to read required config file parameter %s", KEY_BUS_NUM);
    return 1;
  }

  device_path dev{};
  int n = std::snprintf(dev.data(), dev.size(), "/dev/i2c-%d", bus);
  if (n < 0 || static_cast<unsigned>(n) >= dev.size()) {
    DL_ERROR("%sFailed to construct i2c device path");
    return 1;
  }

  interrupt_pin = pin;
  i2c_device_path = dev;
  return 0;
}

int displinkd_config_get_interrupt_pin() {
  return interrupt_pin;
}

const char *displinkd_config_get_i2c_device_path() {
  return i2c_device_path.data();
}
