// Initialisation: parameter checks, the sequence on the wire, version checks, the PLL set-up per
// format class, and de-initialisation.
#include "reg_test_util.h"

namespace regtest {
namespace {

using Init = RegUnit;

// The whole start-up as the chip sees it, for 1080p60 at single pixel rate on a 0x0301 part.
const std::vector<std::string> init_1080p_single = {
    // CEC core: enable, read back, keep all but bit 6 and add bits 1-2.
    "W 34 -- FF 40",
    "R 34 -- FF +1",
    "W 34 -- FF 06",
    // Reset pulse (read-modify-write of an unshadowed register).
    "W 70 p00 FF 00",
    "R 70 p00 0A +1",
    "W 70 p00 0A 03",
    "R 70 p00 0A +1",
    "W 70 p00 0A 00",
    // Version.
    "R 70 p00 00 +1",
    "R 70 p00 02 +1",
    // Serialiser and the common PLL table.
    "W 70 p00 FF 02",
    "W 70 p02 12 09",
    "R 70 p02 00 +1", "W 70 p02 00 00",
    "R 70 p02 01 +1", "W 70 p02 01 01",
    "R 70 p02 02 +1", "W 70 p02 02 00",
    "R 70 p02 03 +1", "W 70 p02 03 00",
    "R 70 p02 04 +1", "W 70 p02 04 00",
    "R 70 p02 05 +1", "W 70 p02 05 00",
    "R 70 p02 0E +1", "W 70 p02 0E 03",
    "R 70 p02 11 +1", "W 70 p02 11 09",
    // Page 0x00 register 0x24, bit 5 cleared.
    "W 70 p02 FF 00",
    "R 70 p00 24 +1", "W 70 p00 24 00",
    // PLL for formats other than 480i/576i, then single pixel rate.
    "W 70 p00 FF 02",
    "R 70 p02 07 +1", "W 70 p02 07 FA",
    "R 70 p02 08 +1", "W 70 p02 08 00",
    "R 70 p02 09 +1", "W 70 p02 09 5B",
    "R 70 p02 0A +1", "W 70 p02 0A 00",
    "R 70 p02 06 +1", "W 70 p02 06 10",
    // Last settings and the interrupt enables.
    "W 70 p02 FF 00",
    "W 70 p00 0B 00",
    "W 70 p00 FF 12",
    "W 70 p12 9A 27",
    "W 70 p12 FF 00",
    "W 70 p00 10 40",
    "W 70 p00 11 02",
};

TEST_F(Init, SequenceOnTheWire) {
  ASSERT_EQ(init(16, 1), HDTX_OK);
  EXPECT_EQ(log_lines(chip), init_1080p_single);
  EXPECT_EQ(waits, (std::vector<unsigned>{50}));
  EXPECT_EQ(chip.interrupt_enable(0x10), 0x40);
  EXPECT_EQ(chip.interrupt_enable(0x11), 0x02);
  unsigned state = 99;
  ASSERT_EQ(hdtx_reg_get_state(0, &state, nullptr), HDTX_OK);
  EXPECT_EQ(state, HDTX_ST_INITIALIZED);
  std::uint16_t version = 0;
  ASSERT_EQ(hdtx_reg_hw_get_version(0, &version), HDTX_OK);
  EXPECT_EQ(version, 0x0301);
  std::uint8_t features = 0;
  ASSERT_EQ(hdtx_reg_hw_get_capabilities(0, &features), HDTX_OK);
  EXPECT_EQ(features, 3); // bits 4-5 of register 0x00
}

TEST_F(Init, ParameterChecks) {
  struct row {
    unsigned unit;
    std::uint8_t address;
    bool write, read;
    unsigned format, rate;
    hdtx_err expected;
  };
  const row rows[] = {
      {2, 0x70, true, true, 16, 1, HDTX_REG_ERR_BAD_UNIT},
      {0, 0x00, true, true, 16, 1, HDTX_REG_ERR_BAD_PARAMETER},
      {0, 0x70, false, true, 16, 1, HDTX_REG_ERR_BAD_PARAMETER},
      {0, 0x70, true, false, 16, 1, HDTX_REG_ERR_BAD_PARAMETER},
      {0, 0x70, true, true, 0, 1, HDTX_REG_ERR_BAD_PARAMETER},
      {0, 0x70, true, true, 63, 1, HDTX_REG_ERR_BAD_PARAMETER},
      {0, 0x70, true, true, 16, 4, HDTX_REG_ERR_BAD_PARAMETER},
  };
  for (const row &r : rows) {
    chip.clear_log();
    EXPECT_EQ(hdtx_reg_init(r.unit, r.address, r.write ? chipsim::i2c_write : nullptr,
                            r.read ? chipsim::i2c_read : nullptr, record_wait, callback_table(), HDTX_REG_CALLBACKS,
                            r.format, r.rate),
              r.expected)
        << "unit " << r.unit << " format " << r.format << " rate " << r.rate;
    EXPECT_TRUE(chip.log().empty()) << "a refused init must not touch the chip";
  }
  EXPECT_EQ(hdtx_reg_init(0, 0x70, chipsim::i2c_write, chipsim::i2c_read, record_wait, callback_table(), 14, 16, 1),
            HDTX_REG_ERR_BAD_PARAMETER);
  ASSERT_EQ(init(62, 1), HDTX_OK);
  EXPECT_EQ(init(16, 1), HDTX_REG_ERR_INITIALIZED);
}

TEST_F(Init, ChipVersions) {
  struct row {
    std::uint8_t reg00, reg02;
    hdtx_err expected;
  };
  const row rows[] = {
      {0x01, 0x01, HDTX_OK},
      {0x01, 0x02, HDTX_OK},
      {0x32, 0x02, HDTX_OK}, // 0x0202 with feature bits
      {0x11, 0x03, HDTX_OK},
      {0x00, 0x00, HDTX_REG_ERR_COMPATIBILITY},
      {0x30, 0x00, HDTX_REG_ERR_COMPATIBILITY}, // only feature bits: version 0
      {0x02, 0x01, HDTX_REG_ERR_COMPATIBILITY},
      {0x01, 0x04, HDTX_REG_ERR_COMPATIBILITY},
  };
  for (const row &r : rows) {
    chip.set_version_registers(r.reg00, r.reg02);
    EXPECT_EQ(init(), r.expected) << std::hex << unsigned(r.reg02) << " " << unsigned(r.reg00);
    // A refused chip leaves the unit free, so the next attempt is not "already initialised".
    hdtx_reg_deinit(0);
    hdtx_reg_unit *u = nullptr;
    EXPECT_EQ(check_unit(0, &u), HDTX_REG_ERR_NOT_INITIALIZED);
  }
}

TEST_F(Init, OnlyVersion0201ClearsRegister0D) {
  chip.set_hdmi_reg(0x00, 0x0D, 0xFF);
  chip.set_version_registers(0x01, 0x03);
  ASSERT_EQ(init(), HDTX_OK);
  EXPECT_EQ(chip.hdmi_reg(0x00, 0x0D), 0xFF);
  ASSERT_EQ(hdtx_reg_deinit(0), HDTX_OK);
  chip.set_version_registers(0x01, 0x02);
  ASSERT_EQ(init(), HDTX_OK);
  EXPECT_EQ(chip.hdmi_reg(0x00, 0x0D), 0xFE);
}

TEST_F(Init, PllPerFormatClassAndPixelRate) {
  struct row {
    unsigned format, rate;
    hdtx_err expected;
    std::uint8_t r06, r07, r09;
  };
  const row rows[] = {
      {6, 1, HDTX_OK, 0x11, 0x14, 0x0A},  {7, 2, HDTX_OK, 0x01, 0x14, 0x0A},  {21, 1, HDTX_OK, 0x11, 0x14, 0x0A},
      {22, 2, HDTX_OK, 0x01, 0x14, 0x0A}, {6, 0, HDTX_REG_ERR_RANGE, 0, 0, 0}, {22, 3, HDTX_REG_ERR_RANGE, 0, 0, 0},
      {16, 0, HDTX_OK, 0x00, 0xFA, 0x5B}, {19, 1, HDTX_OK, 0x10, 0xFA, 0x5B}, {5, 2, HDTX_REG_ERR_RANGE, 0, 0, 0},
      {20, 3, HDTX_REG_ERR_RANGE, 0, 0, 0},
  };
  for (const row &r : rows) {
    for (std::uint8_t reg : {std::uint8_t{0x06}, std::uint8_t{0x07}, std::uint8_t{0x09}})
      chip.set_hdmi_reg(0x02, reg, 0xEE);
    EXPECT_EQ(init(r.format, r.rate), r.expected) << "format " << r.format << " rate " << r.rate;
    if (r.expected == HDTX_OK) {
      EXPECT_EQ(chip.hdmi_reg(0x02, 0x06), r.r06) << "format " << r.format;
      EXPECT_EQ(chip.hdmi_reg(0x02, 0x07), r.r07) << "format " << r.format;
      EXPECT_EQ(chip.hdmi_reg(0x02, 0x09), r.r09) << "format " << r.format;
    }
    hdtx_reg_deinit(0);
  }
}

TEST_F(Init, AnI2cFailureLeavesTheUnitFree) {
  unsigned writes = 0;
  chip.set_fail([&](const chipsim::Transfer &t) { return t.write && ++writes == 20; });
  EXPECT_EQ(init(), HDTX_REG_ERR_I2C_WRITE);
  chip.set_fail(nullptr);
  EXPECT_EQ(init(), HDTX_OK);
}

TEST_F(Init, DeinitReturnsToTheFirstState) {
  ASSERT_EQ(init(), HDTX_OK);
  ASSERT_EQ(hdtx_reg_deinit(0), HDTX_OK);
  EXPECT_EQ(hdtx_reg_get_state(0, nullptr, nullptr), HDTX_REG_ERR_NOT_INITIALIZED);
  EXPECT_EQ(hdtx_reg_sys_timer_wait(0, 5), HDTX_REG_ERR_NOT_INITIALIZED);
}

} // namespace
} // namespace regtest
