// The receiver's link impairment: the same seed gives the same fates, each feature does what
// it says in the long run, and the delay queue keeps or breaks the order as told.
#include <gtest/gtest.h>

#include "rx_impair.h"
#include "rx_test_util.h"

namespace {

constexpr std::int64_t ms = 1000000;

struct delivered {
  std::vector<std::uint8_t> firsts;
};

void collect(void *ctx, std::span<const std::uint8_t> d, const sockaddr_in &) {
  static_cast<delivered *>(ctx)->firsts.push_back(d[0]);
}

std::vector<std::uint8_t> run(const char *link_text, int count, std::int64_t step_ns = ms, std::uint64_t stream = 1) {
  rx_impair_config cfg;
  std::string why;
  EXPECT_TRUE(rx_impair_parse(link_text, &cfg, &why)) << why;
  delivered out;
  rx_impair im;
  EXPECT_TRUE(rx_impair_init(&im, cfg, stream, 1024, collect, &out));
  std::int64_t now = 0;
  for (int i = 0; i < count; ++i) {
    const std::uint8_t b[1] = {static_cast<std::uint8_t>(i)};
    rx_impair_offer(&im, b, loopback(1), now);
    rx_impair_release(&im, now);
    now += step_ns;
  }
  rx_impair_release(&im, INT64_MAX);
  return out.firsts;
}

TEST(RxImpair, TheSameSeedGivesTheSameFatesAndAnotherSeedOrDirectionOthers) {
  const char *link_text = "loss=10,burst=5:4,dup=3,reorder=5:3,jitter=2,seed=42";
  const auto a = run(link_text, 2000);
  EXPECT_EQ(a, run(link_text, 2000));
  EXPECT_NE(a, run("loss=10,burst=5:4,dup=3,reorder=5:3,jitter=2,seed=43", 2000));
  EXPECT_NE(a, run(link_text, 2000, ms, 2));
}

TEST(RxImpair, LossAndBurstsTakeTheirShareInTheLongRun) {
  rx_impair_config cfg;
  std::string why;
  ASSERT_TRUE(rx_impair_parse("loss=2,burst=5:20,seed=9", &cfg, &why));
  delivered out;
  rx_impair im;
  ASSERT_TRUE(rx_impair_init(&im, cfg, 1, 0, collect, &out));
  for (int i = 0; i < 200000; ++i) {
    const std::uint8_t b[1] = {0};
    rx_impair_offer(&im, b, loopback(1), 0);
  }
  const double burst_share = static_cast<double>(im.stat.lost_burst) / 200000;
  EXPECT_NEAR(burst_share, 0.05, 0.01);
  EXPECT_NEAR(static_cast<double>(im.stat.lost_burst) / static_cast<double>(im.stat.bursts), 20.0, 3.0);
  EXPECT_NEAR(static_cast<double>(im.stat.lost_random) / 200000, 0.02 * 0.95, 0.003);
  EXPECT_EQ(out.firsts.size(), 200000 - im.stat.lost_burst - im.stat.lost_random);
}

TEST(RxImpair, PlainDelayKeepsTheOrderAndHoldingBackLetsOthersOvertake) {
  const auto kept = run("delay=5", 200);
  ASSERT_EQ(kept.size(), 200u);
  for (std::size_t i = 0; i < kept.size(); ++i) {
    EXPECT_EQ(kept[i], static_cast<std::uint8_t>(i));
  }
  const auto mixed = run("reorder=20:4,seed=3", 200);
  ASSERT_EQ(mixed.size(), 200u);
  EXPECT_FALSE(std::is_sorted(mixed.begin(), mixed.end()));
  const auto doubled = run("dup=50,seed=3", 200);
  EXPECT_GT(doubled.size(), 250u);
}

TEST(RxImpair, AFullQueueDropsAndCounts) {
  rx_impair_config cfg;
  cfg.delay_ns = 10 * ms;
  delivered out;
  rx_impair im;
  ASSERT_TRUE(rx_impair_init(&im, cfg, 1, 4, collect, &out));
  for (int i = 0; i < 6; ++i) {
    const std::uint8_t b[1] = {static_cast<std::uint8_t>(i)};
    rx_impair_offer(&im, b, loopback(1), 0);
  }
  EXPECT_EQ(im.stat.queue_full, 2u);
  EXPECT_EQ(rx_impair_next_due(&im), 10 * ms);
  rx_impair_release(&im, 10 * ms);
  EXPECT_EQ(out.firsts, (std::vector<std::uint8_t>{0, 1, 2, 3}));
  EXPECT_EQ(rx_impair_next_due(&im), INT64_MAX);
}

TEST(RxImpair, DescriptionsAreCheckedWhole) {
  rx_impair_config cfg;
  std::string why;
  for (const char *bad : {"loss=101", "loss=x", "burst=5", "burst=5:0", "delay=-1", "colour=red", "loss"}) {
    EXPECT_FALSE(rx_impair_parse(bad, &cfg, &why)) << bad;
  }
  ASSERT_TRUE(rx_impair_parse("burst=10:5,reorder=1,delay=20,jitter=5,dup=0.5,seed=7", &cfg, &why)) << why;
  EXPECT_DOUBLE_EQ(cfg.burst_leave, 0.2);
  EXPECT_NEAR(cfg.burst_enter, 0.2 * 0.1 / 0.9, 1e-12);
  EXPECT_EQ(cfg.reorder_ns, 10 * ms);
  EXPECT_EQ(cfg.delay_ns, 20 * ms);
  EXPECT_EQ(cfg.seed, 7u);
}

} // namespace
