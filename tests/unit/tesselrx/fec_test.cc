// Rebuilding from parity packets made as the transmitter makes them: the XOR of the slice
// images of a group, each zero-extended to the longest slice seen.
#include <gtest/gtest.h>

#include <algorithm>

#include "rx_engine.h"
#include "rx_test_util.h"

namespace {

constexpr std::int64_t ms = 1000000;

bytes image_of(const bytes &fec_data) { return bytes(fec_data.begin() + 32, fec_data.end()); }

// TUN_FEC at position `pos` over `images`, `n` TS packets long: 60 + 188 n bytes.
bytes parity(std::uint64_t pos, const std::vector<bytes> &images, unsigned n) {
  bytes p(60 + 188 * n, 0);
  const std::uint8_t head[] = {0x48, 0x21, 0x47, 0x20, 7, 0x43, static_cast<std::uint8_t>(n), 0};
  std::copy(std::begin(head), std::end(head), p.begin());
  put_le64(p, 24, pos);
  for (const bytes &img : images) {
    for (std::size_t i = 0; i < img.size() && 32 + i < p.size(); ++i) {
      p[32 + i] ^= img[i];
    }
  }
  return p;
}

struct RxFec : ::testing::Test {
  NKCx nk{};
  std::vector<bytes> played;
  std::vector<bytes> sent;
  rx_engine e;

