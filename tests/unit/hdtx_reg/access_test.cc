// Register access: the page cache, shadow registers and field writes, seen on the wire.
#include "reg_test_util.h"

#include <cerrno>

namespace regtest {
namespace {

using Access = RegUnit;

TEST_F(Access, SamePageTwiceSelectsItOnce) {
  ASSERT_EQ(init(), HDTX_OK);
  hdtx_reg_unit *u = unit();
  ASSERT_EQ(set_hw_register(u, hdtx_reg(PI_12, 0x10), 1), HDTX_OK); // leaves page 0x12 selected
  chip.clear_log();
  ASSERT_EQ(set_hw_register(u, hdtx_reg(PI_02, 0x30), 0x11), HDTX_OK);
  std::uint8_t v = 0;
  ASSERT_EQ(get_hw_register(u, hdtx_reg(PI_02, 0x30), &v), HDTX_OK);
  EXPECT_EQ(v, 0x11);
  EXPECT_EQ(log_lines(chip), (std::vector<std::string>{"W 70 p12 FF 02", "W 70 p02 30 11", "R 70 p02 30 +1"}));
}

TEST_F(Access, FailedPageWriteSelectsAgainNextTime) {
  ASSERT_EQ(init(), HDTX_OK);
  hdtx_reg_unit *u = unit();
  ASSERT_EQ(set_hw_register(u, hdtx_reg(PI_00, 0x40), 0), HDTX_OK);
  bool failing = true;
  chip.set_fail([&](const chipsim::Transfer &t) { return failing && t.write && t.reg == 0xFF; });
  EXPECT_EQ(set_hw_register(u, hdtx_reg(PI_11, 0x20), 5), HDTX_REG_ERR_I2C_WRITE);
  std::uint8_t v = 0;
  EXPECT_EQ(get_hw_register(u, hdtx_reg(PI_11, 0x20), &v), HDTX_REG_ERR_I2C_WRITE);
  EXPECT_EQ(chip.hdmi_reg(0x11, 0x20), 0) << "nothing may land on the wrong page";
  failing = false;
  chip.clear_log();
  ASSERT_EQ(set_hw_register(u, hdtx_reg(PI_11, 0x20), 5), HDTX_OK);
  EXPECT_EQ(log_lines(chip), (std::vector<std::string>{"W 70 p00 FF 11", "W 70 p11 20 05"}));
  EXPECT_EQ(chip.hdmi_reg(0x11, 0x20), 5);
}

TEST_F(Access, FieldWriteKeepsTheOtherBits) {
  ASSERT_EQ(init(), HDTX_OK);
  hdtx_reg_unit *u = unit();
  chip.set_hdmi_reg(0x01, 0x50, 0xF3);
  ASSERT_EQ(set_hw_register_field(u, hdtx_reg(PI_01, 0x50), 0x0C, 2), HDTX_OK);
  EXPECT_EQ(chip.hdmi_reg(0x01, 0x50), 0xFB); // bits 2-3 = 10b
  // The value is shifted to the mask's lowest bit and cut to the mask.
  ASSERT_EQ(set_hw_register_field(u, hdtx_reg(PI_01, 0x50), 0x30, 0xFF), HDTX_OK);
  EXPECT_EQ(chip.hdmi_reg(0x01, 0x50), 0xFB);
  ASSERT_EQ(set_hw_register_field(u, hdtx_reg(PI_01, 0x50), 0x80, 0), HDTX_OK);
  EXPECT_EQ(chip.hdmi_reg(0x01, 0x50), 0x7B);
}

TEST_F(Access, FieldWriteStopsOnAFailedRead) {
  ASSERT_EQ(init(), HDTX_OK);
  hdtx_reg_unit *u = unit();
  chip.set_hdmi_reg(0x01, 0x50, 0xF3);
  chip.set_fail([](const chipsim::Transfer &t) { return !t.write; });
  chip.clear_log();
  EXPECT_EQ(set_hw_register_field(u, hdtx_reg(PI_01, 0x50), 0x0C, 2), HDTX_REG_ERR_I2C_READ);
  for (const std::string &line : log_lines(chip))
    EXPECT_NE(line.rfind("W 70 p01 50", 0), 0u) << "no write after the failed read: " << line;
  EXPECT_EQ(chip.hdmi_reg(0x01, 0x50), 0xF3);
}

TEST_F(Access, ShadowedRegistersAnswerWithoutTraffic) {
  ASSERT_EQ(init(), HDTX_OK);
  hdtx_reg_unit *u = unit();
  const std::uint16_t shadowed = hdtx_spec(17, PI_01, 0x60);
  ASSERT_EQ(set_hw_register(u, shadowed, 0x5A), HDTX_OK);
  chip.set_hdmi_reg(0x01, 0x60, 0x00); // the chip cannot give it back
  chip.clear_log();
  std::uint8_t v = 0;
  ASSERT_EQ(get_hw_register(u, shadowed, &v), HDTX_OK);
  EXPECT_EQ(v, 0x5A);
  // A field write works from the shadow too: no read on the wire.
  ASSERT_EQ(set_hw_register_field(u, shadowed, 0x0F, 0x3), HDTX_OK);
  EXPECT_EQ(log_lines(chip), (std::vector<std::string>{"W 70 p01 60 53"}));
}

TEST_F(Access, InterruptRegistersAreAlwaysReadFromTheChip) {
  ASSERT_EQ(init(), HDTX_OK);
  hdtx_reg_unit *u = unit();
  chip.raise_hdmi_interrupt(0x0F, 0x04);
  chip.raise_hdmi_interrupt(0x10, 0x40);
  chip.raise_hdmi_interrupt(0x11, 0x02);
  chip.clear_log();
  std::uint8_t a = 0, b = 0, c = 0;
  ASSERT_EQ(get_hw_register(u, REG_INT_FLAGS_0, &a), HDTX_OK);
  ASSERT_EQ(get_hw_register(u, REG_INT_FLAGS_1, &b), HDTX_OK);
  ASSERT_EQ(get_hw_register(u, REG_INT_FLAGS_2, &c), HDTX_OK);
  EXPECT_EQ(a, 0x04);
  EXPECT_EQ(b, 0x40);
  EXPECT_EQ(c, 0x02);
  EXPECT_EQ(log_lines(chip).size(), 3u);
  // Their written value is still kept as the enable.
  EXPECT_EQ(u->shadow[spec_shadow(REG_INT_FLAGS_2)], 0x02);
}

TEST_F(Access, MultiByteAndCecAccess) {
  ASSERT_EQ(init(), HDTX_OK);
  hdtx_reg_unit *u = unit();
  ASSERT_EQ(set_hw_register_msb_lsb(u, hdtx_reg(PI_00, 0x70), 0x1234), HDTX_OK);
  EXPECT_EQ(chip.hdmi_reg(0x00, 0x70), 0x12);
  EXPECT_EQ(chip.hdmi_reg(0x00, 0x71), 0x34);
  chip.clear_log();
  ASSERT_EQ(set_cec_hw_register(u, 0x20, 0x99), HDTX_OK);
  EXPECT_EQ(log_lines(chip), (std::vector<std::string>{"W 34 -- 20 99"}));
  EXPECT_EQ(chip.cec_reg(0x20), 0x99);
}

TEST(RegUnitChecks, UnitNumbers) {
  hdtx_reg_unit *u = nullptr;
  EXPECT_EQ(check_unit(2, &u), HDTX_REG_ERR_BAD_UNIT);
  EXPECT_EQ(check_unit(1, &u), HDTX_REG_ERR_NOT_INITIALIZED);
  EXPECT_EQ(hdtx_reg_reset(7), HDTX_REG_ERR_BAD_UNIT);
  EXPECT_EQ(hdtx_reg_deinit(1), HDTX_REG_ERR_NOT_INITIALIZED);
}

} // namespace
} // namespace regtest
