// Packet family, told on the SPD infoframe: refusals, the frame and its checksum on the wire, and
// the enable bit around the write.
#include "reg_test_util.h"

#include "hdtx_reg_packets.h"

#include <cstring>

namespace regtest {
namespace {

using Packets = RegUnit;

hdtx_pkt_spd sample_spd() {
  hdtx_pkt_spd spd{};
  std::memcpy(spd.vendor_name, "VEXO    ", 8);
  std::memcpy(spd.product_desc, "PTZ CAMERA      ", 16);
  spd.source_info = 9;
  return spd;
}

TEST_F(Packets, SpdRefusals) {
  ASSERT_EQ(init(), HDTX_OK);
  hdtx_pkt_spd spd = sample_spd();
  chip.clear_log();
  EXPECT_EQ(hdtx_reg_pkt_set_spd_infoframe(0, &spd, 1), HDTX_REG_ERR_NOT_HDMI);
  ASSERT_EQ(hdtx_reg_set_sink_type(0, HDTX_SINK_HDMI), HDTX_OK);
  spd.source_info = 10;
  EXPECT_EQ(hdtx_reg_pkt_set_spd_infoframe(0, &spd, 1), HDTX_REG_ERR_BAD_PARAMETER);
  spd.source_info = 0;
  EXPECT_EQ(hdtx_reg_pkt_set_spd_infoframe(0, &spd, 2), HDTX_REG_ERR_BAD_PARAMETER);
  EXPECT_TRUE(chip.log().empty()) << "a refused packet must not touch the chip";
  EXPECT_EQ(hdtx_reg_pkt_set_spd_infoframe(1, &spd, 1), HDTX_REG_ERR_NOT_INITIALIZED);
}

TEST_F(Packets, SpdFrameOnTheWire) {
  ASSERT_EQ(init(), HDTX_OK);
  ASSERT_EQ(hdtx_reg_set_sink_type(0, HDTX_SINK_HDMI), HDTX_OK);
  chip.set_hdmi_reg(0x11, 0x0F, 0x08 | 0x02); // SPD on from before, AVI on
  hdtx_pkt_spd spd = sample_spd();
  chip.clear_log();
  ASSERT_EQ(hdtx_reg_pkt_set_spd_infoframe(0, &spd, 1), HDTX_OK);

  auto log = chip.log();
  // Enable bit off, the 29 bytes in one transfer, enable bit on.
  std::vector<chipsim::Transfer> writes;
  for (const auto &t : log)
    if (t.write && t.reg != 0xFF)
      writes.push_back(t);
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0].page, 0x11);
  EXPECT_EQ(writes[0].reg, 0x0F);
  EXPECT_EQ(writes[0].bytes, (std::vector<std::uint8_t>{0x02}));
  EXPECT_EQ(writes[1].page, 0x10);
  EXPECT_EQ(writes[1].reg, 0x60);
  ASSERT_EQ(writes[1].bytes.size(), 29u);
  EXPECT_EQ(writes[2].bytes, (std::vector<std::uint8_t>{0x0A}));

  const auto &frame = writes[1].bytes;
  EXPECT_EQ(frame[0], 0x83);
  EXPECT_EQ(frame[1], 1);
  EXPECT_EQ(frame[2], 25);
  EXPECT_EQ(std::memcmp(frame.data() + 4, "VEXO    PTZ CAMERA      ", 24), 0);
  EXPECT_EQ(frame[28], 9);
  unsigned sum = 0;
  for (std::uint8_t b : frame)
    sum += b;
  EXPECT_EQ(sum % 256, 0u);
  // The checksum of this frame, worked out apart: 0x100 - (sum of the other 28 bytes mod 256).
  EXPECT_EQ(frame[3], 0x11);
}

TEST_F(Packets, NullDataOnlySwitchesTheEnableBit) {
  ASSERT_EQ(init(), HDTX_OK);
  ASSERT_EQ(hdtx_reg_set_sink_type(0, HDTX_SINK_HDMI), HDTX_OK);
  chip.set_hdmi_reg(0x11, 0x0F, 0x08);
  chip.clear_log();
  ASSERT_EQ(hdtx_reg_pkt_set_spd_infoframe(0, nullptr, 0), HDTX_OK);
  EXPECT_EQ(chip.hdmi_reg(0x11, 0x0F), 0x00);
  for (const auto &t : chip.log())
    EXPECT_NE(t.page, 0x10) << "no frame bytes may be written";
}

TEST_F(Packets, AviAndAudioInfoframeLayouts) {
  ASSERT_EQ(init(), HDTX_OK);
  ASSERT_EQ(hdtx_reg_set_sink_type(0, HDTX_SINK_HDMI), HDTX_OK);
  hdtx_pkt_avi avi{};
  avi.colour_indicator = 2;
  avi.active_info = 1;
  avi.colorimetry = 2;
  avi.picture_aspect = 2;
  avi.active_format = 8;
  avi.video_code = 16;
  ASSERT_EQ(hdtx_reg_pkt_set_video_infoframe(0, &avi, 1), HDTX_OK);
  // Type, version, length, checksum, then PB1 = Y=2 A=1, PB2 = C=2 M=2 R=8, PB4 = VIC.
  const std::uint8_t expected[8] = {0x82, 0x02, 0x0D, 0x00, 0x50, 0xA8, 0x00, 0x10};
  unsigned sum = 0;
  for (unsigned i = 0; i < 17; ++i)
    sum += chip.hdmi_reg(0x10, static_cast<std::uint8_t>(0x40 + i));
  EXPECT_EQ(sum % 256, 0u);
  for (unsigned i = 0; i < 8; ++i) {
    if (i != 3) {
      EXPECT_EQ(chip.hdmi_reg(0x10, static_cast<std::uint8_t>(0x40 + i)), expected[i]) << "byte " << i;
    }
  }
  avi.video_code = 128;
  EXPECT_EQ(hdtx_reg_pkt_set_video_infoframe(0, &avi, 1), HDTX_REG_ERR_BAD_PARAMETER);

  hdtx_pkt_aif aif{};
  aif.channel_count = 1;
  aif.channel_alloc = 0;
  ASSERT_EQ(hdtx_reg_pkt_set_audio_infoframe(0, &aif, 1), HDTX_OK);
  EXPECT_EQ(chip.hdmi_reg(0x10, 0x80), 0x84);
  EXPECT_EQ(chip.hdmi_reg(0x10, 0x82), 10);
  EXPECT_EQ(chip.hdmi_reg(0x10, 0x84), 0x01);
}

} // namespace
} // namespace regtest
