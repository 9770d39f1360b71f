// The HDMI daemon's key file: the transmitter's interrupt GPIO and the I2C bus it hangs on. The
// module owns the values read last; a failed read leaves the previous values untouched.
#pragma once

// 0 on success, 1 on failure (logged).
int displinkd_config_read(const char *path);

int displinkd_config_get_interrupt_pin();
// "/dev/i2c-N"; empty until a configuration was read.
const char *displinkd_config_get_i2c_device_path();
