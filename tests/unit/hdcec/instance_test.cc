// Open, set-up, power, calibration and register access of the CEC instance, against the chip
// model's transfer log.
#include "cec_rig.h"
#include "hdcec_messages.h"

#include <functional>

namespace cectest {
namespace {

using Lines = std::vector<std::string>;

TEST_F(CecRig, SetUpWritesTheCoreInOrderWithItsWaits) {
  const hdcec_setup_info setup{1, 1};
  ASSERT_EQ(hdcec_instance_setup(instance, &setup), 0u);
  EXPECT_EQ(trace(), (Lines{"wait 500", "R 34 -- 07 +1", "R 34 -- FF +1", "W 34 -- FF 81", "wait 250",
                            "wait 250", "R 34 -- 07 +1", "W 34 -- 03 80", "wait 250", "W 34 -- 06 05",
                            "R 34 -- 04 +2", "W 34 -- 04 00 02", "W 34 -- 03 40"}));
}

TEST_F(CecRig, SetUpWithoutKeepingTheClockClearsItsBits) {
  chip.set_cec_reg(0xF6, 0xFF);
  chip.set_cec_reg(0xFF, 0xFF);
  const hdcec_setup_info setup{4, 0};
  ASSERT_EQ(hdcec_instance_setup(instance, &setup), 0u);
  const Lines t = trace();
  ASSERT_GE(t.size(), 8u);
  EXPECT_EQ(Lines(t.begin() + 2, t.begin() + 8), (Lines{"R 34 -- FF +1", "W 34 -- FF FF", "wait 250",
                                                        "R 34 -- F6 +1", "W 34 -- F6 E6", "wait 250"}));
  EXPECT_EQ(chip.cec_reg(0xF6), 0xE6);
}

TEST_F(CecRig, SetUpAddsTheAddressToTheAcceptanceMask) {
  struct row {
    std::uint8_t address, high, low;
    std::uint8_t want_high, want_low;
  };
  const row rows[] = {
      {1, 0x00, 0x00, 0x00, 0x02},                               // the daemon's address on a fresh core
      {4, 0x01, 0x00, 0x01, 0x10},                               // bits already there stay
      {9, 0x00, 0x00, 0x02, 0x00}, {15, 0x00, 0x01, 0x80, 0x00}, // the broadcast bit stands alone
      {3, 0x80, 0x01, 0x80, 0x00},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.address);
    hdcec_close(instance);
    ASSERT_EQ(hdcec_open(&instance), 0u);
    chip.set_cec_reg(0x04, r.high);
    chip.set_cec_reg(0x05, r.low);
    const hdcec_setup_info setup{r.address, 1};
    ASSERT_EQ(hdcec_instance_setup(instance, &setup), 0u);
    EXPECT_EQ(chip.cec_reg(0x04), r.want_high);
    EXPECT_EQ(chip.cec_reg(0x05), r.want_low);
  }
}

TEST_F(CecRig, SetUpWritesTheEnableRegisterAgainWhenTheFirstWriteFails) {
  unsigned enable_writes = 0;
  chip.set_fail([&](const chipsim::Transfer &t) { return t.write && t.reg == 0xFF && ++enable_writes == 1; });
  const hdcec_setup_info setup{1, 1};
  EXPECT_EQ(hdcec_instance_setup(instance, &setup), 0u);
  EXPECT_EQ(chip.cec_reg(0xFF), 0x81);

  hdcec_close(instance);
  ASSERT_EQ(hdcec_open(&instance), 0u);
  chip.set_fail([](const chipsim::Transfer &t) { return t.write && t.reg == 0xFF; });
  EXPECT_EQ(hdcec_instance_setup(instance, &setup), HDCEC_ERR_I2C_WRITE);
  // A failed set-up leaves the unit ready to try again.
  chip.set_fail(nullptr);
  EXPECT_EQ(hdcec_instance_setup(instance, &setup), 0u);
}

TEST_F(CecRig, PowerStatesSwitchTheCoreAndStandbyEndsTheSetUp) {
  set_up();
  chip.set_cec_reg(0xFF, 0xC1);
  ASSERT_EQ(hdcec_set_power_state(instance, HDCEC_POWER_STANDBY), 0u);
  ASSERT_EQ(hdcec_set_power_state(instance, HDCEC_POWER_ON), 0u);
  EXPECT_EQ(trace(), (Lines{"R 34 -- FF +1", "W 34 -- FF 40", "R 34 -- FF +1", "W 34 -- FF C1"}));
  EXPECT_EQ(hdcec_set_initiator_address(instance, 2), HDCEC_ERR_WRONG_STATE);
  const hdcec_setup_info setup{1, 1};
  EXPECT_EQ(hdcec_instance_setup(instance, &setup), 0u);
}

TEST_F(CecRig, CalibrationProgramsTheClockMeasurement) {
  chip.set_cec_reg(0xF5, 0xFF);
  chip.set_cec_reg(0xFF, 0x41);
  ASSERT_EQ(hdcec_enable_calibration(instance, 1), 0u);
  ASSERT_EQ(hdcec_disable_calibration(instance), 0u);
  EXPECT_EQ(trace(),
            (Lines{"W 34 -- F3 C0", "W 34 -- F4 D4", "R 34 -- F5 +1", "W 34 -- F5 7F", "W 34 -- F6 11",
                   "R 34 -- FF +1", "W 34 -- FF 81", "W 34 -- F2 01", "W 34 -- F2 00"}));

  chip.clear_log();
  EXPECT_EQ(hdcec_enable_calibration(instance, 0), 0u);
  EXPECT_EQ(hdcec_enable_calibration(instance, 2), 0u);
  EXPECT_EQ(chip.log_text(), "");
}

TEST_F(CecRig, CallsOutOfStateOrWithBadArgumentsAreRefused) {
  const hdcec_setup_info setup{1, 1};
  const hdcec_setup_info bad_address{16, 1};
  unsigned other = 0;
  EXPECT_EQ(hdcec_open(&other), HDCEC_ERR_ALREADY_OPEN);
  EXPECT_EQ(hdcec_open(nullptr), HDCEC_ERR_NULL_ARGUMENT);
  EXPECT_EQ(hdcec_instance_setup(instance, nullptr), HDCEC_ERR_NULL_ARGUMENT);
  EXPECT_EQ(hdcec_instance_setup(instance, &bad_address), HDCEC_ERR_BAD_PARAMETER);
  EXPECT_EQ(hdcec_set_initiator_address(instance, 3), HDCEC_ERR_WRONG_STATE);
  EXPECT_EQ(hdcec_set_power_state(instance, 2), HDCEC_ERR_BAD_PARAMETER);
  EXPECT_EQ(chip.log_text(), "") << "refused calls must not reach the core";

  ASSERT_EQ(hdcec_instance_setup(instance, &setup), 0u);
  EXPECT_EQ(hdcec_instance_setup(instance, &setup), HDCEC_ERR_WRONG_STATE);
  EXPECT_EQ(hdcec_set_initiator_address(instance, 16), HDCEC_ERR_BAD_PARAMETER);
  EXPECT_EQ(hdcec_set_initiator_address(instance, 3), 0u);

  const std::function<hdcec_err(unsigned)> entry_points[] = {
      [&](unsigned i) { return hdcec_close(i); },
      [&](unsigned i) { return hdcec_instance_setup(i, &setup); },
      [&](unsigned i) { return hdcec_set_power_state(i, 0); },
      [&](unsigned i) { return hdcec_register_callbacks(i, nullptr); },
      [&](unsigned i) { return hdcec_set_initiator_address(i, 1); },
      [&](unsigned i) { return hdcec_set_register(i, 0x06, 1); },
      [&](unsigned i) { return hdcec_enable_calibration(i, 1); },
      [&](unsigned i) { return hdcec_disable_calibration(i); },
      [&](unsigned i) { return hdcec_handle_interrupt(i); },
      [&](unsigned i) { return hdcec_standby(i, 0); },
  };
  for (const auto &call : entry_points)
    EXPECT_EQ(call(1), HDCEC_ERR_BAD_INSTANCE);
  ASSERT_EQ(hdcec_close(instance), 0u);
  chip.clear_log();
  for (const auto &call : entry_points)
    EXPECT_EQ(call(0), HDCEC_ERR_NOT_OPEN);
  EXPECT_EQ(chip.log_text(), "");
}

TEST_F(CecRig, ReopenStartsFromTheBroadcastAddressWithoutCallback) {
  set_up(4);
  ASSERT_EQ(hdcec_close(instance), 0u);
  ASSERT_EQ(hdcec_open(&instance), 0u);
  EXPECT_EQ(instance, 0u);
  ASSERT_EQ(hdcec_image_view_on(instance, 0), 0u);
  EXPECT_EQ(bus(chip).back(), (std::vector<std::uint8_t>{0xF0, 0x04}));
  chip.cec_receive({0x01, 0x36});
  ASSERT_EQ(hdcec_handle_interrupt(instance), 0u);
  EXPECT_TRUE(calls.empty());
}

TEST_F(CecRig, BusFailuresAreReportedAsReadOrWriteFailures) {
  const hdcec_setup_info setup{1, 1};
  constexpr hdcec_err R = HDCEC_ERR_I2C_READ, W = HDCEC_ERR_I2C_WRITE;
  struct row {
    const char *what;
    std::function<hdcec_err()> call;
    hdcec_err writes_failing, reads_failing;
  };
  const row rows[] = {
      {"set-up", [&] { return hdcec_instance_setup(instance, &setup); }, W, R},
      {"power on", [&] { return hdcec_set_power_state(instance, HDCEC_POWER_ON); }, W, R},
      {"standby", [&] { return hdcec_set_power_state(instance, HDCEC_POWER_STANDBY); }, W, R},
      {"calibration on", [&] { return hdcec_enable_calibration(instance, 1); }, W, R},
      {"calibration off", [&] { return hdcec_disable_calibration(instance); }, W, 0},
      {"register", [&] { return hdcec_set_register(instance, 0x06, 5); }, W, 0},
      {"message", [&] { return hdcec_report_power_status(instance, 0, 0); }, W, 0},
      {"interrupt", [&] { return hdcec_handle_interrupt(instance); }, 0, R},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    hdcec_close(instance);
    ASSERT_EQ(hdcec_open(&instance), 0u);
    chip.cec_receive({0x01, 0x36});
    fail_writes();
    EXPECT_EQ(r.call(), r.writes_failing);
    fail_reads();
    EXPECT_EQ(r.call(), r.reads_failing);
    chip.set_fail(nullptr);
  }
}

} // namespace
} // namespace cectest
