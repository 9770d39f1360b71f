// Interrupt handling: causes from the CEC core's levels and flags and from the HDMI core's
// interrupt registers, the order of the callbacks, and the state machine they drive.
#include "reg_test_util.h"

#include <algorithm>

namespace regtest {
namespace {

using Interrupt = RegUnit;

std::vector<std::uint8_t> one_block_edid() {
  std::vector<std::uint8_t> edid(128, 0);
  const std::uint8_t header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  std::copy(header, header + 8, edid.begin());
  unsigned sum = 0;
  for (unsigned i = 0; i < 127; ++i)
    sum += edid[i];
  edid[127] = static_cast<std::uint8_t>((0x100u - (sum & 0xFFu)) & 0xFFu);
  return edid;
}

unsigned state_of_unit() {
  unsigned state = 99;
  EXPECT_EQ(hdtx_reg_get_state(0, &state, nullptr), HDTX_OK);
  return state;
}

bool logged(const chipsim::Chip &chip, const std::string &line) {
  auto lines = log_lines(chip);
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(Interrupt, SinkArrivalAndDeparture) {
  ASSERT_EQ(init(), HDTX_OK);
  chip.plug(one_block_edid(), true);
  ASSERT_EQ(hdtx_reg_hw_handle_interrupt(0), HDTX_OK);
  EXPECT_EQ(causes_called, (std::vector<unsigned>{1, 9}));
  bool plugged = false, active = false;
  ASSERT_EQ(hdtx_reg_hot_plug_get_status(0, &plugged), HDTX_OK);
  ASSERT_EQ(hdtx_reg_rx_sense_get_status(0, &active), HDTX_OK);
  EXPECT_TRUE(plugged);
  EXPECT_TRUE(active);
  EXPECT_EQ(state_of_unit(), HDTX_ST_SINK_EDID_PENDING);

  causes_called.clear();
  chip.unplug();
  ASSERT_EQ(hdtx_reg_hw_handle_interrupt(0), HDTX_OK);
  EXPECT_EQ(causes_called, (std::vector<unsigned>{1, 9}));
  ASSERT_EQ(hdtx_reg_hot_plug_get_status(0, &plugged), HDTX_OK);
  EXPECT_FALSE(plugged);
  EXPECT_EQ(state_of_unit(), HDTX_ST_LOW_POWER);
}

TEST_F(Interrupt, ALevelWithoutItsFlagReArmsTheDetection) {
  ASSERT_EQ(init(), HDTX_OK);
  chip.set_cec_reg(0xFE, 0x02); // moved, but no change flag
  chip.clear_log();
  ASSERT_EQ(hdtx_reg_hw_handle_interrupt(0), HDTX_OK);
  auto lines = log_lines(chip);
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5),
            (std::vector<std::string>{"R 34 -- FD +1", "R 34 -- FE +1", "W 34 -- FC 00", "W 34 -- FC 03",
                                      "R 34 -- FE +1"}));
  EXPECT_EQ(causes_called, (std::vector<unsigned>{1}));
  EXPECT_EQ(state_of_unit(), HDTX_ST_SINK_EDID_PENDING);
}

TEST_F(Interrupt, AGlitchBetweenTwoReadsShowsBothEdgesAndAbandonsTheRead) {
  ASSERT_EQ(init(), HDTX_OK);
  chip.plug(one_block_edid(), true);
  ASSERT_EQ(hdtx_reg_hw_handle_interrupt(0), HDTX_OK);
  ASSERT_EQ(hdtx_reg_edid_request_block_data(0, nullptr, 0, 0), HDTX_OK);
  // Out and back in before the handler looks: the flag is set, the level is as it was.
  chip.unplug();
  chip.plug(one_block_edid(), true);
  causes_called.clear();
  std::uint32_t ignored_before = 0;
  ASSERT_EQ(hdtx_reg_get_state(0, nullptr, &ignored_before), HDTX_OK);
  ASSERT_EQ(hdtx_reg_hw_handle_interrupt(0), HDTX_OK);
  EXPECT_EQ(causes_called, (std::vector<unsigned>{1, 9}));
  EXPECT_EQ(unit()->edid.status, 4) << "the read of the sink that left must be abandoned";
  EXPECT_FALSE(unit()->edid.request_pending);
  EXPECT_EQ(state_of_unit(), HDTX_ST_SINK_EDID_PENDING);
}

TEST_F(Interrupt, CausesRunInTheirFixedOrderAndCause12OnlyWhenEnabled) {
  ASSERT_EQ(init(), HDTX_OK);
  chip.raise_hdmi_interrupt(0x0F, 0x04);
  chip.raise_hdmi_interrupt(0x10, 0x41);
  chip.plug(one_block_edid(), false);
  ASSERT_EQ(hdtx_reg_hw_handle_interrupt(0), HDTX_OK);
  EXPECT_EQ(causes_called, (std::vector<unsigned>{1, 2, 8}));

  causes_called.clear();
  unit()->cause12_enabled = true;
  chip.raise_hdmi_interrupt(0x10, 0x41);
  chip.set_rx_sense(true);
  ASSERT_EQ(hdtx_reg_hw_handle_interrupt(0), HDTX_OK);
  EXPECT_EQ(causes_called, (std::vector<unsigned>{8, 9, 12}));
}

TEST_F(Interrupt, AnEdidFlagWithoutARequestIsDropped) {
  ASSERT_EQ(init(), HDTX_OK);
  chip.raise_hdmi_interrupt(0x11, 0x02);
  ASSERT_EQ(hdtx_reg_hw_handle_interrupt(0), HDTX_OK);
  EXPECT_TRUE(causes_called.empty());
}

TEST_F(Interrupt, InterruptRegistersAreLeftAloneWhilePoweredDown) {
  ASSERT_EQ(init(), HDTX_OK);
  ASSERT_EQ(hdtx_reg_power_set_state(0, HDTX_POWER_STANDBY), HDTX_OK);
  chip.raise_hdmi_interrupt(0x0F, 0x04);
  chip.clear_log();
  ASSERT_EQ(hdtx_reg_hw_handle_interrupt(0), HDTX_OK);
  EXPECT_EQ(log_lines(chip), (std::vector<std::string>{"R 34 -- FD +1", "R 34 -- FE +1"}));
  EXPECT_TRUE(causes_called.empty());
}

TEST_F(Interrupt, PowerOnTakesTheLevelsAsTheyAre) {
  ASSERT_EQ(init(), HDTX_OK);
  ASSERT_EQ(hdtx_reg_power_set_state(0, HDTX_POWER_SUSPEND), HDTX_OK);
  EXPECT_EQ(state_of_unit(), HDTX_ST_LOW_POWER);
  chip.plug(one_block_edid(), true); // nobody handles this interrupt
  ASSERT_EQ(hdtx_reg_power_set_state(0, HDTX_POWER_ON), HDTX_OK);
  bool plugged = false;
  ASSERT_EQ(hdtx_reg_hot_plug_get_status(0, &plugged), HDTX_OK);
  EXPECT_TRUE(plugged);
  EXPECT_EQ(state_of_unit(), HDTX_ST_SINK_EDID_PENDING);
  EXPECT_EQ(hdtx_reg_power_set_state(0, 4), HDTX_REG_ERR_BAD_PARAMETER);
  unsigned power = 9;
  ASSERT_EQ(hdtx_reg_power_get_state(0, &power), HDTX_OK);
  EXPECT_EQ(power, HDTX_POWER_ON);
}

TEST_F(Interrupt, EdidCompletionMovesTheStateMachineOn) {
  ASSERT_EQ(init(), HDTX_OK);
  chip.plug(one_block_edid(), true);
  ASSERT_EQ(hdtx_reg_hw_handle_interrupt(0), HDTX_OK);
  causes_called.clear();
  ASSERT_EQ(hdtx_reg_edid_request_block_data(0, nullptr, 0, 0), HDTX_OK);
  ASSERT_EQ(hdtx_reg_hw_handle_interrupt(0), HDTX_OK);
  EXPECT_EQ(causes_called, (std::vector<unsigned>{10}));
  EXPECT_EQ(state_of_unit(), HDTX_ST_RX_ACTIVE); // EDID read, and the receiver is active
}

TEST_F(Interrupt, Version0201IsRestoredWhenASinkArrives) {
  chip.set_version_registers(0x01, 0x02);
  ASSERT_EQ(init(), HDTX_OK);
  chip.set_hdmi_reg(0x02, 0x07, 0x00);
  chip.plug(one_block_edid(), false);
  ASSERT_EQ(hdtx_reg_hw_handle_interrupt(0), HDTX_OK);
  EXPECT_EQ(chip.hdmi_reg(0x02, 0x07), 0xFA) << "the PLL set-up is written again";
  EXPECT_TRUE(logged(chip, "W 70 p00 0A 03"));
  EXPECT_EQ(state_of_unit(), HDTX_ST_SINK_EDID_PENDING);
}

TEST_F(Interrupt, I2cFailuresAreReported) {
  ASSERT_EQ(init(), HDTX_OK);
  chip.set_fail([](const chipsim::Transfer &t) { return !t.write; });
  EXPECT_EQ(hdtx_reg_hw_handle_interrupt(0), HDTX_REG_ERR_I2C_READ);
  chip.set_fail([](const chipsim::Transfer &t) { return t.write && t.slave == 0x34; });
  chip.set_cec_reg(0xFE, 0x02);
  EXPECT_EQ(hdtx_reg_hw_handle_interrupt(0), HDTX_REG_ERR_I2C_WRITE);
}

TEST_F(Interrupt, StateMachineTable) {
  ASSERT_EQ(init(), HDTX_OK);
  hdtx_reg_unit *u = unit();
  struct step {
    unsigned event;
    unsigned state;
    bool ignored;
  };
  const step steps[] = {
      {HDTX_EV_POWER_ON, 1, false},       {HDTX_EV_EDID_COMPLETE, 1, true},  {HDTX_EV_HOT_PLUG_REMOVED, 3, false},
      {HDTX_EV_LOW_POWER, 2, false},      {HDTX_EV_HOT_PLUG_DETECTED, 4, false}, {HDTX_EV_RX_SENSE_ACTIVE, 4, true},
      {HDTX_EV_EDID_COMPLETE, 11, false}, {HDTX_EV_RX_SENSE_ACTIVE, 5, false}, {HDTX_EV_VIDEO_CONFIGURED, 6, false},
      {HDTX_EV_RX_SENSE_INACTIVE, 11, false}, {HDTX_EV_VIDEO_CONFIGURED, 11, true}, {HDTX_EV_RX_SENSE_ACTIVE, 5, false},
      {HDTX_EV_VIDEO_CONFIGURED, 6, false}, {HDTX_EV_VIDEO_OFF, 5, false},   {HDTX_EV_HOT_PLUG_REMOVED, 2, false},
      {HDTX_EV_HOT_PLUG_REMOVED, 3, false}, {HDTX_EV_INIT, 3, true},         {HDTX_EV_DEINIT, 0, false},
      {HDTX_EV_HOT_PLUG_DETECTED, 4, false}, {HDTX_EV_DEINIT, 0, false},     {HDTX_EV_INIT, 1, false},
  };
  for (const step &s : steps) {
    std::uint32_t before = u->ignored_events;
    set_state(u, s.event);
    EXPECT_EQ(u->state, s.state) << "event " << s.event;
    EXPECT_EQ(u->ignored_events, before + (s.ignored ? 1 : 0)) << "event " << s.event;
  }
  u->state = HDTX_ST_FINAL;
  for (unsigned event : {0u, 1u, 2u, 6u, 20u}) {
    set_state(u, event);
    EXPECT_EQ(u->state, HDTX_ST_FINAL);
  }
}

} // namespace
} // namespace regtest
