// The interrupt path end to end on the chip model: the hand-off and the line, the command
// queue's limit, hot plug to EDID to the application's events, the I2C back-off, power states
// and an EDID that arrives before set-up.
#include "dev_test_util.h"

#include "fakehw.h"
#include "hdtx_reg.h"

#include <algorithm>
#include <atomic>

namespace {

using devtest::DevTest;
using devtest::eventually;

bool contains(const std::vector<unsigned> &v, unsigned x) {
  return std::find(v.begin(), v.end(), x) != v.end();
}
long count_of(const std::vector<unsigned> &v, unsigned x) {
  return std::count(v.begin(), v.end(), x);
}

TEST_F(DevTest, InterruptWhileBusyWaitsAndTheLineStaysOffUntilTheWorkIsDone) {
  bring_up();
  block_on(HDTX_HPD_ACTIVE);
  chip.plug(devtest::corpus_edid("hdmi-tv-BSEA156-9B2DC0EB2DB8"));
  ASSERT_TRUE(eventually([] { return blocked(); }));
  const unsigned pulls = chip.interrupt_count();

  EXPECT_EQ(hdtx_handle_interrupt(0), HDTX_OK);
  EXPECT_FALSE(fakehw::interrupt_enabled());
  EXPECT_EQ(fakehw::enable_count(), 0u);
  EXPECT_EQ(fakehw::disable_count(), pulls + 1);

  release();
  ASSERT_TRUE(eventually([&] { return fakehw::enable_count() == pulls + 1; }));
  EXPECT_TRUE(fakehw::interrupt_enabled());
  EXPECT_EQ(events().front(), HDTX_HPD_ACTIVE);
}

TEST_F(DevTest, FullCommandQueueRefusesTheInterruptAndLosesNoneQueued) {
  bring_up();
  block_on(HDTX_HPD_ACTIVE);
  chip.plug(devtest::corpus_edid("hdmi-tv-BSEA156-9B2DC0EB2DB8"));
  ASSERT_TRUE(eventually([] { return blocked(); }));
  const unsigned pulls = chip.interrupt_count();

  unsigned accepted = 0;
  hdtx_err err = HDTX_OK;
  while ((err = hdtx_handle_interrupt(0)) == HDTX_OK && accepted < 200)
    ++accepted;
  EXPECT_EQ(err, 0x88241021u);
  // The busy thread holds the first message; the rest wait in the 128 places.
  EXPECT_EQ(accepted + pulls - 1, 128u);
  EXPECT_EQ(hdtx_handle_interrupt(0), 0x88241021u);

  release();
  ASSERT_TRUE(eventually([&] { return fakehw::enable_count() == pulls + accepted; }));
  EXPECT_TRUE(fakehw::interrupt_enabled());
}

TEST_F(DevTest, HotPlugReadsTheEdidAndUnplugForgetsIt) {
  bring_up();
  plug_and_read(devtest::corpus_edid("hdmi-tv-BSEA156-9B2DC0EB2DB8"));
  const std::vector<unsigned> ev = events();
  ASSERT_TRUE(contains(ev, HDTX_HPD_ACTIVE));
  EXPECT_LT(std::find(ev.begin(), ev.end(), HDTX_HPD_ACTIVE),
            std::find(ev.begin(), ev.end(), HDTX_EDID_RECEIVED));
  EXPECT_TRUE(contains(waits(), 500));

  std::uint8_t status = 9;
  unsigned blocks = 0;
  ASSERT_EQ(hdtx_get_edid_status(0, &status, &blocks), HDTX_OK);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(blocks, 2u);
  unsigned sink = 9;
  ASSERT_EQ(hdtx_get_edid_sink_type(0, &sink), HDTX_OK);
  EXPECT_EQ(sink, HDTX_SINK_HDMI);
  std::uint16_t address = 0;
  ASSERT_EQ(hdtx_get_edid_source_address(0, &address), HDTX_OK);
  EXPECT_EQ(address, 0x1100);

  hdtx_video_cap list[255]{};
  unsigned count = 0;
  std::uint8_t flags = 0;
  ASSERT_EQ(hdtx_get_edid_video_caps(0, list, 255, &count, &flags), HDTX_OK);
  EXPECT_EQ(flags, 0x60);
  // The preferred timing (1080p60), then the short descriptors in EDID order.
  const std::vector<unsigned> head = {16, 16, 31, 32, 33, 34, 20, 5, 19, 4, 18, 3, 17, 2, 1};
  ASSERT_GE(count, head.size());
  for (unsigned i = 0; i < head.size(); ++i)
    EXPECT_EQ(list[i].code, head[i]) << i;
  unsigned three = 0;
  ASSERT_EQ(hdtx_get_edid_video_caps(0, list, 3, &three, &flags), HDTX_OK);
  EXPECT_EQ(three, 3u);

  chip.unplug();
  ASSERT_TRUE(eventually([] { return has_event(HDTX_HPD_INACTIVE); }));
  unsigned state = 0;
  ASSERT_EQ(hdtx_get_instance_state(0, &state), HDTX_OK);
  EXPECT_EQ(state, HDTX_STATE_SET_UP);
  EXPECT_EQ(hdtx_get_edid_video_caps(0, list, 255, &count, &flags), HDTX_ERR_WRONG_STATE);
}

TEST_F(DevTest, PowerStateTwoAndBackReadsTheNewSinksEdid) {
  bring_up();
  plug_and_read(devtest::corpus_edid("hdmi-tv-BSEA156-9B2DC0EB2DB8"));
  chip.unplug();
  ASSERT_TRUE(eventually([] { return has_event(HDTX_HPD_INACTIVE); }));
  ASSERT_EQ(hdtx_set_power_state(0, HDTX_POWER_SUSPEND), HDTX_OK);
  unsigned power = 0;
  ASSERT_EQ(hdtx_reg_power_get_state(0, &power), HDTX_OK);
  EXPECT_EQ(power, HDTX_POWER_SUSPEND);
  // No sink: powering on reads nothing.
  ASSERT_EQ(hdtx_set_power_state(0, HDTX_POWER_ON), HDTX_OK);
  ASSERT_EQ(hdtx_set_power_state(0, HDTX_POWER_SUSPEND), HDTX_OK);
  EXPECT_EQ(count_of(waits(), 500), 1);

  chip.plug(devtest::corpus_edid("cea-dvi-ACR0335-0A949814993B"));
  ASSERT_TRUE(eventually([&] { return count_of(events(), HDTX_EDID_RECEIVED) == 2; }));
  ASSERT_EQ(hdtx_reg_power_get_state(0, &power), HDTX_OK);
  EXPECT_EQ(power, HDTX_POWER_ON);
  EXPECT_EQ(count_of(waits(), 500), 2);
  unsigned sink = 9;
  ASSERT_TRUE(eventually([&] { return hdtx_get_edid_sink_type(0, &sink) == HDTX_OK; }));
  EXPECT_EQ(sink, HDTX_SINK_DVI);
  std::uint16_t address = 0;
  ASSERT_EQ(hdtx_get_edid_source_address(0, &address), HDTX_OK);
  EXPECT_EQ(address, 0xFFFF);
  // With the EDID in hand, powering on again does not read it again.
  ASSERT_EQ(hdtx_set_power_state(0, HDTX_POWER_ON), HDTX_OK);
  EXPECT_EQ(count_of(waits(), 500), 2);
}

TEST_F(DevTest, FirstChipVersionHasNoPowerStateTwo) {
  chip.set_version_registers(0x01, 0x01);
  unsigned instance = 0;
  ASSERT_EQ(hdtx_open(&instance), HDTX_OK);
  EXPECT_EQ(hdtx_set_power_state(0, HDTX_POWER_SUSPEND), 0x88241013u);
  EXPECT_EQ(hdtx_set_power_state(0, HDTX_POWER_STANDBY), HDTX_OK);
}

TEST_F(DevTest, BusErrorInTheHandlerBacksOffAndWatchesTheLineAgain) {
  bring_up();
  chip.set_fail([](const chipsim::Transfer &t) { return t.slave == chipsim::cec_core_address && !t.write; });
  chip.raise_hdmi_interrupt(0x0F, 0x04);
  ASSERT_TRUE(eventually([] { return fakehw::enable_count() == 1; }));
  EXPECT_TRUE(fakehw::interrupt_enabled());
  EXPECT_TRUE(contains(waits(), 10));
  chip.set_fail({});
}

std::atomic<int> early_edid_events{0};

TEST_F(DevTest, EdidThatArrivesBeforeSetUpIsDeliveredAfterIt) {
  early_edid_events = 0;
  unsigned instance = 0;
  ASSERT_EQ(hdtx_open(&instance), HDTX_OK);
  ASSERT_EQ(hdtx_register_callbacks(0,
                                    [](unsigned event) {
                                      if (event == HDTX_HPD_ACTIVE)
                                        hdtx_set_power_state(0, HDTX_POWER_ON);
                                      if (event == HDTX_EDID_RECEIVED)
                                        ++early_edid_events;
                                    }),
            HDTX_OK);
  ASSERT_EQ(hdtx_enable_event(0, HDTX_HPD_ACTIVE), HDTX_OK);
  ASSERT_EQ(hdtx_enable_event(0, HDTX_EDID_RECEIVED), HDTX_OK);
  chip.plug(devtest::corpus_edid("hdmi-tv-BSEA156-9B2DC0EB2DB8"));
  std::uint8_t status = 9;
  unsigned blocks = 0;
  ASSERT_TRUE(
      eventually([&] { return hdtx_get_edid_status(0, &status, &blocks) == HDTX_OK && status == 0; }));
  unsigned state = 0;
  ASSERT_EQ(hdtx_get_instance_state(0, &state), HDTX_OK);
  EXPECT_EQ(state, HDTX_STATE_OPENED);
  EXPECT_EQ(early_edid_events.load(), 0);

  const hdtx_setup_info setup{};
  ASSERT_EQ(hdtx_instance_setup(0, &setup), HDTX_OK);
  ASSERT_EQ(hdtx_get_instance_state(0, &state), HDTX_OK);
  EXPECT_EQ(state, HDTX_STATE_EDID_AVAILABLE);
  EXPECT_TRUE(eventually([] { return early_edid_events.load() == 1; }));
}

} // namespace
