// The statistics reports' time stamps on a virtual wall clock: steady, read twice in a second,
// set back and set forward. A server refuses an update that is not after the file's last one.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "report.h"
#include "snapshot.h"
#include "tesseltx.h"

namespace {

TEST(StatsStamp, NeverBackNeverTwiceFollowsTheWallClockWhenAhead) {
  constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
  struct {
    std::int64_t previous, wall, stamp;
  } const cases[] = {
      {1000, 1001, 1001}, // the usual tick
      {1000, 1000, 1001}, // two ticks read in one second
      {1000, 999, 1001},  // a tick read late, the next one early
      {1000, 1000 - 3600, 1001},
      {1000, 1000 + 3600, 4600}, // set forward: followed at once, a gap in the files
      {0, 1700000000, 1700000000},
      {10, -5, 11}, // a wall clock before 1970
      {max, 5, max},
      {max - 1, max, max},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(tun_stats_stamp(c.previous, c.wall), c.stamp) << c.previous << " " << c.wall;
  }
}

// A record with one output and both clients, ticked by hand as the SIGALRM handler would.
class SnapshotStamps : public testing::Test {
protected:
  std::unique_ptr<tesseltx> t = std::make_unique<tesseltx>();

  void SetUp() override {
    sockaddr_in sin{};
    sin.sin_port = htons(5000);
    t->active_tr = tr_new(t.get(), sin, -1);
    for (rrdc *c : {&t->rrd, &t->rrd2}) {
      c->box = t.get();
      std::snprintf(c->prefix, sizeof c->prefix, "tx1");
    }
  }
  // One tick at wall second `wall`; returns the stamps the two clients' reports carry.
  std::pair<std::int64_t, std::int64_t> tick(std::int64_t wall) {
    t->now_tv.tv_sec = static_cast<time_t>(wall);
    tun_stats_snapshot(t.get());
    t->rrd.line_no = 0;
    t->rrd2.line_no = 0;
    return {t->rrd.now.tv_sec, t->rrd2.now.tv_sec};
  }
};

TEST_F(SnapshotStamps, AClockSetBackAnHourKeepsTheUpdatesGoingAndSetForwardLeavesAGap) {
  const std::int64_t start = 1700000000;
  t->rrd.now.tv_sec = static_cast<time_t>(start - 1);
  t->rrd2.now.tv_sec = static_cast<time_t>(start - 1);
  std::vector<std::int64_t> stamps;
  std::int64_t wall = start;
  auto run = [&](int seconds) {
    for (int i = 0; i < seconds; ++i, ++wall) {
      const auto [a, b] = tick(wall);
      EXPECT_EQ(a, b);
      stamps.push_back(a);
    }
  };
  run(10);
  EXPECT_EQ(stamps.back(), wall - 1);
  wall -= 3600;
  run(30);
  // One per second on from where the stamps were, not an hour of refused updates.
  for (std::size_t i = 10; i < 40; ++i) {
    EXPECT_EQ(stamps[i], start + static_cast<std::int64_t>(i));
  }
  wall += 2 * 3600;
  run(5);
  EXPECT_EQ(stamps[40], wall - 5) << "set forward, the stamps follow at once";
  EXPECT_GT(stamps[40] - stamps[39], 3000);
  for (std::size_t i = 1; i < stamps.size(); ++i) {
    EXPECT_GT(stamps[i], stamps[i - 1]) << i;
  }
}

TEST_F(SnapshotStamps, EachClientGoesOnFromItsOwnLastStampAndTheLinesCarryIt) {
  t->rrd.now.tv_sec = 2000; // started a second later, or stepped back before the first tick
  t->rrd2.now.tv_sec = 1500;
  EXPECT_EQ(tick(1990), std::make_pair(std::int64_t{2001}, std::int64_t{1990}));
  EXPECT_EQ(tick(1990), std::make_pair(std::int64_t{2002}, std::int64_t{1991}));
  t->active_tr->stat.sent = 42;
  tick(1992);
  char line[2048];
  ASSERT_GT(tun_rrd_line(t.get(), &t->rrd, 3, line, sizeof line), 0);
  EXPECT_STREQ(line, "update tx1/snt.rrd 2003:42\n");
  ASSERT_GT(tun_rrd_line(t.get(), &t->rrd2, 7, line, sizeof line), 0);
  EXPECT_STREQ(line, "update tx1/outq.rrd 1992:U:U:U\n");
}

} // namespace
