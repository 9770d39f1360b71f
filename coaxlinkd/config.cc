#include "config.h"

#include "log.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <glib.h>
#include <memory>
#include <string_view>

namespace {

constexpr char FUNC_READ[] = "coaxlinkd_config_read";
constexpr char GROUP_GPIO[] = "GPIO";
constexpr char KEY_INT_PIN[] = "SdiIntPin";
constexpr char KEY_ENABLE_PIN[] = "SdiChipEnablePin";
constexpr char GROUP_I2C[] = "I2C";
constexpr char KEY_BUS_ID[] = "I2CBusID";
constexpr char KEY_ADDR[] = "I2CAddr";

// 10-bit addressing is the widest an I2C address gets; anything larger is a typo, not a device.
constexpr unsigned long I2C_ADDR_LIMIT = 0x3ff;

struct bus_name {
  std::string_view name;
  coaxlinkd_i2c_bus id;
};

constexpr std::array<bus_name, 10> BUS_NAMES{{
    {"KESTRA_I2C_BUS0_SDA0", KESTRA_I2C_BUS0_SDA0},
    {"KESTRA_I2C_BUS1_SDA0", KESTRA_I2C_BUS1_SDA0},
    {"KESTRA_I2C_BUS2_SDA0", KESTRA_I2C_BUS2_SDA0},
    {"KESTRA_I2C_BUS3_SDA0", KESTRA_I2C_BUS3_SDA0},
    {"KESTRA_I2C_BUS4_SDA0", KESTRA_I2C_BUS4_SDA0},
    {"KESTRA_I2C_BUS5_SDA0", KESTRA_I2C_BUS5_SDA0},
    {"KESTRA_I2C_BUS6_SDA0", KESTRA_I2C_BUS6_SDA0},
    {"KESTRA_I2C_BUS7_SDA0", KESTRA_I2C_BUS7_SDA0},
    {"KESTRA_I2C_BUS_NONE", KESTRA_I2C_BUS_NONE},
    {"KESTRA_I2C_BUS_MAX", KESTRA_I2C_BUS_MAX},
}};

struct sdi_config {
  int int_pin = -1;
  int enable_pin = -1;
  int bus_id = KESTRA_I2C_BUS_NONE;
  int i2c_addr = 0;
};

sdi_config current;

struct key_file_free {
  void operator()(GKeyFile *kf) const { g_key_file_free(kf); }
};
struct error_free {
  void operator()(GError *e) const { g_error_free(e); }
};
using error_ptr = std::unique_ptr<GError, error_free>;
struct string_free {
  void operator()(gchar *s) const { g_free(s); }
};
using string_ptr = std::unique_ptr<gchar, string_free>;

// The whole text must be hexadecimal (an optional "0x" included): strtoul alone would take "zz"
// as address 0 and quietly attach a device nobody configured.
bool parse_hex_address(const char *text, int &out) {
  if (text == nullptr || !g_ascii_isxdigit(text[0])) {
    return false;
  }
  errno = 0;
  char *end = nullptr;
  unsigned long v = std::strtoul(text, &end, 16);
  if (errno != 0 || end == text || *end != '\0' || v > I2C_ADDR_LIMIT) {
    return false;
  }
  out = static_cast<int>(v);
  return true;
}

enum class string_key { bus_id, addr };

void report_string_key(string_key which, const char *key, const GError *err) {
  if (which == string_key::bus_id) {
    dl_log_error("coaxlinkd_config:225 [%s] Failed to get %s key, error code = %d, error message = %s\n",
                 FUNC_READ, key, err->code, err->message);
  } else {
    dl_log_error("coaxlinkd_config:239 [%s] Failed to get %s key, error code = %d, error message = %s\n",
                 FUNC_READ, key, err->code, err->message);
  }
}

} // namespace

coaxlinkd_i2c_bus coaxlinkd_i2c_bus_from_name(const char *name) {
  if (name != nullptr) {
    for (const bus_name &b : BUS_NAMES) {
      if (b.name == name) {
        return b.id;
      }
    }
  }
  dl_log_error("coaxlinkd_config:103 [%s] No such string", "str2enum");
  return KESTRA_I2C_BUS_NONE;
}

int coaxlinkd_config_read(const char *path) {
  std::unique_ptr<GKeyFile, key_file_free> kf(g_key_file_new());
  if (!kf) {
    dl_log_error("coaxlinkd_config:184 [%s] Failed to allocate config file parser", FUNC_READ);
    return 1;
  }
  GError *raw = nullptr;
  if (path == nullptr || !g_key_file_load_from_file(kf.get(), path, G_KEY_FILE_NONE, &raw)) {
    error_ptr drop(raw);
    dl_log_error("coaxlinkd_config:192 [%s] Failed to load config file at: %s", FUNC_READ,
                 path != nullptr ? path : "(none)");
    return 1;
  }

  sdi_config next;
  next.int_pin = g_key_file_get_integer(kf.get(), GROUP_GPIO, KEY_INT_PIN, &raw);
  if (raw != nullptr) {
    error_ptr drop(raw);
    dl_log_error("coaxlinkd_config:203 [%s] Failed to read required config file parameter: %s", FUNC_READ,
                 KEY_INT_PIN);
    return 1;
  }

  next.enable_pin = g_key_file_get_integer(kf.get(), GROUP_GPIO, KEY_ENABLE_PIN, &raw);
  error_ptr pin_error(raw);
  raw = nullptr;
  // GPIO numbers are unsigned to the GPIO library; a negative one would name a line far away.
  if (pin_error || next.enable_pin < 0) {
    dl_log_error("coaxlinkd_config:214 [%s] Failed to read required config file parameter: %s, %d", FUNC_READ,
                 KEY_ENABLE_PIN,
                 pin_error ? pin_error->code : static_cast<int>(G_KEY_FILE_ERROR_INVALID_VALUE));
    return 1;
  }

  string_ptr bus(g_key_file_get_string(kf.get(), GROUP_I2C, KEY_BUS_ID, &raw));
  if (raw != nullptr) {
    error_ptr err(raw);
    report_string_key(string_key::bus_id, KEY_BUS_ID, err.get());
    return 1;
  }
  next.bus_id = coaxlinkd_i2c_bus_from_name(bus.get());

  string_ptr addr(g_key_file_get_string(kf.get(), GROUP_I2C, KEY_ADDR, &raw));
  if (raw != nullptr) {
    error_ptr err(raw);
    report_string_key(string_key::addr, KEY_ADDR, err.get());
    return 1;
  }
  if (!parse_hex_address(addr.get(), next.i2c_addr)) {
    error_ptr err(g_error_new(G_KEY_FILE_ERROR, G_KEY_FILE_ERROR_INVALID_VALUE,
                              "Value \"%s\" is no hexadecimal I2C address", addr.get()));
    report_string_key(string_key::addr, KEY_ADDR, err.get());
    return 1;
  }

  current = next;
  return 0;
}

int coaxlinkd_config_get_FPGA_bus_id() {
  return current.bus_id;
}

int coaxlinkd_config_get_FPGA_i2c_addr() {
  return current.i2c_addr;
}

int coaxlinkd_config_get_SDI_chip_enable_pin() {
  return current.enable_pin;
}

int coaxlinkd_config_get_SDI_int_pin() {
  return current.int_pin;
}
