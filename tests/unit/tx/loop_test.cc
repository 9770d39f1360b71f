#include <gtest/gtest.h>

#include <csignal>

#include "capture.h"
#include "clock.h"
#include "fec.h"
#include "input.h"
#include "liveness.h"
#include "loop.h"
#include "net.h"
#include "pacing.h"
#include "receive.h"
#include "retransmit.h"
#include "send.h"
#include "stop.h"
#include "tun_pace.h"
#include "tx_fixture.h"

namespace {

// Readings handed out in turn; the last one repeats.
std::vector<timespec64> readings;
size_t next_reading = 0;
void fake_clock(timespec64 *out) {
  *out = readings[next_reading < readings.size() ? next_reading++ : readings.size() - 1];
}

struct clock_override {
  tx_clock_fn saved = tx_monotonic_clock;
  clock_override() { tx_monotonic_clock = fake_clock; }
  ~clock_override() { tx_monotonic_clock = saved; }
};

// Both ends decide with this rule whether the next pass ticks: a tick pays only while datagrams
// come closer together than a tick.
TEST(Pace, OnlyDatagramsCloserThanATickMakeAWaitingLoopTick) {
  constexpr int64_t ms = 1000000;
  tun_pace slow{ms, false, 0};
  EXPECT_FALSE(tun_pace_ticks_next(&slow, false, 1, 5 * ms)) << "the first datagram after start";
  for (int64_t at = 6 * ms + ms / 20; at < 20 * ms; at += ms + ms / 20) {
    ASSERT_FALSE(tun_pace_ticks_next(&slow, false, 1, at)) << "1.05 ms apart, at " << at;
  }
  EXPECT_FALSE(tun_pace_ticks_next(&slow, false, 0, 30 * ms)) << "nothing read";

  tun_pace fast{ms, false, 0};
  EXPECT_FALSE(tun_pace_ticks_next(&fast, false, 1, 5 * ms));
  EXPECT_TRUE(tun_pace_ticks_next(&fast, false, 1, 5 * ms + ms / 2)) << "0.5 ms after the one before";
  // Ticking, a tick that finds one datagram ticks on whatever the gap; an empty one ends it.
  EXPECT_TRUE(tun_pace_ticks_next(&fast, true, 1, 9 * ms));
  EXPECT_FALSE(tun_pace_ticks_next(&fast, true, 0, 10 * ms));
  // The gap counts from the last datagram read, not from the last pass.
  EXPECT_FALSE(tun_pace_ticks_next(&fast, false, 1, 10 * ms + ms / 2));
  EXPECT_TRUE(tun_pace_ticks_next(&fast, false, 2, 40 * ms)) << "two in one wait came closer than a tick";
  // A reading taken when nothing was read must not become the gap's start.
  tun_pace idle{ms, false, 0};
  EXPECT_FALSE(tun_pace_ticks_next(&idle, false, 1, 100 * ms));
  EXPECT_FALSE(tun_pace_ticks_next(&idle, false, 0, 0));
  EXPECT_FALSE(tun_pace_ticks_next(&idle, false, 1, 102 * ms));
}

class Loop : public testing::Test {
protected:
  udp_end source;
  fd_capture err;
  std::unique_ptr<tesseltx> t;
  void SetUp() override {
    t = parsed({"-s", "127.0.0.1:0", "-d", "127.0.0.1:9", "-e", "100000", "-o", "5000"});
    ready_ring(t.get());
  }
};

TEST_F(Loop, IdlePassesEndAfterTheTimeoutAndAreCounted) {
  for (int i = 0; i < 3; ++i) {
    tx_loop_pass(t.get());
  }
  EXPECT_EQ(t->stat.select, 3u);
  EXPECT_NE(t->active_tr->fuses.last_transmitted_data_packet.tv_sec, 0)
      << "the no-data clock of the active output starts with the first pass";
}

TEST(LoopClocks, EveryActiveOutputIsTimedFromTheFirstPass) {
  udp_end source;
  fd_capture err;
  auto t = parsed({"-s", "127.0.0.1:0", "-d", "127.0.0.1:9", "-d", "127.0.0.1:10", "-d", "127.0.0.1:11"});
  ready_ring(t.get());
  t->tr->next->next->active_flag = 0;
  tx_loop_pass(t.get());
  EXPECT_NE(t->tr->next->fuses.last_transmitted_data_packet.tv_sec, 0);
  EXPECT_EQ(t->tr->next->next->fuses.last_transmitted_data_packet.tv_sec, 0)
      << "standby outputs are not timed";
}

TEST_F(Loop, ClockReversalIsLoggedAndTheNewReadingUsed) {
  clock_override fake;
  readings = {{10, 0}, {9, 500000000}, {9, 600000000}, {9, 700000000}};
  next_reading = 0;
  tx_loop_pass(t.get());
  EXPECT_EQ(t->now.tv_sec, 9);
  EXPECT_EQ(t->now.tv_nsec, 500000000);
  tx_loop_pass(t.get()); // 9.6 then 9.7: forward again
  EXPECT_EQ(t->stat.select, 2u) << "a reversal does not stop the loop";
  const std::string text = err.text();
  EXPECT_NE(text.find("Monotonic clock reversal 10.000000000 -> 9.500000000"), std::string::npos) << text;
  EXPECT_EQ(text.find("reversal", text.find("reversal") + 1), std::string::npos) << "logged once";
}

TEST_F(Loop, StatisticsTickSnapshotsOnTheLoopsThread) {
  t->stat.in_pkts = 42;
  rrd_int64_add(&t->stat.from_driver, 5);
  rrd_int64_add(&t->tr->stat.tr_queue, 3);
  t->rrd.line_no = 7;      // a report under way is not restarted
  t->tr->info_request = 0; // nothing to send in this pass, so no further queue sample
  t->tr->last_info = t->now;
  t->tr->last_info.tv_sec += 10;
  get_stats(SIGALRM);
  EXPECT_EQ(t->stat2.in_pkts, 0u) << "the handler itself touches nothing";
  tx_loop_pass(t.get());
  EXPECT_EQ(t->stat2.in_pkts, 42u);
  EXPECT_EQ(t->stat2.from_driver.count, 1);
  EXPECT_EQ(t->stat.from_driver.count, 0);
  EXPECT_EQ(t->tr->stat2.tr_queue.count, 1);
  EXPECT_EQ(t->tr->stat.tr_queue.count, 0);
  EXPECT_EQ(t->rrd.line_no, 7);
  EXPECT_EQ(t->rrd2.line_no, 1);
  EXPECT_EQ(t->check_alerts, 0) << "the alert check consumed the flag in the same pass";
}

TEST_F(Loop, AlertNamesSilentActiveOutputs) {
  t->check_alerts = 1;
  t->now = {100, 0};
  t->tr->fuses.last_transmitted_data_packet = {97, 500000000};
  tun_alert(t.get());
  EXPECT_NE(err.text().find("[0] Did not sent any data packet for 2.500s"), std::string::npos);
  EXPECT_EQ(t->check_alerts, 0);
  tun_alert(t.get());
  EXPECT_EQ(err.text().find("2.500s", err.text().find("2.500s") + 1), std::string::npos) << "once per tick";
}

TEST(LoopDeathTest, TerminationIsLoggedFromTheLoopWithStatus0) {
  udp_end source;
  auto t = parsed({"-s", "127.0.0.1:0", "-d", "127.0.0.1:9"});
  ready_ring(t.get());
  EXPECT_EXIT(
      {
        term(SIGTERM);
        tx_loop_pass(t.get());
      },
      testing::ExitedWithCode(0), "Received Terminated \\(15\\) signal\\. Exiting\\.\n$");
}

} // namespace
