// Video and audio set-up as the chip model's registers show it: the AVI infoframe for a few
// formats and colour spaces, N and CTS, the audio mute around the change, the audio infoframe,
// and a DVI sink that takes no infoframes.
#include "dev_test_util.h"

#include "hdtx_reg.h"

#include <sstream>

namespace {

using devtest::DevTest;

constexpr std::uint8_t page_packets = 0x10;
constexpr std::uint8_t page_audio = 0x11;
constexpr std::uint8_t avi_register = 0x40;
constexpr std::uint8_t aif_register = 0x80;
constexpr std::uint8_t packet_enable = 0x0F; // page 0x11: bit 1 AVI, bit 2 audio

hdtx_audio_in_config daemon_audio() {
  hdtx_audio_in_config a{};
  a.format = 1;
  a.rate = 2;
  a.i2s_format = 0x0C;
  a.i2s_qualifier = 32;
  a.channel_status.copyright = 1;
  return a;
}

std::vector<std::uint8_t> regs(const chipsim::Chip &chip, std::uint8_t page, std::uint8_t first, unsigned n) {
  std::vector<std::uint8_t> out;
  for (unsigned i = 0; i < n; ++i)
    out.push_back(chip.hdmi_reg(page, static_cast<std::uint8_t>(first + i)));
  return out;
}

class AvTest : public DevTest {
protected:
  void SetUp() override {
    DevTest::SetUp();
    bring_up();
  }
  hdtx_err configure(unsigned code, unsigned colour_space, unsigned sink, const hdtx_audio_in_config *audio) {
    const hdtx_video_in_config in{code, HDTX_VIN_RGB444, 0, HDTX_PIXRATE_SINGLE, 0};
    const hdtx_video_out_config out{code, colour_space, 0, 0};
    return hdtx_set_input_output(0, &in, &out, audio, sink);
  }
};

TEST_F(AvTest, AviInfoframePerFormat) {
  const struct {
    unsigned code;
    unsigned colour_space;
    std::uint8_t pb1; // colour space, active format present
    std::uint8_t pb2; // colorimetry, picture aspect, active format 8
    std::uint8_t pb5; // pixel repetition
  } cases[] = {
      {31, HDTX_CS_YUV444, 0x50, 0xA8, 0}, // 1080p50: BT.709, 16:9
      {18, HDTX_CS_RGB444, 0x10, 0xA8, 0}, // 576p 16:9: BT.709, as the matrix converts it
      {33, HDTX_CS_YUV444, 0x50, 0x68, 0}, // 1080p25: BT.601, as the matrix converts it
      {6, HDTX_CS_RGB444, 0x10, 0x58, 1},  // 480i 4:3: pixels sent twice
      {4, HDTX_CS_YUV422, 0x30, 0xA8, 0},  // 720p60
      {10, HDTX_CS_RGB444, 0x10, 0x58, 3}, // 480i, four times
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.code);
    ASSERT_EQ(configure(k.code, k.colour_space, HDTX_SINK_HDMI, nullptr), HDTX_OK);
    const std::vector<std::uint8_t> frame = regs(chip, page_packets, avi_register, 17);
    EXPECT_EQ(frame[0], 0x82);
    EXPECT_EQ(frame[1], 2);
    EXPECT_EQ(frame[2], 13);
    unsigned sum = 0;
    for (std::uint8_t b : frame)
      sum += b;
    EXPECT_EQ(sum % 256, 0u);
    EXPECT_EQ(frame[4], k.pb1);
    EXPECT_EQ(frame[5], k.pb2);
    EXPECT_EQ(frame[6], 0);
    EXPECT_EQ(frame[7], k.code);
    EXPECT_EQ(frame[8], k.pb5);
    for (unsigned i = 9; i < 17; ++i)
      EXPECT_EQ(frame[i], 0) << i;
    EXPECT_TRUE(chip.hdmi_reg(page_audio, packet_enable) & 0x02);
  }
}

