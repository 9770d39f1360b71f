// The I2C character device through which both cores of the HDMI transmitter are reached. The
// module owns the one descriptor; the main thread and the transmitter library's command thread
// share it, and each transfer (slave selection, then its write and read) runs whole under one
// lock so that another thread's selection cannot slip in between.
#pragma once

#include "nxp/hdtx_types.h"

#include <cstddef>
#include <cstdint>

// Longest register write: one register byte and 39 data bytes.
inline constexpr std::size_t DISPLINKD_I2C_WRITE_BUFFER = 40;

// All return 0 on success, 1 on failure (logged).
int displinkd_i2c_init();
int displinkd_i2c_close();
// Selects `slave` (its low 8 bits), writes `reg`, reads exactly `len` bytes into `buf`.
int displinkd_i2c_read(unsigned slave, std::uint8_t reg, std::uint8_t *buf, std::size_t len);
// Selects `slave` and sends `reg` followed by `len` (below 40) bytes in one write.
int displinkd_i2c_write(unsigned slave, std::uint8_t reg, const std::uint8_t *data, std::size_t len);

// Adapters for the transmitter libraries: HDTX_OK or HDTX_I2C_ADAPTER_FAILED.
hdtx_err displinkd_i2c_read_adapter(hdtx_i2c_msg *msg);
hdtx_err displinkd_i2c_write_adapter(hdtx_i2c_msg *msg);
