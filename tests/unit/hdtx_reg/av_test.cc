// Video, colour and audio families: what the driver above relies on (events, refusals,
// the matrix choice) and the audio clock regeneration values, checked against the
// recommended N and expected CTS of the HDMI standard's audio clock regeneration tables.
#include "reg_test_util.h"

#include "hdtx_reg_av.h"

namespace regtest {
namespace {

using AvFamilies = RegUnit;

TEST(AudioClockRegeneration, RecommendedNAndExpectedCts) {
  struct row {
    unsigned format, field_rate, rate;
    std::uint32_t n, cts;
  };
  const row rows[] = {
      {4, 5, 2, 6144, 74250},     // 74.25 MHz, 48 kHz
      {4, 4, 2, 11648, 140625},   // 74.25/1.001 MHz, 48 kHz
      {4, 4, 1, 17836, 234375},   // 74.25/1.001 MHz, 44.1 kHz
      {1, 4, 2, 6864, 28125},     // 25.2/1.001 MHz, 48 kHz
      {1, 5, 0, 4096, 25200},     // 25.2 MHz, 32 kHz
      {17, 3, 1, 6272, 30000},    // 27 MHz, 44.1 kHz
      {31, 3, 1, 6272, 165000},   // 148.5 MHz, 44.1 kHz
      {16, 4, 2, 5824, 140625},   // 148.5/1.001 MHz, 48 kHz
      {19, 3, 4, 12288, 74250},   // 74.25 MHz, 96 kHz: twice the 48 kHz N
      {34, 2, 6, 24576, 74250},   // 1080p30, 192 kHz
  };
  for (const row &r : rows) {
    std::uint32_t n = 0, cts = 0;
    hdtx_audio_n_cts(r.rate, hdtx_vfmt_to_pix_clk(r.format, r.field_rate), &n, &cts);
    EXPECT_EQ(n, r.n) << "format " << r.format << " rate " << r.rate;
    EXPECT_EQ(cts, r.cts) << "format " << r.format << " rate " << r.rate;
  }
}

TEST(AudioClockRegeneration, FormatRows) {
  // Codes 60 to 62 take the last three rows; a rate the format does not run at has no clock.
  EXPECT_EQ(hdtx_vfmt_to_pix_clk(60, 0).hz, 59400000u);
  EXPECT_EQ(hdtx_vfmt_to_pix_clk(62, 2).hz, 74250000u);
  EXPECT_EQ(hdtx_vfmt_to_pix_clk(16, 3).hz, 0u);
  EXPECT_EQ(hdtx_vfmt_to_pix_clk(39, 3).hz, 0u);
  EXPECT_EQ(hdtx_vfmt_to_pix_clk(63, 0).hz, 0u);
  EXPECT_EQ(hdtx_vfmt_to_pix_clk(16, 6).hz, 0u);
  EXPECT_TRUE(hdtx_vfmt_to_pix_clk(16, 4).drop);
}

TEST_F(AvFamilies, SetInOutRaisesVideoConfigured) {
  ASSERT_EQ(init(), HDTX_OK);
  hdtx_reg_unit *u = unit();
  u->state = HDTX_ST_RX_ACTIVE;
  EXPECT_EQ(hdtx_reg_video_set_in_out(0, 63, 16, 1), HDTX_REG_ERR_BAD_PARAMETER);
  EXPECT_EQ(u->state, HDTX_ST_RX_ACTIVE);
  ASSERT_EQ(hdtx_reg_video_set_in_out(0, 18, 18, 1), HDTX_OK);
  EXPECT_EQ(u->state, HDTX_ST_VIDEO_CONFIGURED);
  EXPECT_EQ(chip.hdmi_reg(0x02, 0x06), 0x10); // single-rate PLL for a progressive format
  ASSERT_EQ(hdtx_reg_video_set_output_off(0, true), HDTX_OK);
  EXPECT_EQ(chip.hdmi_reg(0x00, 0xCA) & 0x20, 0x20);
  EXPECT_EQ(u->state, HDTX_ST_RX_ACTIVE);
  // 576i at single rate repeats each pixel: the PLL of the 480i/576i class.
  ASSERT_EQ(hdtx_reg_video_set_in_out(0, 21, 21, 1), HDTX_OK);
  EXPECT_EQ(chip.hdmi_reg(0x02, 0x06), 0x11);
}

TEST_F(AvFamilies, MatrixBypassOrConversion) {
  ASSERT_EQ(init(), HDTX_OK);
  chip.clear_log();
  ASSERT_EQ(hdtx_reg_matrix_set_conversion(0, 16, HDTX_CS_RGB444, 16, HDTX_CS_RGB444), HDTX_OK);
  for (const auto &t : chip.log())
    EXPECT_FALSE(t.write && t.bytes.size() > 1) << "no coefficients for a bypass";
  chip.clear_log();
  ASSERT_EQ(hdtx_reg_matrix_set_conversion(0, 16, HDTX_CS_RGB444, 16, HDTX_CS_YUV444), HDTX_OK);
  bool coefficients = false;
  for (const auto &t : chip.log()) {
    if (t.write && t.bytes.size() == 30) {
      coefficients = true;
      // BT.709 luma of limited range: 0.183, 0.614, 0.062 in 1/256.
      EXPECT_EQ(t.bytes[1], 47);
      EXPECT_EQ(t.bytes[3], 157);
      EXPECT_EQ(t.bytes[5], 16);
    }
  }
  EXPECT_TRUE(coefficients);
  EXPECT_EQ(hdtx_reg_matrix_set_conversion(0, 16, 3, 16, 0), HDTX_REG_ERR_BAD_PARAMETER);
}

TEST_F(AvFamilies, Refusals) {
  ASSERT_EQ(init(), HDTX_OK);
  EXPECT_EQ(hdtx_reg_set_color_depth(0, 1), HDTX_REG_ERR_NOT_SUPPORTED);
  EXPECT_EQ(hdtx_reg_set_color_depth(0, 4), HDTX_REG_ERR_BAD_PARAMETER);
  EXPECT_EQ(hdtx_reg_video_in_set_config(0, 5, 0, 1), HDTX_REG_ERR_BAD_PARAMETER);
  EXPECT_EQ(hdtx_reg_tmds_set_outputs(0, 4), HDTX_REG_ERR_BAD_PARAMETER);
  EXPECT_EQ(hdtx_reg_audio_in_set_config(0, 1, 0, 0x0C, 24, 0), HDTX_REG_ERR_BAD_PARAMETER);
  EXPECT_EQ(hdtx_reg_audio_in_set_cts(0, 2, 16, 3), HDTX_REG_ERR_BAD_PARAMETER) << "1080p60 has no 50 Hz clock";
  EXPECT_EQ(hdtx_reg_audio_in_set_cts(0, 7, 16, 5), HDTX_REG_ERR_BAD_PARAMETER);
  const std::uint8_t swap[6] = {0, 1, 2, 3, 4, 6};
  const std::uint8_t mirror[6] = {};
  EXPECT_EQ(hdtx_reg_video_in_set_mapping(0, swap, mirror), HDTX_REG_ERR_BAD_PARAMETER);
  EXPECT_EQ(hdtx_reg_video_in_set_config(1, 3, 0, 1), HDTX_REG_ERR_NOT_INITIALIZED);
}

TEST_F(AvFamilies, ChannelStatusBytes) {
  ASSERT_EQ(init(), HDTX_OK);
  const hdtx_aud_chan_status status{0, 1, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(hdtx_reg_audio_out_set_chan_status(0, &status, 2), HDTX_OK);
  EXPECT_EQ(chip.hdmi_reg(0x11, 0x10), 0x04); // linear PCM, no copyright asserted
  EXPECT_EQ(chip.hdmi_reg(0x11, 0x13), 0x02); // 48 kHz
  ASSERT_EQ(hdtx_reg_audio_out_set_chan_status(0, &status, 1), HDTX_OK);
  EXPECT_EQ(chip.hdmi_reg(0x11, 0x13), 0x00); // 44.1 kHz
}

} // namespace
} // namespace regtest
