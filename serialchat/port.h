// Opening and setting up the serial port: raw mode, speed, character size, stop bits and parity,
// applied at once, and optionally the platform driver's RS-485 mode.
#pragma once

#include "options.h"
#include "unique_fd.h"

#include <cstddef>
#include <cstdint>

namespace serialchat {

// The platform serial driver's request that switches a port to RS-485, and the record it takes.
// The values are the ones the driver expects for half-duplex operation with its default delay.
inline constexpr unsigned long platform_rs485_request = 0x5461;
struct platform_rs485_record {
  std::uint16_t word0 = 0;
  std::uint16_t word1 = 1;
  std::uint32_t word2 = 10;
  std::uint16_t word3 = 1;
  std::uint8_t padding[2] = {0, 0};
};
static_assert(sizeof(platform_rs485_record) == 12);
static_assert(offsetof(platform_rs485_record, word2) == 4);
static_assert(offsetof(platform_rs485_record, word3) == 8);

// Opens the port non-blocking, without making it the controlling terminal, and applies `o`.
// On failure reports through perror and returns an empty owner.
unique_fd port_open(const options &o);

} // namespace serialchat
