// The receiver asking again: what goes out, when, in what order and in how many packets, seen
// from the transport as the transmitter would read it.
#include <gtest/gtest.h>

#include <cstring>

#include "rx_engine.h"
#include "rx_test_util.h"

namespace {

constexpr std::int64_t ms = 1000000;

struct request {
  std::uint8_t byte5;
  std::uint8_t id;
  std::vector<std::uint64_t> seqs;
};

struct fake_link {
  std::vector<bytes> sent;
  std::vector<bytes> played;
};

void link_send(void *ctx, std::span<const std::uint8_t> d, const sockaddr_in &) {
  static_cast<fake_link *>(ctx)->sent.emplace_back(d.begin(), d.end());
}
void link_play(void *ctx, std::span<const std::uint8_t> ts) {
  static_cast<fake_link *>(ctx)->played.emplace_back(ts.begin(), ts.end());
}

struct RxRequests : ::testing::Test {
  NKCx nk{};
  fake_link link;
  rx_engine e;
  rx_config cfg;

  void start(std::int64_t latency = 1000 * ms) {
    cfg.latency_ns = latency;
    cfg.window_slices = 1024;
    ASSERT_TRUE(rx_engine_init(&e, &nk, cfg, rx_transport{&link, link_send, link_play}));
  }
  void slice(std::uint64_t seq, std::int64_t at_ms) {
    const bytes b = make_data(seq, 1, 10, static_cast<std::int64_t>(seq) * 1000, static_cast<std::uint8_t>(seq));
    ASSERT_EQ(rx_engine_input(&e, std::span<const std::uint8_t>(b.data(), b.size()), loopback(4000), at_ms * ms),
              rx_reject::none);
  }
  // The request packets sent since the last call, as the transmitter reads them.
  std::vector<request> requests() {
    std::vector<request> out;
    for (const bytes &b : link.sent) {
      if ((b[5] & 0x3F) != 0x10) {
        continue;
      }
      EXPECT_EQ(b.size(), 8u + 8u * b[6]);
      request r{b[5], b[7], {}};
      for (std::size_t i = 0; i < b[6]; ++i) {
        std::uint64_t v;
        std::memcpy(&v, b.data() + 8 + 8 * i, 8);
        r.seqs.push_back(v);
      }
      out.push_back(r);
    }
    link.sent.clear();
    return out;
  }
  // Without the silence probes, which ask past the highest number.
  std::vector<request> gap_requests() {
    std::vector<request> out;
    for (const request &r : requests()) {
      if (r.seqs.front() <= e.window.highest) {
        out.push_back(r);
      }
    }
    return out;
  }
};

using seqs = std::vector<std::uint64_t>;

TEST_F(RxRequests, AGapIsAskedForWithAnIdAndAgainOnlyAfter200ms) {
  start();
  slice(1, 0);
  slice(2, 1);
  slice(5, 2);
  slice(4, 3); // reordered: 4 is no longer missing when the request goes
  rx_engine_poll(&e, 3 * ms);
  auto r = gap_requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].byte5, 0x50); // TUN_REQUEST with the id flag
  EXPECT_EQ(r[0].seqs, seqs{3});
  rx_engine_poll(&e, 202 * ms);
  EXPECT_TRUE(gap_requests().empty());
  rx_engine_poll(&e, 203 * ms);
  r = gap_requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].seqs, seqs{3});
  const std::uint8_t first_id = 0;
  EXPECT_NE(r[0].id, first_id); // a repeat is a new packet: the transmitter must count it
  slice(3, 250);
  rx_engine_poll(&e, 500 * ms);
  EXPECT_TRUE(gap_requests().empty());
  EXPECT_EQ(e.req.stat.repeats, 1u);
  EXPECT_EQ(e.stat.recovered_resend, 0u); // came as a first send
}

TEST_F(RxRequests, ManyMissingGoOutAscendingInPacketsThatFitTheTransmittersBuffer) {
  start();
  slice(1, 0);
  slice(700, 1);
  slice(400, 1); // a hole in the middle of the gap arrived meanwhile
  rx_engine_poll(&e, 1 * ms);
  const auto r = requests();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].seqs.size(), 249u);
  seqs all;
  std::vector<std::uint8_t> ids;
  for (const auto &q : r) {
    all.insert(all.end(), q.seqs.begin(), q.seqs.end());
    ids.push_back(q.id);
  }
  seqs want;
  for (std::uint64_t s = 2; s < 700; ++s) {
    if (s != 400) {
      want.push_back(s);
    }
  }
  EXPECT_EQ(all, want);
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_NE(ids[1], ids[2]);
}

TEST_F(RxRequests, NothingIsAskedForOnceItsTurnToPlayHasPassed) {
  start(100 * ms);
  slice(1, 0);
  slice(3, 1);
  rx_engine_poll(&e, 1 * ms);
  EXPECT_EQ(requests().size(), 1u);
  rx_engine_poll(&e, 150 * ms); // 3 plays, 2 is given up
  EXPECT_EQ(e.stat.lost, 1u);
  link.sent.clear();
  rx_engine_poll(&e, 400 * ms);
  for (const auto &q : requests()) {
    for (std::uint64_t s : q.seqs) {
      EXPECT_GT(s, 3u); // only the silence probe, past the highest
    }
  }
  EXPECT_EQ(e.req.count, 0u);
}

TEST_F(RxRequests, AFreshStreamWhoseFirstSlicesAreLostAsksForThem) {
  start();
  slice(4, 0);
  rx_engine_poll(&e, 0);
  const auto r = requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].seqs, (seqs{1, 2, 3}));
  slice(2, 5);
  slice(1, 6);
  slice(3, 7);
  rx_engine_flush(&e);
  ASSERT_EQ(link.played.size(), 4u);
  EXPECT_EQ(link.played[0][0], 1);
  EXPECT_EQ(e.stat.lost, 0u);
}

TEST_F(RxRequests, SilenceAsksPastTheHighestUntilNothingCouldStillPlay) {
  start(300 * ms);
  slice(1, 0);
  rx_engine_poll(&e, 49 * ms);
  EXPECT_TRUE(requests().empty());
  rx_engine_poll(&e, 50 * ms);
  auto r = requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].seqs.front(), 2u);
  EXPECT_EQ(r[0].seqs.size(), 16u);
  int probes = 1;
  for (std::int64_t t = 51; t < 2000; ++t) {
    rx_engine_poll(&e, t * ms);
    probes += static_cast<int>(requests().size());
  }
  EXPECT_EQ(probes, 2); // at 50 and 250 ms; past 350 ms the slices would be too late
  EXPECT_EQ(e.req.stat.seqs, 0u); // probes are not requests for known gaps
}

} // namespace