TEST_F(AvTest, AudioClockRegenerationValues) {
  const hdtx_audio_in_config audio = daemon_audio();
  const struct {
    unsigned code;
    std::uint32_t n;
    std::uint32_t cts;
  } cases[] = {
      {31, 6144, 148500}, // 48 kHz at 148.5 MHz
      {16, 6144, 148500},
      {4, 6144, 74250},
      {18, 6144, 27000},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.code);
    ASSERT_EQ(configure(k.code, HDTX_CS_RGB444, HDTX_SINK_HDMI, &audio), HDTX_OK);
    const std::vector<std::uint8_t> b = regs(chip, page_audio, 0x04, 6);
    EXPECT_EQ(b[0] | b[1] << 8 | b[2] << 16, static_cast<int>(k.cts));
    EXPECT_EQ(b[3] | b[4] << 8 | b[5] << 16, static_cast<int>(k.n));
  }
}

TEST_F(AvTest, AudioIsMutedWhileItsClocksChange) {
  const hdtx_audio_in_config audio = daemon_audio();
  chip.clear_log();
  ASSERT_EQ(configure(31, HDTX_CS_RGB444, HDTX_SINK_HDMI, &audio), HDTX_OK);
  const std::string log = chip.log_text();
  const auto mute = log.find("W 70 p11 18 01");
  const auto unmute = log.find("W 70 p11 18 00");
  ASSERT_NE(mute, std::string::npos) << log;
  ASSERT_NE(unmute, std::string::npos);
  EXPECT_LT(mute, unmute);
  EXPECT_EQ(waits().back(), 20u);
  // Audio infoframe: I2S carries its own header, so the rate field stays 0.
  const std::vector<std::uint8_t> aif = regs(chip, page_packets, aif_register, 6);
  EXPECT_EQ(aif[0], 0x84);
  EXPECT_EQ(aif[2], 10);
  EXPECT_EQ(aif[5], 0);
  EXPECT_TRUE(chip.hdmi_reg(page_audio, packet_enable) & 0x04);
}

TEST_F(AvTest, DviSinkTakesVideoWithoutInfoframes) {
  const hdtx_audio_in_config audio = daemon_audio();
  ASSERT_EQ(configure(18, HDTX_CS_RGB444, HDTX_SINK_DVI, &audio), HDTX_OK);
  EXPECT_EQ(chip.hdmi_reg(page_audio, packet_enable) & 0x06, 0);
  EXPECT_EQ(chip.hdmi_reg(page_packets, avi_register), 0);
}

TEST_F(AvTest, RefusalsLeaveNothingHalfDone) {
  const hdtx_audio_in_config audio = daemon_audio();
  const hdtx_video_in_config in{31, HDTX_VIN_RGB444, 0, HDTX_PIXRATE_SINGLE, 0};
  const hdtx_video_out_config unknown{39, 0, 0, 0};
  EXPECT_EQ(hdtx_set_input_output(0, &in, &unknown, nullptr, HDTX_SINK_HDMI), HDTX_ERR_UNKNOWN_FORMAT);
  EXPECT_EQ(hdtx_set_input_output(0, &in, nullptr, nullptr, HDTX_SINK_HDMI), HDTX_ERR_NULL_ARGUMENT);
  EXPECT_EQ(hdtx_set_audio_input(0, &audio, HDTX_SINK_HDMI), HDTX_ERR_WRONG_STATE); // no video yet
  EXPECT_EQ(hdtx_set_test_pattern_on(0, 3), HDTX_ERR_BAD_PARAMETER);

  ASSERT_EQ(configure(31, HDTX_CS_RGB444, HDTX_SINK_HDMI, nullptr), HDTX_OK);
  hdtx_audio_in_config one_bit = audio;
  one_bit.format = 2;
  // The default chip model's part lacks one-bit and high-bit-rate audio.
  EXPECT_EQ(hdtx_set_audio_input(0, &one_bit, HDTX_SINK_HDMI), 0x88241013u);
}

TEST_F(DevTest, OneBitAudioNamesItsRateInTheInfoframe) {
  chip.set_version_registers(0x01, 0x03); // 0x0301 with every feature
  bring_up();
  const hdtx_video_in_config in{31, HDTX_VIN_RGB444, 0, HDTX_PIXRATE_SINGLE, 0};
  const hdtx_video_out_config out{31, HDTX_CS_RGB444, 0, 0};
  hdtx_audio_in_config audio = daemon_audio();
  audio.format = 2;
  ASSERT_EQ(hdtx_set_input_output(0, &in, &out, &audio, HDTX_SINK_HDMI), HDTX_OK);
  EXPECT_EQ(chip.hdmi_reg(page_packets, aif_register + 5), (2 + 1) << 2);
}

} // namespace
