// The CEC side: bring-up, the announcement after each EDID, and the answers to the television.
#include "policy_rig.h"

#include "fakehw.h"

#include <gtest/gtest.h>

namespace {

using frame = std::vector<std::uint8_t>;
using frames = std::vector<frame>;

// Physical address 2.0.0.0 of this television's HDMI vendor block.
constexpr const char *tv_edid = "hdmi-tv-SAM0F39-C51810233270";

class cec_rig : public ::testing::Test {
protected:
  void SetUp() override {
    rig.capture_mode("1080p50");
    ASSERT_TRUE(rig.start(true, false));
    rig.plug(tv_edid);
    ASSERT_TRUE(rig.settle());
  }

  // What the device sent in answer to `received` (header, opcode, operands each).
  frames answer_to(const frame &received) {
    const std::size_t before = rig.chip.cec_sent().size();
    rig.clear_log();
    rig.chip.cec_receive(received);
    EXPECT_TRUE(rig.settle());
    const frames all = rig.chip.cec_sent();
    return frames(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
  }

  policy_rig rig;
};

TEST_F(cec_rig, calibration_pulse_lies_between_its_pin_steps) {
  std::vector<std::string> pin;
  for (const std::string &c : fakehw::calls())
    if (c.rfind("cec_calibration", 0) == 0)
      pin.push_back(c);
  EXPECT_EQ(pin, (std::vector<std::string>{"cec_calibration_init", "cec_calibration_pulse", "cec_calibration_end"}));
  const std::string log = rig.chip.log_text();
  EXPECT_NE(log.find("W 34 -- F2 01"), std::string::npos);
  EXPECT_NE(log.find("W 34 -- F2 00"), std::string::npos);
  EXPECT_LT(log.find("W 34 -- F2 01"), log.find("W 34 -- F2 00"));
}

TEST_F(cec_rig, edid_is_followed_by_the_announcement) {
  const frames expected{
      {0x1F, 0x84, 0x20, 0x00, 0x04},  // physical address 2.0.0.0, playback device, broadcast
      {0x1F, 0x82, 0x20, 0x00},        // active source
      {0x10, 0x9E, 0x04},              // CEC version 1.4 to the television
      {0x10, 0x47, 'P', 'T', 'Z'},     // OSD name
      {0x10, 0x90, 0x00},              // power status on
  };
  EXPECT_EQ(rig.chip.cec_sent(), expected);

  // A new sink is announced again.
  rig.unplug();
  ASSERT_TRUE(rig.settle());
  rig.plug("hdmi-tv-BSEA156-9B2DC0EB2DB8"); // 1.1.0.0
  ASSERT_TRUE(rig.settle());
  const frames all = rig.chip.cec_sent();
  ASSERT_EQ(all.size(), 10u);
  EXPECT_EQ(all[5], (frame{0x1F, 0x84, 0x11, 0x00, 0x04}));
  EXPECT_EQ(all[6], (frame{0x1F, 0x82, 0x11, 0x00}));
}

struct reply_case {
  const char *name;
  frame received;
  frames sent;
  const char *log; // a line that must be logged, or nullptr
};

const reply_case reply_cases[] = {
    {"give_osd_name", {0x01, 0x46}, {{0x10, 0x47, 'P', 'T', 'Z'}}, "GIVE_OSD_NAME"},
    {"give_physical_address", {0x01, 0x83}, {{0x1F, 0x84, 0x20, 0x00, 0x01}}, "GIVE_PHYSICAL_ADDRESS"},
    {"request_active_source", {0x0F, 0x85}, {{0x1F, 0x82, 0x20, 0x00}}, "REQUEST_ACTIVE_SOURCE"},
    {"set_stream_path", {0x0F, 0x86, 0x20, 0x00}, {{0x1F, 0x82, 0x20, 0x00}}, "SET STREAM PATH"},
    {"give_vendor_id", {0x01, 0x8C}, {{0x1F, 0x87, 0x01, 0x23, 0x45}}, "GIVE_DEVICE_VENDOR_ID"},
    {"give_power_status", {0x01, 0x8F}, {{0x10, 0x90, 0x00}}, "GIVE DEVICE POWER STATUS"},
    {"get_cec_version", {0x01, 0x9F}, {{0x10, 0x9E, 0x04}}, "GET_CEC_VERSION"},
    {"reply_goes_to_the_tv_whoever_asked", {0x41, 0x9F}, {{0x10, 0x9E, 0x04}}, "GET_CEC_VERSION"},
    {"request_active_source_from_another_device",
     {0x4F, 0x85},
     {{0x1F, 0x82, 0x20, 0x00}},
     "REQUEST_ACTIVE_SOURCE"},
    {"abort_answered_with_feature_abort", {0x01, 0xFF}, {{0x10, 0x00, 0xFF, 0x04}}, nullptr},
    {"abort_answered_from_the_address_it_was_sent_to", {0x41, 0xFF}, {{0x14, 0x00, 0xFF, 0x04}}, nullptr},
    {"broadcast_abort_ignored", {0x0F, 0xFF}, {}, nullptr},
    {"abort_from_the_unregistered_address_ignored", {0xF1, 0xFF}, {}, nullptr},
    {"broadcast_only_opcode_sent_directly_dropped", {0x01, 0x85}, {}, nullptr},
    {"set_stream_path_sent_directly_dropped", {0x01, 0x86, 0x20, 0x00}, {}, nullptr},
    {"active_source_sent_directly_dropped", {0x01, 0x82, 0x20, 0x00}, {}, nullptr},
    {"report_physical_address_sent_directly_dropped", {0x01, 0x84, 0x20, 0x00, 0x00}, {}, nullptr},
    {"unlisted_opcode_only_logged", {0x01, 0x04}, {}, "NOT YET SUPPORTED OPCode = 0x4"},
    {"standby_logged", {0x01, 0x36}, {}, "STANDBY"},
    {"feature_abort_details", {0x01, 0x00, 0x9F, 0x03}, {}, " <Opcode = 9f> <Abort Reason = 3>"},
    {"menu_language_control_bytes_masked", {0x0F, 0x32, 'e', 0x1B, 'g'}, {}, " <Language = e.g>"},
    {"osd_name_of_the_tv", {0x01, 0x47, 'T', 'V'}, {}, " <Osd Name = TV > "},
    {"short_frame_dropped", {0x01}, {}, nullptr},
};

class cec_replies : public cec_rig, public ::testing::WithParamInterface<reply_case> {};

TEST_P(cec_replies, answer_matches_the_table) {
  const reply_case &c = GetParam();
  EXPECT_EQ(answer_to(c.received), c.sent);
  if (c.log != nullptr) {
    EXPECT_TRUE(rig.logged_text(c.log)) << c.log;
    return;
  }
  // A dropped frame never reaches the responder's handlers.
  for (const logged &l : rig.log()) {
    for (const char *handled : {"ABORT_MESSAGE", "FEATURE_ABORT", "REQUEST_ACTIVE_SOURCE", "SET STREAM PATH",
                                "REPORT_PHYSICAL_ADDRESS"})
      EXPECT_NE(l.text, handled);
    EXPECT_EQ(l.text.find("NOT YET SUPPORTED"), std::string::npos) << l.text;
  }
}

INSTANTIATE_TEST_SUITE_P(policy, cec_replies, ::testing::ValuesIn(reply_cases),
                         [](const auto &p) { return std::string(p.param.name); });

} // namespace
