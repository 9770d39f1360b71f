// Which format, colour space and scaler setting a sink gets, from real EDIDs.
#include "policy_rig.h"

#include "fakehw.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

namespace {

constexpr unsigned no_video = 0;

struct format_case {
  const char *name;
  const char *capture_mode; // nullptr: the key is missing
  const char *edid;
  bool force;
  unsigned code;        // output code, or no_video
  unsigned avi_colour;  // AVI Y field: 0 RGB, 1 YCbCr 4:2:2, 2 YCbCr 4:4:4
  const char *scaler;   // the FPGA call made, or nullptr for none
  bool avi;             // an AVI infoframe goes out (HDMI sink)
};

const format_case format_cases[] = {
    {"capture_mode_accepted", "1080p50", "hdmi-tv-SAM0F39-C51810233270", false, 31, 2, "fpga_mode_hd", true},
    {"1080p50_scaled_without_720_bit", "1080p50", "sd-timings-GSM0001-74CD4742CDB5", false, 18, 2,
     "fpga_mode_sd 0", true},
    {"720p50_without_576p_sink_no_video", "720p50", "hdmi-monitor-AOC2752-3BE96F8EE5A8", false, no_video, 0,
     nullptr, false},
    {"forced_720p50_ignores_the_list", "720p50", "hdmi-tv-SAM0F39-C51810233270", true, 18, 2, "fpga_mode_sd 1",
     true},
    {"1080i60_not_listed_no_video", "1080i60", "sd-timings-GSM0001-74CD4742CDB5", false, no_video, 0, nullptr,
     false},
    {"missing_capture_mode_no_video", nullptr, "hdmi-tv-SAM0F39-C51810233270", false, no_video, 0, nullptr,
     false},
    {"unknown_capture_mode_no_video", "576i50", "hdmi-tv-SAM0F39-C51810233270", false, no_video, 0, nullptr,
     false},
    {"dvi_sink_gets_rgb_without_avi", "1080p50", "cea-dvi-ACR0335-0A949814993B", false, 31, 0, "fpga_mode_hd",
     false},
    {"1080p60_on_a_monitor", "1080p60", "hdmi-monitor-AOC2752-3BE96F8EE5A8", false, 16, 0, "fpga_mode_hd", true},
    {"720p60_name_with_suffix", "720p60_ntsc", "hdmi-tv-SHP10A1-73896C10E666", false, 4, 2, "fpga_mode_hd",
     true},
    {"no_50hz_sink_gets_no_scaled_picture", "1080p50", "checksum-ext-VIZ0063-0CB124A30847", false, no_video, 0,
     nullptr, false},
    {"extension_checksum_wrong_still_used", "1080p50", "checksum-ext-SAM07D2-8352A6148D64", false, 31, 2,
     "fpga_mode_hd", true},
};

class format_choice : public ::testing::TestWithParam<format_case> {};

TEST_P(format_choice, sink_gets_the_expected_picture) {
  const format_case &c = GetParam();
  policy_rig rig;
  rig.capture_mode(c.capture_mode);
  ASSERT_TRUE(rig.start(false, c.force));
  rig.plug(c.edid);
  ASSERT_TRUE(rig.settle());

  const auto calls = fakehw::calls();
  const bool scaler_call = std::any_of(calls.begin(), calls.end(),
                                       [](const std::string &s) { return s.rfind("fpga_mode", 0) == 0; });
  if (c.code == no_video) {
    EXPECT_TRUE(rig.logged_text("Failed to select compatible video config, disabling video"));
    EXPECT_FALSE(rig.avi_enabled());
    EXPECT_FALSE(scaler_call);
    return;
  }
  EXPECT_FALSE(rig.logged_text("Failed to select compatible video config, disabling video"));
  ASSERT_TRUE(scaler_call);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), std::string(c.scaler)), 1) << c.scaler;
  EXPECT_EQ(rig.avi_enabled(), c.avi);
  if (!c.avi) {
    EXPECT_TRUE(rig.logged_text("Output color mode: RGB444"));
    return;
  }
  const auto avi = rig.avi_frame();
  EXPECT_EQ(avi[0], 0x82);
  EXPECT_EQ(avi[1], 2);
  EXPECT_EQ(avi[2], 13);
  EXPECT_EQ(std::accumulate(avi.begin(), avi.end(), 0u) % 256u, 0u) << "checksum";
  EXPECT_EQ((avi[4] >> 5) & 3u, c.avi_colour) << "colour space";
  EXPECT_EQ(avi[7], c.code) << "video code";
  EXPECT_EQ(avi[5] & 0x0Fu, 8u) << "active format as the picture";
  // 16:9 and ITU-R BT.709 for every code the policy puts out here.
  EXPECT_EQ((avi[5] >> 4) & 3u, 2u) << "picture aspect";
  EXPECT_EQ((avi[5] >> 6) & 3u, 2u) << "colorimetry";
  EXPECT_EQ(avi[8] & 0x0Fu, 0u) << "pixel repetition";
}

