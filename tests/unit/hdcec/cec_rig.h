// An opened CEC instance on the chip model (through fakehw's adapters), with the library's waits
// folded into the chip's transfer log and every callback recorded.
#pragma once

#include "chipsim.h"
#include "hdcec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace cectest {

struct delivered {
  unsigned event;
  hdcec_frame frame;
};

class CecRig : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // Set-up with the daemon's words (address 1, clock kept), then an empty log.
  void set_up(std::uint8_t address = 1);
  // The chip's log lines with "wait N" lines where the library waited.
  std::vector<std::string> trace() const;
  // Fails every transfer to the CEC core from now on: reads or writes.
  void fail_reads();
  void fail_writes();

  chipsim::Chip chip;
  unsigned instance = 99;
  std::vector<delivered> calls;
};

// The frames the chip put on the bus, each starting at the header.
std::vector<std::vector<std::uint8_t>> bus(const chipsim::Chip &chip);

} // namespace cectest
