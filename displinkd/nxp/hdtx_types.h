// Types shared by the transmitter's register layer, its device library and the daemon's I2C
// adapters: error codes are plain 32-bit values, 0 meaning success.
#pragma once

#include <cstdint>

using hdtx_err = std::uint32_t;
inline constexpr hdtx_err HDTX_OK = 0;

// What an I2C adapter returns on any failure of the transfer.
inline constexpr hdtx_err HDTX_I2C_ADAPTER_FAILED = 23;

// One I2C transfer as the transmitter libraries ask for it: `len_data` bytes from or to the
// registers of `slave_addr` starting at `first_register`.
struct hdtx_i2c_msg {
  std::uint8_t slave_addr;
  std::uint8_t first_register;
  std::uint8_t len_data;
  std::uint8_t *data;
};

// Adapter: 0 on success, HDTX_I2C_ADAPTER_FAILED on any failure.
using hdtx_i2c_func = hdtx_err (*)(hdtx_i2c_msg *msg);
// Millisecond sleep handed to the register layer.
using hdtx_wait_func = hdtx_err (*)(std::uint16_t ms);
// Interrupt-cause handler of the register layer's callback table; gets the unit number.
using hdtx_reg_callback = void (*)(unsigned unit);