INSTANTIATE_TEST_SUITE_P(policy, format_choice, ::testing::ValuesIn(format_cases),
                         [](const auto &p) { return std::string(p.param.name); });

// An HDMI sink that takes YCbCr 4:2:2 but not 4:4:4: the extension's flag byte is changed and
// its checksum made good again.
TEST(format_choice_colour, ycbcr422_only_sink_gets_422) {
  auto edid = corpus_edid("hdmi-tv-SHP10A1-73896C10E666");
  ASSERT_GE(edid.size(), 256u);
  edid[128 + 3] = static_cast<std::uint8_t>((edid[128 + 3] & ~0x20u) | 0x10u);
  unsigned sum = 0;
  for (unsigned i = 128; i < 255; ++i)
    sum += edid[i];
  edid[255] = static_cast<std::uint8_t>((256u - sum % 256u) % 256u);

  policy_rig rig;
  rig.capture_mode("1080p50");
  ASSERT_TRUE(rig.start(false, false));
  rig.plug_bytes(edid);
  ASSERT_TRUE(rig.settle());
  ASSERT_TRUE(rig.avi_enabled());
  EXPECT_EQ((rig.avi_frame()[4] >> 5) & 3u, 1u);
}

TEST(format_choice_messages, missing_key_and_no_fit_are_told) {
  policy_rig rig;
  rig.capture_mode(nullptr);
  ASSERT_TRUE(rig.start(false, false));
  rig.plug("hdmi-tv-SAM0F39-C51810233270");
  ASSERT_TRUE(rig.settle());
  EXPECT_TRUE(rig.logged_text("Capture mode not supported by sink EDID"));
  EXPECT_TRUE(rig.logged_text("Scaling from CEA/EIA-861F format: 0 not supported"));
}

// Out and in again: standby, then a fresh EDID read and the picture back.
TEST(hot_plug, out_and_in_again_reads_the_new_sink) {
  policy_rig rig;
  rig.capture_mode("1080p50");
  ASSERT_TRUE(rig.start(false, false));
  rig.plug("hdmi-tv-SAM0F39-C51810233270");
  ASSERT_TRUE(rig.settle());
  EXPECT_EQ(rig.avi_frame()[7], 31);

  rig.clear_log();
  rig.unplug();
  ASSERT_TRUE(rig.settle());
  EXPECT_TRUE(rig.logged_text("Sink disconnected"));

  rig.clear_log();
  rig.plug("sd-timings-GSM0001-74CD4742CDB5");
  ASSERT_TRUE(rig.settle());
  EXPECT_TRUE(rig.logged_text("Sink connected"));
  EXPECT_TRUE(rig.logged_text("Event callback Tx : EDID RECEIVED"));
  EXPECT_EQ(rig.avi_frame()[7], 18);
}

} // namespace
