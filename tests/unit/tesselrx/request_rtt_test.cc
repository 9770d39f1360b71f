// The repeat time of requests following the measured round trip, and -r keeping it fixed.
#include <gtest/gtest.h>

#include <vector>

#include "rx_options.h"
#include "rx_request.h"

namespace {

constexpr std::int64_t ms = 1000000;

struct rtt_case {
  const char *name;
  std::vector<std::int64_t> samples;
  std::int64_t lo; // repeat_ns afterwards lies within [lo, hi]
  std::int64_t hi;
};

class RepeatFollowsRtt : public testing::TestWithParam<rtt_case> {};

TEST_P(RepeatFollowsRtt, SettlesWhereTheRoundTripSaysWithinItsBounds) {
  rx_requests r;
  for (std::int64_t s : GetParam().samples) {
    rx_requests_note_rtt(&r, s);
  }
  EXPECT_GE(r.repeat_ns, GetParam().lo) << r.repeat_ns;
  EXPECT_LE(r.repeat_ns, GetParam().hi) << r.repeat_ns;
}

std::vector<std::int64_t> steady(std::int64_t v, int n) {
  return std::vector<std::int64_t>(static_cast<std::size_t>(n), v);
}

INSTANTIATE_TEST_SUITE_P(
    Rx, RepeatFollowsRtt,
    testing::Values(rtt_case{"none_yet", {}, rx_request_repeat_ns, rx_request_repeat_ns},
                    // 20 ms each way: a few ms over 40 ms, so a 500 ms budget holds many chances.
                    rtt_case{"relay_40ms", steady(40 * ms, 50), 44 * ms, 48 * ms},
                    // The first sample alone is trusted less: one and a half round trips.
                    rtt_case{"first_sample", {40 * ms}, 55 * ms, 65 * ms},
                    // Loopback: never below the floor, or a missing slice would be asked for every pass.
                    rtt_case{"loopback", steady(100000, 50), rx_request_repeat_min_ns,
                             rx_request_repeat_min_ns},
                    // A jittery link keeps a wider margin than a steady one of the same mean.
                    rtt_case{"jitter",
                             {40 * ms, 80 * ms, 40 * ms, 80 * ms, 40 * ms, 80 * ms, 40 * ms, 80 * ms},
                             70 * ms,
                             120 * ms},
                    // One stall of a loaded machine does not push it past the old fixed time.
                    rtt_case{"one_stall",
                             {40 * ms, 40 * ms, 40 * ms, 40 * ms, 380 * ms, 40 * ms, 40 * ms},
                             60 * ms,
                             rx_request_repeat_ns},
                    // A satellite hop: above the old fixed 200 ms, so no duplicate is asked for in flight.
                    rtt_case{"long_link", steady(600 * ms, 50), 605 * ms, 620 * ms},
                    // Nonsense samples change nothing.
                    rtt_case{"ignored", {0, -5 * ms, 3000 * ms}, rx_request_repeat_ns, rx_request_repeat_ns}),
    [](const testing::TestParamInfo<rtt_case> &i) { return i.param.name; });

TEST(RepeatFixed, DashRKeepsItsValueButTheRoundTripIsStillTracked) {
  rx_options o;
  EXPECT_FALSE(o.request_repeat_fixed) << "the default follows the round trip";
  rx_requests r;
  r.repeat_follows_rtt = false;
  r.repeat_ns = 50 * ms;
  for (int i = 0; i < 20; ++i) {
    rx_requests_note_rtt(&r, 300 * ms);
  }
  EXPECT_EQ(r.repeat_ns, 50 * ms);
  EXPECT_EQ(r.srtt_ns, 300 * ms);
}

} // namespace
