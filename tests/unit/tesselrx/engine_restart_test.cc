// The receiver's engine when either end starts again: a receiver joining a running stream, a
// transmitter counting from slice 1 again under a running receiver, in clear and encrypted.
#include <gtest/gtest.h>

#include <cstring>

#include "aes_exchange.h"
#include "aes_receive.h"
#include "rx_engine.h"
#include "rx_test_util.h"

namespace {

constexpr std::int64_t ms = 1000000;

struct RxEngineJoin : ::testing::Test {
  NKCx nk{};
  std::vector<bytes> sent;
  std::vector<bytes> played;
  rx_engine e;
  sockaddr_in tx = loopback(40000);

  static void on_send(void *ctx, std::span<const std::uint8_t> d, const sockaddr_in &) {
    static_cast<RxEngineJoin *>(ctx)->sent.emplace_back(d.begin(), d.end());
  }
  static void on_play(void *ctx, std::span<const std::uint8_t> ts) {
    static_cast<RxEngineJoin *>(ctx)->played.emplace_back(ts.begin(), ts.end());
  }
  void start(bool decrypt = false) {
    rx_config cfg;
    cfg.latency_ns = 100 * ms;
    cfg.window_slices = 64;
    cfg.decrypt = decrypt;
    ASSERT_TRUE(rx_engine_init(&e, &nk, cfg, rx_transport{this, on_send, on_play}));
  }
  void in(const bytes &b, std::int64_t at, const sockaddr_in &from) {
    rx_engine_input(&e, std::span<const std::uint8_t>(b.data(), b.size()), from, at * ms);
  }
  // Slice `seq` stamped at `t` ms on the transmitter's clock, arriving at `at` ms.
  void slice(std::uint64_t seq, std::int64_t t, std::int64_t at, std::uint8_t type = 0) {
    in(make_data(seq, 1, t / 1000, (t % 1000) * ms, static_cast<std::uint8_t>(seq), type), at, tx);
  }
  std::vector<std::uint8_t> played_firsts() const {
    std::vector<std::uint8_t> v;
    for (const bytes &b : played) {
      v.push_back(b[0]);
    }
    return v;
  }
  std::vector<std::uint64_t> requested() const {
    std::vector<std::uint64_t> out;
    for (const bytes &s : sent) {
      if ((s[5] & 0x3F) != 0x10) {
        continue;
      }
      for (std::size_t i = 0; i < s[6]; ++i) {
        std::uint64_t v;
        std::memcpy(&v, s.data() + 8 + 8 * i, 8);
        out.push_back(v);
      }
    }
    return out;
  }
};
TEST_F(RxEngineJoin, AJoiningReceiverStartsAtItsFirstSliceAndOldResendsDoNotPullItBack) {
  start();
  // Slice n was stamped at 5n ms; the receiver hears the stream from slice 571 on.
  slice(571, 2855, 3000);
  slice(572, 2860, 3005);
  rx_engine_poll(&e, 3010 * ms);
  EXPECT_TRUE(requested().empty()) << "no history before the first slice";
  // Resends another receiver had asked for arrive now. Slice 571 plays at 2855 + 145 + 100 ms:
  // those stamped before 2766 ms (up to 553) have had their turn; the others can still play
  // ahead of it.
  for (std::uint64_t s = 500; s < 571; ++s) {
    slice(s, static_cast<std::int64_t>(s) * 5, 3011, 1);
  }
  EXPECT_EQ(e.window.head, 554u);
  EXPECT_EQ(e.stat.late, 54u);
  for (std::uint64_t s = 573; s < 600; ++s) {
    slice(s, static_cast<std::int64_t>(s) * 5, 3000 + 5 * static_cast<std::int64_t>(s - 571));
  }
  rx_engine_poll(&e, 4000 * ms);
  ASSERT_EQ(played.size(), 46u);
  EXPECT_EQ(played.front()[0], static_cast<std::uint8_t>(554));
  EXPECT_EQ(played.back()[0], static_cast<std::uint8_t>(599));
  EXPECT_EQ(e.stat.lost, 0u);
}

TEST_F(RxEngineJoin, ALostStartOfAFreshStreamIsStillAskedFor) {
  start();
  slice(3, 15, 20);
  rx_engine_poll(&e, 21 * ms);
  EXPECT_EQ(requested(), (std::vector<std::uint64_t>{1, 2}));
  slice(1, 5, 40, 1);
  slice(2, 10, 41, 1);
  rx_engine_poll(&e, 500 * ms);
  EXPECT_EQ(played_firsts(), (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST_F(RxEngineJoin, ARestartedTransmitterIsTakenFromSliceOne) {
  start();
  for (std::uint64_t s = 1; s <= 40; ++s) {
    slice(s, 5 * static_cast<std::int64_t>(s), 5 * static_cast<std::int64_t>(s));
  }
  rx_engine_poll(&e, 150 * ms); // about half played, the rest waiting
  const std::uint64_t waiting = e.window.pending;
  ASSERT_GT(waiting, 0u);
  // The new process numbers from 1 again, its clock later than anything of the old one; its
  // first slice is lost.
  sent.clear();
  slice(2, 1010, 1010);
  EXPECT_EQ(e.stat.resyncs, 1u);
  EXPECT_EQ(e.stat.lost, waiting);
  rx_engine_poll(&e, 1011 * ms);
  EXPECT_EQ(requested(), (std::vector<std::uint64_t>{1}));
  slice(1, 1005, 1020, 1);
  slice(30, 150, 1021, 1); // a resend of the old stream, asked for before the restart
  for (std::uint64_t s = 3; s <= 10; ++s) {
    slice(s, 1000 + 5 * static_cast<std::int64_t>(s), 1000 + 5 * static_cast<std::int64_t>(s));
  }
  played.clear();
  rx_engine_poll(&e, 2000 * ms);
  EXPECT_EQ(played_firsts(), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(e.stat.duplicates, 0u);
  EXPECT_GE(e.stat.late, 1u);
}

tun_slice *no_slices() {
  return nullptr;
}

// An encrypted slice of one TS packet as transmitter `a` sends it.
bytes encrypted(tun_aes *a, std::uint64_t seq, std::int64_t t) {
  bytes d = make_data(seq, 1, t / 1000, (t % 1000) * ms, static_cast<std::uint8_t>(seq));
  tun_slice s{};
  s.seq = seq;
  s.size = 1;
  std::memcpy(s.udp_data, d.data() + 49, 188);
  EXPECT_EQ(aes_encrypt(a, &s), 1);
  d[48] = reinterpret_cast<const std::uint8_t *>(&s)[offsetof(tun_slice, udp_data) - 1];
  std::memcpy(d.data() + 49, s.udp_data, 188);
  return d;
}

TEST_F(RxEngineJoin, ARestartedTransmittersNewKeyIsAskedForOnceAndItsStreamPlaysInClear) {
  start(true);
  const auto answer_last_request = [&](tun_aes *a, std::int64_t at) {
    bytes req;
    for (const bytes &b : sent) {
      if ((b[5] & 0x3F) == TUN_AES_REQUEST) {
        req = b;
      }
    }
    ASSERT_FALSE(req.empty());
    alignas(8) std::uint8_t out[aes_packet_size];
    const auto *h = aes_get_response_packet(a, req, std::span<std::uint8_t, aes_packet_size>(out));
    ASSERT_NE(h, nullptr);
    in(bytes(out, out + 8 + tun_body_length(h)), at, tx);
    sent.clear();
  };
  tun_aes_ptr first = aes_new(&nk);
  ASSERT_EQ(aes_init_encryption(first.get(), no_slices), 1);
  slice(1, 0, 0); // in clear: only to learn the peer
  e.key_not_needed = false;
  rx_engine_poll(&e, 1 * ms);
  answer_last_request(first.get(), 2);
  ASSERT_EQ(e.stat.keys_accepted, 1u);
  for (std::uint64_t s = 2; s <= 20; ++s) {
    in(encrypted(first.get(), s, 5 * static_cast<std::int64_t>(s)), 5 * static_cast<std::int64_t>(s), tx);
  }
  rx_engine_flush(&e);
  played.clear();

  tun_aes_ptr second = aes_new(&nk);
  ASSERT_EQ(aes_init_encryption(second.get(), no_slices), 1);
  for (std::uint64_t s = 1; s <= 3; ++s) { // before its key: dropped, and the key asked once
    in(encrypted(second.get(), s, 1000 + 5 * static_cast<std::int64_t>(s)),
       1000 + 5 * static_cast<std::int64_t>(s), tx);
  }
  EXPECT_EQ(e.stat.undecryptable, 3u);
  rx_engine_poll(&e, 1016 * ms);
  answer_last_request(second.get(), 1017);
  EXPECT_EQ(e.stat.keys_accepted, 2u);
  for (std::uint64_t s = 4; s <= 8; ++s) {
    in(encrypted(second.get(), s, 1000 + 5 * static_cast<std::int64_t>(s)),
       1000 + 5 * static_cast<std::int64_t>(s), tx);
  }
  EXPECT_EQ(e.stat.resyncs, 1u);
  rx_engine_poll(&e, 1041 * ms);
  EXPECT_EQ(requested(), (std::vector<std::uint64_t>{1, 2, 3})) << "the slices dropped before the key";
  for (std::uint64_t s = 1; s <= 3; ++s) {
    in(encrypted(second.get(), s, 1000 + 5 * static_cast<std::int64_t>(s)), 1042, tx);
  }
  rx_engine_flush(&e);
  EXPECT_EQ(played_firsts(), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}))
      << "decrypted with the new key";
  first.reset();
  second.reset();
}

} // namespace
