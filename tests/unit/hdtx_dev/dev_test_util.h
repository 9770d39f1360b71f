// A device-library instance on the chip model: the fake hardware's interrupt line wired to
// hdtx_handle_interrupt, the waits counted instead of slept, and the application events
// recorded as the command thread delivers them.
#pragma once

#include "chipsim.h"
#include "hdtx.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace devtest {

// Reads a file of the EDID corpus; fails the test when it is missing.
std::vector<std::uint8_t> corpus_edid(const std::string &name);

// Polls `done` until it holds or two seconds have passed.
bool eventually(const std::function<bool()> &done);

class DevTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // Opens and sets up the instance as the daemon does: power on, callback, events 2, 3, 5, 6,
  // 7 enabled, set-up with no EDID buffer.
  void bring_up();
  // Plugs `edid` and waits for the EDID-received event.
  void plug_and_read(const std::vector<std::uint8_t> &edid);

  static std::vector<unsigned> events();
  static std::vector<unsigned> waits();
  static bool has_event(unsigned event);
  // Makes the callback block on event `event` until release() (0 blocks nothing).
  static void block_on(unsigned event);
  static void release();
  static bool blocked();
  // When set, the callback powers the transmitter on at each hot plug, as the daemon does.
  static void power_on_at_plug(bool on);

  chipsim::Chip chip;
};

} // namespace devtest
