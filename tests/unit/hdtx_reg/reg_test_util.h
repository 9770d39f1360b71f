// A register-layer unit on the chip model, and what the layer handed to its wait function and
// callbacks.
#pragma once

#include "chipsim.h"
#include "reg_unit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace regtest {

extern std::vector<unsigned> waits;
extern std::vector<unsigned> causes_called;

hdtx_err record_wait(std::uint16_t ms);
// The callback table: each entry records its cause number.
const hdtx_reg_callback *callback_table();

// The lines of the chip's log, one per transfer.
std::vector<std::string> log_lines(const chipsim::Chip &chip);

class RegUnit : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;
  hdtx_err init(unsigned format = 16, unsigned pixel_rate = 1);
  hdtx_reg_unit *unit() { return unit_record(0); }

  chipsim::Chip chip;
};

} // namespace regtest
