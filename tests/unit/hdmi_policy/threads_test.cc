// The command thread (hot plug, EDID, the CEC announcement) and the main thread (interrupt
// hand-off, CEC replies) at work together; meant to run under ThreadSanitizer.
#include "policy_rig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

TEST(policy_threads, hot_plug_and_cec_traffic_together) {
  policy_rig rig;
  rig.capture_mode("1080p50");
  ASSERT_TRUE(rig.start(true, false));

  std::atomic<bool> done{false};
  // The outside world: a television plugged in and out while it keeps asking.
  std::thread world([&] {
    for (int round = 0; round < 6; ++round) {
      rig.plug(round % 2 == 0 ? "hdmi-tv-SAM0F39-C51810233270" : "sd-timings-GSM0001-74CD4742CDB5");
      for (int i = 0; i < 5; ++i) {
        rig.chip.cec_receive({0x01, 0x9F});
        rig.chip.cec_receive({0x01, 0x83});
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      rig.unplug();
    }
    rig.plug("hdmi-tv-SAM0F39-C51810233270");
    done = true;
  });
  while (!done)
    rig.settle();
  world.join();
  ASSERT_TRUE(rig.settle());

  // Every question got its answer, and the last sink its picture.
  unsigned versions = 0;
  for (const auto &f : rig.chip.cec_sent())
    if (f.size() == 3 && f[0] == 0x10 && f[1] == 0x9E)
      ++versions;
  EXPECT_GE(versions, 30u); // 30 answers plus one announcement per EDID
  EXPECT_EQ(rig.avi_frame()[7], 31);
}

} // namespace
