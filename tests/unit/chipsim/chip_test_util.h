// Small helpers shared by the chip model's tests: byte-level transfers through the adapter view.
#pragma once

#include "chipsim.h"

#include <cstdint>
#include <vector>

namespace chipsim_test {

inline hdtx_err put(chipsim::Chip &chip, std::uint8_t slave, std::uint8_t reg,
                    std::vector<std::uint8_t> data) {
  hdtx_i2c_msg msg{slave, reg, static_cast<std::uint8_t>(data.size()), data.data()};
  return chip.adapter_write(&msg);
}

inline std::vector<std::uint8_t> get(chipsim::Chip &chip, std::uint8_t slave, std::uint8_t reg,
                                     std::uint8_t n) {
  std::vector<std::uint8_t> data(n);
  hdtx_i2c_msg msg{slave, reg, n, data.data()};
  if (chip.adapter_read(&msg) != HDTX_OK)
    return {};
  return data;
}

} // namespace chipsim_test
