#include <gtest/gtest.h>

#include <cstring>

#include "rx_engine.h"
#include "rx_test_util.h"

namespace {

constexpr std::int64_t ms = 1000000;

struct sent_datagram {
  bytes data;
  sockaddr_in to;
};

struct fake_edge {
  std::vector<sent_datagram> sent;
  std::vector<bytes> played;
};

void fake_send(void *ctx, std::span<const std::uint8_t> d, const sockaddr_in &to) {
  static_cast<fake_edge *>(ctx)->sent.push_back({bytes(d.begin(), d.end()), to});
}
void fake_play(void *ctx, std::span<const std::uint8_t> ts) {
  static_cast<fake_edge *>(ctx)->played.emplace_back(ts.begin(), ts.end());
}

struct RxEngine : ::testing::Test {
  NKCx nk{};
  fake_edge edge;
  rx_engine e;
  sockaddr_in tx = loopback(40000);
  rx_config cfg;

  void start(std::uint8_t version = 7) {
    cfg.protocol_version = version;
    cfg.latency_ns = 100 * ms;
    cfg.window_slices = 64;
    ASSERT_TRUE(rx_engine_init(&e, &nk, cfg, rx_transport{&edge, fake_send, fake_play}));
  }
  rx_reject in(const bytes &b, std::int64_t now) {
    return rx_engine_input(&e, std::span<const std::uint8_t>(b.data(), b.size()), tx, now);
  }
  // Slice `seq` stamped at `t` ms on the transmitter's clock, arriving at `at` ms.
  rx_reject slice(std::uint64_t seq, std::int64_t t, std::int64_t at, std::uint8_t type = 0, bool fec = false) {
    return in(make_data(seq, 1, t / 1000, (t % 1000) * ms, static_cast<std::uint8_t>(seq), type, 7, fec, seq), at * ms);
  }
  std::vector<std::uint8_t> played_firsts() const {
    std::vector<std::uint8_t> v;
    for (const bytes &b : edge.played) {
      v.push_back(b[0]);
    }
    return v;
  }
  std::vector<std::uint8_t> sent_types() const {
    std::vector<std::uint8_t> v;
    for (const auto &s : edge.sent) {
      v.push_back(s.data[5]);
    }
    return v;
  }
};

TEST_F(RxEngine, SlicesPlayInOrderAfterTheLatencyFromTheirOwnTime) {
  start();
  // Transmitter clock 1000 ms ahead of ours; the trip takes 5 ms for the fastest slice.
  ASSERT_EQ(slice(2, 2010, 1015), rx_reject::none);
  ASSERT_EQ(slice(1, 2000, 1005, 0x00, true), rx_reject::none); // FEC layout, reordered
  ASSERT_EQ(slice(3, 2020, 1030, 0x01), rx_reject::none);       // a resend
  rx_engine_poll(&e, 1104 * ms);
  EXPECT_TRUE(edge.played.empty());
  rx_engine_poll(&e, 1105 * ms); // slice 1: 2000 - 995 + 100
  EXPECT_EQ(played_firsts(), (std::vector<std::uint8_t>{1}));
  const std::int64_t wake = rx_engine_poll(&e, 1106 * ms);
  EXPECT_EQ(wake, 1115 * ms); // slice 2 keeps its 10 ms spacing
  rx_engine_poll(&e, 1130 * ms);
  EXPECT_EQ(played_firsts(), (std::vector<std::uint8_t>{1, 2, 3}));
  ASSERT_EQ(edge.played[0].size(), 188u);
  EXPECT_EQ(e.stat.data, 2u);
  EXPECT_EQ(e.stat.data_resent, 1u);
  EXPECT_EQ(e.stat.data_fec_layout, 1u);
  EXPECT_EQ(e.stat.slices, 3u);
  EXPECT_EQ(e.stat.played, 3u);
  EXPECT_EQ(e.stat.played_bytes, 3u * 188);
  EXPECT_EQ(e.stat.first_seq, 1u);
  EXPECT_EQ(e.stat.highest_seq, 3u);
}

TEST_F(RxEngine, AGapIsWaitedForUntilTheNextSliceIsDue) {
  start();
  slice(1, 0, 0);
  slice(3, 20, 20);
  EXPECT_EQ(e.stat.gaps, 1u);
  EXPECT_EQ(e.stat.gap_slices, 1u);
  rx_engine_poll(&e, 110 * ms);
  EXPECT_EQ(played_firsts(), (std::vector<std::uint8_t>{1}));
  slice(2, 10, 115); // late for its own time, but its successor is not yet due
  rx_engine_poll(&e, 120 * ms);
  EXPECT_EQ(played_firsts(), (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(e.stat.lost, 0u);

  slice(6, 50, 50);
  rx_engine_poll(&e, 150 * ms);
  EXPECT_EQ(played_firsts(), (std::vector<std::uint8_t>{1, 2, 3, 6}));
  EXPECT_EQ(e.stat.lost, 2u);
  slice(4, 30, 151);
  EXPECT_EQ(e.stat.late, 1u);
  slice(6, 50, 152);
  EXPECT_EQ(e.stat.duplicates, 1u);
  EXPECT_EQ(e.stat.slices, 4u);
}

TEST_F(RxEngine, RefusedSlicesDoNotMoveThePlayOutClock) {
  start();
  slice(1, 0, 0);
  slice(1, 5000, 1); // a copy stamped far ahead would otherwise pull the offset down
  rx_engine_poll(&e, 99 * ms);
  EXPECT_TRUE(edge.played.empty());
  rx_engine_poll(&e, 100 * ms);
  EXPECT_EQ(played_firsts(), (std::vector<std::uint8_t>{1}));
}

TEST_F(RxEngine, EmptySlicesAreCountedButPlayNothing) {
  start();
  in(make_data(1, 0, 0, 0), 0);
  rx_engine_flush(&e);
  EXPECT_EQ(e.stat.played, 1u);
  EXPECT_TRUE(edge.played.empty());
}

TEST_F(RxEngine, FlushPlaysEverythingWaitingAtOnce) {
  start();
  slice(1, 0, 0);
  slice(2, 1, 1);
  slice(4, 3, 3);
  rx_engine_flush(&e);
  EXPECT_EQ(played_firsts(), (std::vector<std::uint8_t>{1, 2, 4}));
  EXPECT_EQ(e.stat.lost, 1u);
}

TEST_F(RxEngine, FirstContactAsksForTheDescriptionAndStartsPinging) {
  cfg.info.node_no = 3;
  cfg.info.cluster_name = "alpha";
  cfg.probe_after_ns = 10000 * ms; // only pings here
  start();
  rx_engine_poll(&e, 0);
  EXPECT_TRUE(edge.sent.empty()); // no peer yet
  slice(1, 0, 7);
  ASSERT_EQ(edge.sent.size(), 1u);
  EXPECT_EQ(edge.sent[0].data, (bytes{0x48, 0x21, 0x47, 0x20, 7, 0x20, 10, 0, 1, 1, 3, 2, 5, 'a', 'l', 'p', 'h', 'a'}));
  EXPECT_EQ(edge.sent[0].to.sin_port, tx.sin_port);

  rx_engine_poll(&e, 7 * ms + 5);
  ASSERT_EQ(edge.sent.size(), 2u);
  bytes ping(48, 0);
  const std::uint8_t head[] = {0x48, 0x21, 0x47, 0x20, 7, 0x11, 0, 0, 1};
  std::memcpy(ping.data(), head, sizeof head);
  put_le64(ping, 16, 0);
  put_le64(ping, 24, 7 * ms + 5);
  EXPECT_EQ(edge.sent[1].data, ping);

  EXPECT_EQ(rx_engine_poll(&e, 50 * ms), 107 * ms); // slice 1 is due before the next ping
  EXPECT_EQ(edge.sent.size(), 2u);
  rx_engine_poll(&e, 108 * ms);
  ASSERT_EQ(edge.sent.size(), 3u);
  EXPECT_EQ(edge.sent[2].data[8], 2); // seq increases
  EXPECT_EQ(e.stat.pings_sent, 2u);
}

TEST_F(RxEngine, VersionFiveDoesNotVolunteerItsDescription) {
  start(5);
  in(make_data(1, 1, 0, 0, 0, 0, 5), 0);
  rx_engine_poll(&e, 0);
  EXPECT_EQ(sent_types(), (std::vector<std::uint8_t>{0x11}));
  EXPECT_EQ(edge.sent[0].data[4], 5);
}

TEST_F(RxEngine, PingRepliesGiveTheRoundTrip) {
  start();
  slice(1, 0, 0);
  rx_engine_poll(&e, 10 * ms); // ping 1 at 10 ms
  in(make_ping_reply(1, 0, 10 * ms), 13 * ms);
  in(make_ping_reply(9, 0, 10 * ms), 14 * ms);  // never sent
  in(make_ping_reply(1, 0, 20 * ms), 15 * ms);  // from our future
  EXPECT_EQ(e.stat.ping_replies, 3u);
  EXPECT_EQ(e.stat.rtt_count, 1u);
  EXPECT_EQ(e.stat.rtt_min_ns, 3 * ms);
  EXPECT_EQ(e.stat.rtt_max_ns, 3 * ms);
}

TEST_F(RxEngine, InfoRequestIsAnsweredAndTheDescriptionStored) {
  cfg.info.description = "rx";
  start();
  const bytes request{0x48, 0x21, 0x47, 0x20, 7, 0x20, 14, 0, 1, 1, 200, 9, 1, 'x', 2, 3, 'b', 'e', 't', 3, 1, 4};
  ASSERT_EQ(in(request, 0), rx_reject::none);
  // First contact asks; the request is then answered with the same description as a reply.
  EXPECT_EQ(sent_types(), (std::vector<std::uint8_t>{0x20, 0x21}));
  EXPECT_EQ(edge.sent[1].data, (bytes{0x48, 0x21, 0x47, 0x20, 7, 0x21, 4, 0, 4, 2, 'r', 'x'}));
  EXPECT_EQ(e.peer_info.node_no, 200u);
  EXPECT_EQ(e.peer_info.endpoint_no, 4u);
  EXPECT_EQ(e.peer_info.cluster_name, "bet");
  EXPECT_FALSE(e.peer_info.description);
  EXPECT_EQ(e.stat.info_requests, 1u);
  const bytes reply{0x48, 0x21, 0x47, 0x20, 7, 0x21, 0, 0};
  in(reply, 1);
  EXPECT_EQ(e.stat.info_replies, 1u);
  EXPECT_EQ(e.peer_info.node_no, 0u);
  EXPECT_EQ(edge.sent.size(), 2u); // a reply is not answered
  EXPECT_EQ(e.stat.info_sent, 2u);
}

TEST_F(RxEngine, RefusedDatagramsAreCountedAndChangeNothing) {
  start();
  bytes wrong_magic = make_data(1, 1, 0, 0);
  wrong_magic[0] = 0;
  bytes wrong_version = make_data(1, 1, 0, 0, 0, 0, 6);
  bytes own_ping = make_ping_reply(1, 0, 0);
  own_ping[5] = 0x11;
  bytes truncated = make_data(1, 2, 0, 0);
  truncated.resize(100);
  EXPECT_EQ(in(wrong_magic, 0), rx_reject::wrong_magic);
  EXPECT_EQ(in(wrong_version, 0), rx_reject::wrong_version);
  EXPECT_EQ(in(own_ping, 0), rx_reject::unknown_type);
  EXPECT_EQ(in(truncated, 0), rx_reject::malformed);
  EXPECT_EQ(in(bytes{1, 2, 3}, 0), rx_reject::wrong_magic);
  EXPECT_EQ(e.stat.wrong_magic, 2u);
  EXPECT_EQ(e.stat.wrong_version, 1u);
  EXPECT_EQ(e.stat.unknown_type, 1u);
  EXPECT_EQ(e.stat.malformed, 1u);
  EXPECT_EQ(e.stat.datagrams, 5u);
  EXPECT_FALSE(e.peer_known);
  EXPECT_EQ(e.window.head, 0u);
  EXPECT_EQ(e.stat.slices, 0u);
  rx_engine_poll(&e, 1000 * ms);
  EXPECT_TRUE(edge.sent.empty());
  EXPECT_TRUE(edge.played.empty());
}

TEST_F(RxEngine, ParityAndKeyRepliesAreCountedForLaterUse) {
  start();
  bytes fec = make_data(0, 1, 0, 0, 0, 0x03, 7, true, 4);
  fec[6] = 1;
  EXPECT_EQ(in(fec, 0), rx_reject::none);
  EXPECT_EQ(in(bytes{0x48, 0x21, 0x47, 0x20, 7, 0x23, 0, 0}, 0), rx_reject::none);
  EXPECT_EQ(e.stat.fec_parity, 1u);
  EXPECT_EQ(e.stat.key_replies, 1u);
  EXPECT_EQ(e.stat.slices, 0u);
}

TEST_F(RxEngine, PingsFollowTheDataSourceAndRepliesGoToWhoAsked) {
  start();
  slice(1, 0, 0);
  tx = loopback(40001); // the transmitter's new socket
  slice(2, 1, 1);
  rx_engine_poll(&e, 2 * ms);
  ASSERT_EQ(sent_types(), (std::vector<std::uint8_t>{0x20, 0x11})); // asked once only
  EXPECT_EQ(edge.sent.back().to.sin_port, loopback(40001).sin_port);
  tx = loopback(40002); // someone else's description does not move the pings
  in(bytes{0x48, 0x21, 0x47, 0x20, 7, 0x20, 0, 0}, 3 * ms);
  EXPECT_EQ(edge.sent.back().data[5], 0x21);
  EXPECT_EQ(edge.sent.back().to.sin_port, loopback(40002).sin_port);
  rx_engine_poll(&e, 200 * ms);
  EXPECT_EQ(edge.sent.back().data[5], 0x11);
  EXPECT_EQ(edge.sent.back().to.sin_port, loopback(40001).sin_port);
}

} // namespace
