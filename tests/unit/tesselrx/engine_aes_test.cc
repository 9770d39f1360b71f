#include <gtest/gtest.h>

#include <cstring>

#include "aes_exchange.h"
#include "aes_receive.h"
#include "rx_engine.h"
#include "rx_test_util.h"

namespace {

constexpr std::int64_t ms = 1000000;

struct edge {
  std::vector<bytes> sent;
  bytes played;
};
void edge_send(void *ctx, std::span<const std::uint8_t> d, const sockaddr_in &) {
  static_cast<edge *>(ctx)->sent.emplace_back(d.begin(), d.end());
}
void edge_play(void *ctx, std::span<const std::uint8_t> ts) {
  auto &p = static_cast<edge *>(ctx)->played;
  p.insert(p.end(), ts.begin(), ts.end());
}
tun_slice *no_slices() { return nullptr; }

// A receiver with -K against a transmitter record of this test.
struct RxKeys : ::testing::Test {
  NKCx nk{};
  edge io;
  rx_engine e;
  sockaddr_in tx_addr = loopback(40000);
  tun_aes_ptr tx = aes_new(&nk);

  void start(bool decrypt = true, bool wide = false) {
    rx_config cfg;
    cfg.latency_ns = 100 * ms;
    cfg.window_slices = 64;
    cfg.decrypt = decrypt;
    ASSERT_TRUE(rx_engine_init(&e, &nk, cfg, rx_transport{&io, edge_send, edge_play}));
    tx->flags = wide ? AES_FLAG_256 : 0;
    ASSERT_EQ(aes_init_encryption(tx.get(), no_slices), 1);
  }
  void in(const bytes &b, std::int64_t at_ms, const sockaddr_in &from) {
    rx_engine_input(&e, std::span<const std::uint8_t>(b.data(), b.size()), from, at_ms * ms);
  }
  // Slice `seq` of 7 packets as the transmitter sends it, encrypted unless told otherwise.
  bytes slice(std::uint64_t seq, bool encrypt = true) {
    bytes d = make_data(seq, 7, 0, static_cast<std::int64_t>(seq) * ms, static_cast<std::uint8_t>(seq));
    if (encrypt) {
      tun_slice s{};
      s.seq = seq;
      s.size = 7;
      std::memcpy(s.udp_data, d.data() + 49, 1316);
      EXPECT_EQ(aes_encrypt(tx.get(), &s), 1);
      d[48] = reinterpret_cast<const std::uint8_t *>(&s)[offsetof(tun_slice, udp_data) - 1]; // size, encrypted bit
      std::memcpy(d.data() + 49, s.udp_data, 1316);
    }
    return d;
  }
  bytes clear_of(std::uint64_t seq) {
    const bytes d = make_data(seq, 7, 0, 0, static_cast<std::uint8_t>(seq));
    return bytes(d.begin() + 49, d.end() - 3);
  }
  std::vector<bytes> requests() const {
    std::vector<bytes> r;
    for (const bytes &b : io.sent) {
      if ((b[5] & 0x3F) == TUN_AES_REQUEST) {
        r.push_back(b);
      }
    }
    return r;
  }
  bytes reply_to(const bytes &request) {
    alignas(8) std::uint8_t out[aes_packet_size];
    const auto *h = aes_get_response_packet(tx.get(), request, std::span<std::uint8_t, aes_packet_size>(out));
    EXPECT_NE(h, nullptr);
    return bytes(out, out + 8 + tun_body_length(h));
  }

  void asks_until_keyed_then_plays_in_clear(bool wide) {
    start(true, wide);
    rx_engine_poll(&e, 0);
    EXPECT_TRUE(requests().empty()) << "nobody to ask yet";
    in(slice(1), 0, tx_addr); // the first slice arrives before the key: it cannot be played
    EXPECT_EQ(e.stat.undecryptable, 1u);
    rx_engine_poll(&e, 1 * ms);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests()[0].size(), 8u + 270u);
    rx_engine_poll(&e, 101 * ms);
    EXPECT_EQ(requests().size(), 1u) << "exactly 100 ms later is not yet due";
    const std::int64_t wake = rx_engine_poll(&e, 101 * ms + 1);
    EXPECT_EQ(requests().size(), 2u);
    EXPECT_LE(wake, 201 * ms + 1);

    const bytes reply = reply_to(requests().back());
    in(reply, 102, loopback(40001));
    EXPECT_EQ(e.stat.keys_accepted, 0u) << "a reply from elsewhere is not taken";
    in(reply, 102, tx_addr);
    EXPECT_EQ(e.stat.keys_accepted, 1u);
    rx_engine_poll(&e, 500 * ms);
    EXPECT_EQ(requests().size(), 2u) << "no more requests once keyed";

    for (std::uint64_t seq = 2; seq <= 5; ++seq) {
      in(slice(seq), 500 + static_cast<std::int64_t>(seq), tx_addr);
    }
    rx_engine_flush(&e);
    bytes want;
    for (std::uint64_t seq = 2; seq <= 5; ++seq) {
      const bytes c = clear_of(seq);
      want.insert(want.end(), c.begin(), c.end());
    }
    EXPECT_EQ(io.played, want);
    EXPECT_EQ(e.stat.decrypted, 4u);
  }
};

TEST_F(RxKeys, Aes128AsksEvery100MsUntilKeyedThenPlaysTheStreamInClear) { asks_until_keyed_then_plays_in_clear(false); }
TEST_F(RxKeys, Aes256AsksEvery100MsUntilKeyedThenPlaysTheStreamInClear) { asks_until_keyed_then_plays_in_clear(true); }

TEST_F(RxKeys, ClearStreamStopsTheRequests) {
  start();
  in(slice(1, false), 0, tx_addr);
  rx_engine_poll(&e, 1000 * ms);
  EXPECT_TRUE(requests().empty());
  EXPECT_EQ(e.stat.slices, 1u);
}

TEST_F(RxKeys, WithoutDecryptionEncryptedSlicesAreDroppedAndCounted) {
  start(false);
  in(slice(1), 0, tx_addr);
  rx_engine_poll(&e, 1000 * ms);
  EXPECT_TRUE(requests().empty());
  EXPECT_EQ(e.stat.undecryptable, 1u);
  EXPECT_EQ(e.stat.slices, 0u);
}

} // namespace
