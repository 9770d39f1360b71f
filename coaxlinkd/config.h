// The SDI daemon's key file: the cable driver's GPIO lines and where the FPGA's SDI serialiser
// hangs (I2C bus identifier and address). The module owns the values read last; a failed read
// leaves the previous values untouched.
#pragma once

inline constexpr char COAXLINKD_CONFIG_PATH[] = "/usr/share/coaxlinkd/sdi_lmh0303.conf";

// Bus identifiers of the video device's external I2C buses, as the key file names them.
enum coaxlinkd_i2c_bus : int {
  KESTRA_I2C_BUS0_SDA0 = 0,
  KESTRA_I2C_BUS1_SDA0 = 1,
  KESTRA_I2C_BUS2_SDA0 = 2,
  KESTRA_I2C_BUS3_SDA0 = 3,
  KESTRA_I2C_BUS4_SDA0 = 4,
  KESTRA_I2C_BUS5_SDA0 = 5,
  KESTRA_I2C_BUS6_SDA0 = 6,
  KESTRA_I2C_BUS7_SDA0 = 7,
  KESTRA_I2C_BUS_NONE = 8,
  KESTRA_I2C_BUS_MAX = 9,
};

// The identifier a name stands for; an unknown name is logged and gives KESTRA_I2C_BUS_NONE.
coaxlinkd_i2c_bus coaxlinkd_i2c_bus_from_name(const char *name);

// 0 on success, 1 on failure (logged).
int coaxlinkd_config_read(const char *path);

int coaxlinkd_config_get_FPGA_bus_id();
int coaxlinkd_config_get_FPGA_i2c_addr();
int coaxlinkd_config_get_SDI_chip_enable_pin();
int coaxlinkd_config_get_SDI_int_pin();