  static void play(void *ctx, std::span<const std::uint8_t> ts) {
    static_cast<RxFec *>(ctx)->played.emplace_back(ts.begin(), ts.end());
  }
  static void send(void *ctx, std::span<const std::uint8_t> d, const sockaddr_in &) {
    static_cast<RxFec *>(ctx)->sent.emplace_back(d.begin(), d.end());
  }
  void SetUp() override {
    rx_config cfg;
    cfg.latency_ns = 1000 * ms;
    cfg.window_slices = 256;
    ASSERT_TRUE(rx_engine_init(&e, &nk, cfg, rx_transport{this, send, play}));
  }
  void in(const bytes &b, std::int64_t at = 0) {
    ASSERT_EQ(rx_engine_input(&e, std::span<const std::uint8_t>(b.data(), b.size()), loopback(4000), at),
              rx_reject::none);
  }
  // Slice `seq` of `n` TS packets at FEC position `pos`.
  static bytes data(std::uint64_t seq, unsigned n, std::uint64_t pos, std::uint8_t type = 0) {
    return make_data(seq, n, 5, static_cast<std::int64_t>(seq) * 1000, static_cast<std::uint8_t>(seq * 31), type, 7,
                     true, pos);
  }
  std::size_t requested() const {
    return static_cast<std::size_t>(
        std::count_if(sent.begin(), sent.end(), [](const bytes &b) { return (b[5] & 0x3F) == 0x10; }));
  }
};

TEST_F(RxFec, GroupOfTwoParityIsTheSliceItself) {
  const bytes s1 = data(1, 3, 0), s2 = data(2, 7, 2), s3 = data(3, 2, 4);
  in(s1);
  in(parity(1, {image_of(s1)}, 3));
  // s2 lost; its parity is 1376 bytes long (a 7-packet slice) and rebuilds it whole.
  const bytes p2 = parity(3, {image_of(s2)}, 7);
  ASSERT_EQ(p2.size(), 1376u);
  in(p2);
  in(s3);
  in(parity(5, {image_of(s3)}, 7)); // zero-extended past the 2-packet slice
  rx_engine_flush(&e);
  ASSERT_EQ(played.size(), 3u);
  EXPECT_EQ(played[1], bytes(s2.begin() + 32 + 25, s2.begin() + 32 + 25 + 188 * 7));
  EXPECT_EQ(e.stat.recovered_fec, 1u);
  EXPECT_EQ(e.stat.lost, 0u);
  EXPECT_EQ(e.stat.duplicates, 0u); // the spent parity of group 1 and the complete group 3 add nothing
  EXPECT_EQ(e.fec.group, 2u);
}

TEST_F(RxFec, GroupOfFourRebuildsAnyOneLossOfMixedSizesAndResendsTakePositions) {
  // Positions 0-2 data, 3 parity; 4-6 data (a resend among them), 7 parity.
  const bytes a = data(1, 7, 0), b = data(2, 1, 1), c = data(3, 0, 2);
  const bytes d = data(4, 5, 4), r = data(2, 1, 5, 0x01), f = data(5, 6, 6);
  in(a);
  in(c); // b lost
  in(parity(3, {image_of(a), image_of(b), image_of(c)}, 7));
  in(r); // d lost, rebuilt from the resend, f and the parity
  in(f);
  in(parity(7, {image_of(d), image_of(r), image_of(f)}, 7), 1 * ms);
  rx_engine_flush(&e);
  ASSERT_EQ(played.size(), 4u); // c has no TS packets: counted, nothing played
  EXPECT_EQ(played[1], bytes(b.begin() + 57, b.begin() + 57 + 188));
  EXPECT_EQ(played[2], bytes(d.begin() + 57, d.begin() + 57 + 188 * 5));
  EXPECT_EQ(e.stat.played, 5u);
  EXPECT_EQ(e.stat.recovered_fec, 2u);
  EXPECT_EQ(e.stat.duplicates, 1u); // the resend of 2, rebuilt before
  EXPECT_EQ(e.fec.group, 4u);
}

TEST_F(RxFec, TwoLossesInAGroupAreAskedForOnceTheParityHasPassed) {
  const bytes a = data(1, 1, 0), b = data(2, 1, 1), c = data(3, 1, 2), d = data(4, 1, 4);
  in(parity(3, {image_of(a), image_of(b), image_of(c)}, 1)); // teaches G = 4
  in(a);
  in(d); // b and c lost: waiting for the group's parity, already here and of no use
  rx_engine_poll(&e, 0);
  EXPECT_EQ(requested(), 1u);
  EXPECT_EQ(e.stat.recovered_fec, 0u);
  in(data(5, 1, 4));
  in(data(7, 1, 6)); // 6 lost at position 5, in a group whose parity (position 7) has not come
  rx_engine_poll(&e, 0);
  EXPECT_EQ(requested(), 1u);
  in(data(8, 1, 9)); // past position 7: the parity is lost too
  rx_engine_poll(&e, 0);
  EXPECT_EQ(requested(), 2u);
}

TEST_F(RxFec, AnImageShortOfItsLastBytesNeverTakesPartInARebuild) {
  bytes a = data(1, 2, 0);
  const bytes b = data(2, 2, 1), c = data(3, 2, 2);
  const bytes p = parity(3, {image_of(a), image_of(b), image_of(c)}, 2);
  a.resize(a.size() - 3); // the three filler bytes missing: accepted, but not exact for XOR
  in(a);
  in(c);
  in(p);
  EXPECT_EQ(e.stat.recovered_fec, 0u);
}

TEST_F(RxFec, PositionsFromANewSourceDoNotMixWithThoseHeld) {
  // The first source sends slice 2 at position 0 and falls silent before its parity.
  const bytes group_seen = parity(3, {}, 1); // teaches G = 4
  in(group_seen);
  in(data(2, 1, 0));
  // A restarted transmitter, from another port, counts positions from 0 again: its slices 4
  // and 5 at positions 0 and 1 are lost. Position 0 still held from before must not stand in
  // for slice 4, or the XOR would make a slice 3 (2 ^ 4 ^ 5) out of other bytes.
  const bytes d = data(4, 1, 0), e5 = data(5, 1, 1), f = data(6, 1, 2);
  const bytes p = parity(3, {image_of(d), image_of(e5), image_of(f)}, 1);
  for (const bytes *b : {&f, &p}) {
    ASSERT_EQ(rx_engine_input(&e, std::span<const std::uint8_t>(b->data(), b->size()), loopback(4001), 1 * ms),
              rx_reject::none);
  }
  EXPECT_EQ(e.fec.stat.rebuilt, 0u);
  EXPECT_EQ(e.stat.recovered_fec, 0u);
  rx_engine_flush(&e);
  EXPECT_EQ(played.size(), 2u); // slices 2 and 6, nothing made up between them
}

} // namespace
